"""Leaf-wise growth of one tree from node histograms.

The grower decides; the training rows (a Shard, or the partitions of a
distributed fit) hold the rows and do the passes. Per split the rows
partition the parent's rows once and build the histogram of the smaller
child only (the child counts are known from the split); the larger child's
histogram is the parent's minus the smaller's, in the parent's buffer.
Children of the last split get no histogram. With histogram_sums every node
also gets the gradient and hessian sums of its rows from the histograms, for
the leaf values. Nodes are numbered in creation order; the leaf with the
largest gain splits next (ties: the older node), so growth is deterministic.

Rows that answer from far away (splits_ahead) are also told, with each
split, which leaves are the best ones left in the queue: they may partition
some and build their children's histograms in the same round trip. The
grower still splits the nodes in its own order, so the tree is the same.
"""

import heapq
from dataclasses import dataclass

import numpy as np

from .monotonic import children_bounds


@dataclass(frozen=True)
class GrowParams:
    max_leaf_nodes: int | None
    max_depth: int | None
    min_samples_leaf: int
    # Interaction constraints: bool (n_groups, n_features), the features of
    # each group that may split one branch together; None without any.
    interaction: np.ndarray | None = None
    # Whether every node gets the sums of its rows from the histograms
    # (Node.sums), for its leaf values.
    histogram_sums: bool = False


class Node:
    """A node of a tree being grown. An internal node has a split; a leaf
    has its leaf number."""

    __slots__ = (
        "depth",
        "hist",
        "left",
        "n_rows",
        "right",
        "split",
        "leaf",
        "lower",
        "upper",
        "groups",
        "sums",
    )

    def __init__(self, depth, n_rows, bounds=(-np.inf, np.inf), groups=None):
        self.depth, self.n_rows = depth, n_rows
        # The range of the values of its leaves under monotonic constraints.
        self.lower, self.upper = bounds
        # Under interaction constraints, the groups that hold every feature
        # split on its way from the root (bool per group).
        self.groups = groups
        self.hist = self.split = None
        self.left = self.right = self.leaf = -1
        # (gradient sum, hessian sum) of its rows, from histograms, if asked.
        self.sums = None


@dataclass
class GrownTree:
    """A tree in bin space: nodes in creation order, node 0 the root, and the
    node of each leaf (leaves numbered in node order)."""

    nodes: list
    leaf_nodes: list

    def depth_first_leaves(self):
        """Leaf numbers in depth-first order, left before right."""
        out, stack = [], [0]
        while stack:
            node = self.nodes[stack.pop()]
            if node.split is None:
                out.append(node.leaf)
            else:
                stack += [node.right, node.left]
        return out

    def leaf_sums(self):
        """(gradient sums, hessian sums) of the leaves, from the histograms
        (GrowParams.histogram_sums), or None if a leaf has none."""
        sums = [self.nodes[i].sums for i in self.leaf_nodes]
        if any(s is None for s in sums):
            return None
        both = np.array(sums).T
        return both[0], both[1]

    def leaf_bounds(self):
        """(lower, upper) of every leaf's value, or None if none is bounded."""
        lower = np.array([self.nodes[i].lower for i in self.leaf_nodes])
        upper = np.array([self.nodes[i].upper for i in self.leaf_nodes])
        if np.isinf(lower).all() and np.isinf(upper).all():
            return None
        return lower, upper


def larger_child_histogram(parent, smaller):
    """The larger child's histogram: parent minus smaller child, in the
    parent's buffer. Counts stay exact; sums differ from a direct build only
    in rounding, and the same inputs always give the same bits."""
    return np.subtract(parent, smaller, out=parent)


def histogram_sums(hist):
    """(gradient sum, hessian sum) of a node's rows: the bins of its first
    feature, added in bin order."""
    return tuple(np.add.accumulate(hist[0, :, :2], axis=0)[-1])


def children_sums(hist, split):
    """(gradient sum, hessian sum) of each child of split, from the bins of
    its feature in the parent's histogram hist: the left child's bins (and
    the missing bin) added in bin order, the right child's the feature's
    total less that."""
    bins = hist[split.column, :, :2]
    running = np.add.accumulate(bins, axis=0)
    if split.codes is None:
        left = running[split.bin_] + bins[split.missing_bin]
    else:
        left = np.add.accumulate(bins[np.append(split.codes, split.missing_bin)], axis=0)[-1]
    right = running[-1] - left
    return tuple(left), tuple(right)


def grow_tree(rows, k, n_rows, finder, params):
    """Grows tree k of the round (the class of a softmax round) on training
    rows that have n_rows rows in all."""
    max_depth = params.max_depth if params.max_depth is not None else 1 << 30
    max_leaves = params.max_leaf_nodes if params.max_leaf_nodes is not None else 1 << 62
    min_rows = 2 * params.min_samples_leaf
    with_sums = params.histogram_sums

    def splittable_at(depth, n_rows):
        return depth < max_depth and n_rows >= min_rows

    def splittable(node):
        return splittable_at(node.depth, node.n_rows)

    def best_in_queue(count):
        """(node, split, side of the child whose histogram it will want) of
        the best count leaves left in the queue whose split could want one."""
        out = []
        for _, index in heapq.nsmallest(count, queue):
            node = nodes[index]
            s = node.split
            if splittable_at(node.depth + 1, max(s.n_left, s.n_right)):
                out.append((index, s, 0 if s.n_left <= s.n_right else 1))
        return out

    finder.start_tree(rows, k)
    interaction = params.interaction
    every_group = None if interaction is None else np.ones(len(interaction), dtype=bool)
    nodes = [Node(0, n_rows, groups=every_group)]
    queue = []
    look_ahead = rows.splits_ahead

    def consider(index, hist):
        node = nodes[index]
        allowed = None if node.groups is None else interaction[node.groups].any(axis=0)
        split = finder(hist, node.lower, node.upper, allowed)
        if split is not None:
            node.hist, node.split = hist, split
            heapq.heappush(queue, (-split.gain, index))

    build_root = splittable(nodes[0]) and max_leaves > 1
    root_hist = rows.start_tree(k, build_root)
    if build_root:
        # The rows of the round: all, or those it drew.
        nodes[0].n_rows = int(root_hist[0, :, 2].sum())
        if with_sums:
            nodes[0].sums = histogram_sums(root_hist)
        consider(0, root_hist)
    n_leaves = 1
    while queue and n_leaves < max_leaves:
        _, index = heapq.heappop(queue)
        parent = nodes[index]
        s = parent.split
        left, right = len(nodes), len(nodes) + 1
        parent.left, parent.right = left, right
        bounds = children_bounds(
            finder.sign(s.feature), s.mid, parent.lower, parent.upper, not s.missing_right
        )
        groups = None if parent.groups is None else parent.groups & interaction[:, s.feature]
        nodes += [
            Node(parent.depth + 1, s.n_left, bounds[0], groups),
            Node(parent.depth + 1, s.n_right, bounds[1], groups),
        ]
        n_leaves += 1
        small, large = (left, right) if s.n_left <= s.n_right else (right, left)
        wanted = n_leaves < max_leaves and (splittable(nodes[left]) or splittable(nodes[right]))
        # Only with a split that travels (one that wants a histogram): as
        # many as the leaves that may still split, and twice what the rows
        # take, as some may have been split ahead already.
        ahead = ()
        if look_ahead and wanted:
            ahead = best_in_queue(min(2 * look_ahead, max_leaves - n_leaves))
        small_hist = rows.split(index, s, left, right, small if wanted else None, ahead)
        if with_sums and small_hist is None:
            nodes[left].sums, nodes[right].sums = children_sums(parent.hist, s)
        hist, parent.hist = parent.hist, None
        if wanted:
            if splittable(nodes[large]):
                consider(large, larger_child_histogram(hist, small_hist))
            if splittable(nodes[small]):
                consider(small, small_hist)
            if with_sums:
                # After the subtraction and the split search have read the
                # new histogram on this thread: the pool's threads wrote it,
                # and reading it from their caches took 45-60 us.
                grad_sum, hess_sum = nodes[small].sums = histogram_sums(small_hist)
                nodes[large].sums = (parent.sums[0] - grad_sum, parent.sums[1] - hess_sum)
    # Nodes still waiting in the queue stay leaves.
    leaf_nodes = []
    for index, node in enumerate(nodes):
        if node.left < 0:
            node.split = node.hist = None
            node.leaf = len(leaf_nodes)
            leaf_nodes.append(index)
    tree = GrownTree(nodes, leaf_nodes)
    rows.end_tree(tree)
    return tree
