"""Leaf-wise growth of one tree on binned data.

Per split: one partition of the parent's rows, one histogram build for the
smaller child, the larger child's histogram by subtraction from the parent's
(in the parent's buffer), and one split search per child. Nodes are kept in
creation order; the leaf with the largest gain splits next (ties: the older
node), so growth is deterministic.
"""

import heapq
from dataclasses import dataclass

import numpy as np
import tarnwick_native as tn


@dataclass(frozen=True)
class GrowParams:
    max_leaves: int = 31
    max_depth: int | None = None
    min_samples_leaf: int = 20
    l2: float = 1.0
    cat_smooth: float = 10.0
    min_data_per_group: int = 100
    max_cat_threshold: int = 32


@dataclass
class GrownTree:
    """A tree in bin space. Node i is internal when split_feature[i] >= 0; its
    rule sends bins <= split_bin[i] left (numeric) or the codes split_cats[i]
    (categorical), and the missing bin always left. leaf_rows[k] holds the row
    ids of leaf k (leaves numbered in node order), in ascending order."""
    split_feature: list
    split_bin: list
    split_cats: list
    left: list
    right: list
    leaf_of_node: list
    leaf_rows: list


def larger_child_histogram(parent, smaller):
    """The larger child's histogram: parent minus smaller child, in the
    parent's buffer. Counts stay exact; sums differ from a direct build only
    in rounding, and the same inputs always give the same bits."""
    return np.subtract(parent, smaller, out=parent)


class _Split:
    """A leaf waiting in the queue: its rows, histogram and best split."""
    __slots__ = ("rows", "hist", "split", "depth")

    def __init__(self, rows, hist, split, depth):
        self.rows, self.hist, self.split, self.depth = rows, hist, split, depth


def grow_tree(binned, bins, grad, hess, root_rows, params):
    """Grows one tree on the rows root_rows of the binned matrix, with the
    per-row gradients and hessians grad and hess (float64, indexed by row id)."""
    n_bins_max = bins.n_bins_max
    min_leaf = params.min_samples_leaf
    max_depth = params.max_depth if params.max_depth is not None else 1 << 30

    def search(hist):
        return tn.find_best_split(hist, bins.n_bins, min_leaf, params.l2, bins.categorical,
                                  params.cat_smooth, params.min_data_per_group,
                                  params.max_cat_threshold)

    def splittable(rows, depth):
        return depth < max_depth and len(rows) >= 2 * min_leaf

    feature, bin_, cats, left, right = [-1], [0], [None], [0], [0]
    rows_of = {0: root_rows}
    queue, waiting = [], {}

    def enqueue(node, rows, hist, depth):
        split = search(hist)
        if split is not None:
            waiting[node] = _Split(rows, hist, split, depth)
            heapq.heappush(queue, (-split[2], node))

    if splittable(root_rows, 0) and params.max_leaves > 1:
        enqueue(0, root_rows, tn.build_histograms(binned, root_rows, grad, hess, n_bins_max), 0)
    n_leaves = 1
    while queue and n_leaves < params.max_leaves:
        _, node = heapq.heappop(queue)
        item = waiting.pop(node)
        f, b, _gain, _n_left, _n_right, left_cats = item.split
        cat_codes = None if left_cats is None else np.array(left_cats, dtype=np.int64)
        rows_left, rows_right = tn.partition_rows(binned, item.rows, f, b, cat_codes,
                                                  int(bins.n_bins[f]))
        kid_left, kid_right = len(feature), len(feature) + 1
        feature[node], bin_[node], cats[node] = f, b, cat_codes
        left[node], right[node] = kid_left, kid_right
        feature += [-1, -1]
        bin_ += [0, 0]
        cats += [None, None]
        left += [0, 0]
        right += [0, 0]
        del rows_of[node]
        rows_of[kid_left], rows_of[kid_right] = rows_left, rows_right
        n_leaves += 1

        # Children of the last split never split: their histograms are not needed.
        depth = item.depth + 1
        if n_leaves == params.max_leaves:
            continue
        split_left = splittable(rows_left, depth)
        split_right = splittable(rows_right, depth)
        if not (split_left or split_right):
            continue
        small, large = (kid_left, kid_right) if len(rows_left) <= len(rows_right) \
            else (kid_right, kid_left)
        small_rows, large_rows = rows_of[small], rows_of[large]
        small_hist = tn.build_histograms(binned, small_rows, grad, hess, n_bins_max)
        if splittable(large_rows, depth):
            enqueue(large, large_rows, larger_child_histogram(item.hist, small_hist), depth)
        if splittable(small_rows, depth):
            enqueue(small, small_rows, small_hist, depth)

    leaf_of_node = [-1] * len(feature)
    leaf_rows = []
    for node in range(len(feature)):
        if feature[node] < 0:
            leaf_of_node[node] = len(leaf_rows)
            leaf_rows.append(rows_of[node])
    return GrownTree(feature, bin_, cats, left, right, leaf_of_node, leaf_rows)
