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
    """A tree in bin space. Node i is internal when split_feature[i] >= 0. Its
    left child holds the missing bin and, for a numeric split, bins
    <= split_bin[i]; for a categorical split, the codes split_cats[i]; for a
    mirrored split (missing_right[i]), the bins > split_bin[i]. leaf_rows[k]
    holds the row ids of leaf k (leaves numbered in node order), ascending."""

    split_feature: list
    split_bin: list
    split_cats: list
    missing_right: list
    left: list
    right: list
    leaf_of_node: list
    leaf_rows: list


class SplitFinder:
    """The best split of a node from its histogram.

    The kernel always sends the missing bin left. For numeric features that
    had missing values in training, the search also runs on a mirrored copy
    of their histograms (regular bins in reverse order, the missing bin in
    place): a split there sends the upper bins and the missing bin left,
    which is the split with missing values going right. The mirrored split
    wins only with a strictly larger gain.
    """

    def __init__(self, bins, params):
        self.bins, self.params = bins, params
        self.mirrored = np.flatnonzero(bins.missing & ~bins.categorical & (bins.n_bins >= 2))
        n_bins_max = bins.n_bins_max
        # Rows of the histogram viewed as (n_features * n_bins_max, 3) that
        # make up each mirrored feature, bin by bin.
        self.mirror_rows = np.empty((self.mirrored.size, n_bins_max), dtype=np.int64)
        for k, f in enumerate(self.mirrored):
            n = bins.n_bins[f]
            self.mirror_rows[k] = f * n_bins_max + np.concatenate(
                [np.arange(n - 1, -1, -1), np.arange(n, n_bins_max)]
            )
        self.mirror_n_bins = np.ascontiguousarray(bins.n_bins[self.mirrored])
        self.mirror_mask = np.zeros(self.mirrored.size, dtype=bool)

    def _search(self, hist, n_bins, categorical):
        p = self.params
        return tn.find_best_split(
            hist,
            n_bins,
            p.min_samples_leaf,
            p.l2,
            categorical,
            p.cat_smooth,
            p.min_data_per_group,
            p.max_cat_threshold,
        )

    def __call__(self, hist):
        """None, or (gain, feature, bin, left codes or None, missing_right)."""
        found = self._search(hist, self.bins.n_bins, self.bins.categorical)
        best = None
        if found is not None:
            f, b, gain, _, _, cats = found
            best = (gain, f, b, None if cats is None else np.array(cats, dtype=np.int64), False)
        if self.mirrored.size:
            mirror = np.take(hist.reshape(-1, 3), self.mirror_rows, axis=0)
            found = self._search(mirror, self.mirror_n_bins, self.mirror_mask)
            if found is not None and (best is None or found[2] > best[0]):
                f = int(self.mirrored[found[0]])
                n = int(self.bins.n_bins[f])
                # Mirrored bins 0..t are the original bins n-1-t..n-1.
                split_bin = n - 2 - found[1]
                best = (found[2], f, split_bin, np.arange(split_bin + 1, n, dtype=np.int64), True)
        return best


def larger_child_histogram(parent, smaller):
    """The larger child's histogram: parent minus smaller child, in the
    parent's buffer. Counts stay exact; sums differ from a direct build only
    in rounding, and the same inputs always give the same bits."""
    return np.subtract(parent, smaller, out=parent)


class _Waiting:
    """A leaf waiting in the queue: its rows, histogram, best split and depth."""

    __slots__ = ("rows", "hist", "split", "depth")

    def __init__(self, rows, hist, split, depth):
        self.rows, self.hist, self.split, self.depth = rows, hist, split, depth


def grow_tree(binned, bins, grad, hess, root_rows, params, finder):
    """Grows one tree on the rows root_rows of the binned matrix, with the
    per-row gradients and hessians grad and hess (float64, indexed by row id)."""
    n_bins_max = bins.n_bins_max
    max_depth = params.max_depth if params.max_depth is not None else 1 << 30
    min_rows = 2 * params.min_samples_leaf

    def splittable(rows, depth):
        return depth < max_depth and len(rows) >= min_rows

    feature, bin_, cats, missing_right, left, right = [-1], [0], [None], [False], [0], [0]
    rows_of = {0: root_rows}
    queue, waiting = [], {}

    def enqueue(node, rows, hist, depth):
        split = finder(hist)
        if split is not None:
            waiting[node] = _Waiting(rows, hist, split, depth)
            heapq.heappush(queue, (-split[0], node))

    if splittable(root_rows, 0) and params.max_leaves > 1:
        enqueue(0, root_rows, tn.build_histograms(binned, root_rows, grad, hess, n_bins_max), 0)
    n_leaves = 1
    while queue and n_leaves < params.max_leaves:
        _, node = heapq.heappop(queue)
        item = waiting.pop(node)
        _, f, b, codes, mirrored = item.split
        rows_left, rows_right = tn.partition_rows(
            binned, item.rows, f, b, codes, int(bins.n_bins[f])
        )
        kid_left, kid_right = len(feature), len(feature) + 1
        feature[node], bin_[node], cats[node], missing_right[node] = f, b, codes, mirrored
        left[node], right[node] = kid_left, kid_right
        feature += [-1, -1]
        bin_ += [0, 0]
        cats += [None, None]
        missing_right += [False, False]
        left += [0, 0]
        right += [0, 0]
        del rows_of[node]
        rows_of[kid_left], rows_of[kid_right] = rows_left, rows_right
        n_leaves += 1

        # Children of the last split never split: their histograms are not needed.
        depth = item.depth + 1
        if n_leaves == params.max_leaves:
            continue
        if not (splittable(rows_left, depth) or splittable(rows_right, depth)):
            continue
        small, large = (
            (kid_left, kid_right) if len(rows_left) <= len(rows_right) else (kid_right, kid_left)
        )
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
    return GrownTree(feature, bin_, cats, missing_right, left, right, leaf_of_node, leaf_rows)
