"""The order of the training rows in the arrays that the kernels read.

A node's histogram reads its rows' codes from the feature-major binned
matrix, one code per row and feature. When a node's rows are scattered over
the whole training set, nearly every code lies in a cache line of its own, and
a node of twenty thousand rows costs about as much memory traffic as a pass
over the whole matrix. The trees of one boosting run keep splitting on much
the same rules, so the learner now and then reorders the training rows: leaf
by leaf, in the depth-first order of the latest tree's leaves, each leaf's rows
keeping their order. Every node of that tree then lies in one stretch of the
matrix, and so do most nodes of the trees that follow.

Reordering changes the order in which a histogram adds up its rows, so sums
may differ in their last bits from those of another order, and where two
splits have nearly the same gain the choice between them may differ. For given
data and settings the sequence of orders is fixed, so training gives the same
bits every time and for any number of threads.
"""

import numpy as np


def reorder_due(round_):
    """Whether to reorder after boosting round round_ (from 0): after rounds
    1, 2, 4, 8, ... counted from 1, so that the cost stays small against the
    rounds it serves while the order follows the trees as they change."""
    done = round_ + 1
    return done & (done - 1) == 0


def depth_first_rows(grown):
    """Positions of the rows of a grown tree's leaves, leaf by leaf in
    depth-first order (left before right): every node's rows form one stretch."""
    out, stack = [], [0]
    while stack:
        node = stack.pop()
        if grown.split_feature[node] < 0:
            out.append(grown.leaf_rows[grown.leaf_of_node[node]])
        else:
            stack += [grown.right[node], grown.left[node]]
    return np.concatenate(out)


class RowOrder:
    """The training arrays in the current row order. binned is feature-major
    (n_features, n_rows); y is (n_rows,); raw is (n_rows,) or (K, n_rows);
    z is (n_rows, d) or None. original[i] is the caller's row number of the
    row now at position i."""

    def __init__(self, binned, y, raw, z):
        self.binned, self.y, self.raw, self.z = binned, y, raw, z
        self.original = np.arange(binned.shape[1])
        # The next order's binned matrix is written here: a fresh 2-byte-per-
        # code matrix each time would cost page faults on every reordering.
        self._spare = None

    def reorder(self, positions):
        """Puts the rows at positions first to last."""
        spare = self._spare if self._spare is not None else np.empty_like(self.binned)
        self._spare = self.binned
        # Feature by feature: NumPy's take along the second axis of the whole
        # matrix is about a third slower.
        for codes, moved in zip(self.binned, spare):
            np.take(codes, positions, out=moved)
        self.binned = spare
        self.y = self.y[positions]
        self.raw = np.take(self.raw, positions, axis=-1)
        if self.z is not None:
            self.z = np.take(self.z, positions, axis=0)
        self.original = self.original[positions]

    def in_caller_order(self, array):
        """array (..., n_rows) in the current order, in the caller's row order."""
        out = np.empty_like(array)
        out[..., self.original] = array
        return out
