"""Flat trees on raw values, and the per-tree leaf tables.

A tree is the node arrays that apply_tree reads, each split's gain, and its
leaf tables: bias (n_leaves,) and, for embedded-linear trees, weights, z_min
and z_max (n_leaves, d). A tree with constant leaves has d = 0.
"""

from dataclasses import dataclass

import numpy as np
import tarnwick_native as tn

NODE_FIELDS = ("feature", "threshold", "left", "right", "leaf_id", "missing_left", "gain", "count")
LEAF_FIELDS = ("bias", "weights", "z_min", "z_max")

# A prediction runs every tree over a block of rows before the next block,
# so that a block of a wide matrix stays in cache from tree to tree: 100
# trees on 100,000 x 200 rows took 0.11 against 0.22 s at 2 threads in
# blocks of 16,384 rows, on 1,000,000 x 32 rows 0.79 against 0.86 s in
# blocks of 65,536. Smaller blocks cost more calls than they save on narrow
# rows. A block is a whole number of apply_tree's chunks of 8,192 rows.
BLOCK_VALUES = 1 << 21
MIN_BLOCK_ROWS = 16_384
CHUNK_ROWS = 8_192


@dataclass
class Tree:
    feature: np.ndarray  # int32 (n_nodes,)
    threshold: np.ndarray  # float64 (n_nodes,)
    left: np.ndarray  # int32 (n_nodes,)
    right: np.ndarray  # int32 (n_nodes,)
    leaf_id: np.ndarray  # int32 (n_nodes,), -1 for internal nodes
    missing_left: np.ndarray  # bool (n_nodes,)
    gain: np.ndarray  # float64 (n_nodes,), 0 for leaves
    count: np.ndarray  # int64 (n_nodes,): training rows that reached it, -1 if not known
    cat_offsets: np.ndarray  # int64 (n_nodes + 1,)
    cat_values: np.ndarray  # float64
    bias: np.ndarray  # float64 (n_leaves,)
    weights: np.ndarray  # float64 (n_leaves, d)
    z_min: np.ndarray  # float64 (n_leaves, d)
    z_max: np.ndarray  # float64 (n_leaves, d)

    @property
    def linear(self):
        return self.weights.shape[1] > 0

    def apply(self, x):
        """Leaf id of every row of the raw matrix x (n_rows, n_features)."""
        return tn.apply_tree(
            x,
            self.feature,
            self.threshold,
            self.left,
            self.right,
            self.leaf_id,
            self.missing_left,
            self.cat_offsets,
            self.cat_values,
        )

    def predict(self, x, z):
        """Leaf outputs of every row; linear leaves clamp z to what they saw."""
        leaves = self.apply(x)
        if not self.linear:
            # The method, not np.take: a model of many trees predicting a
            # few rows spends more in the function's dispatch than in it.
            return self.bias.take(leaves)
        return tn.predict_linear(leaves, z, self.bias, self.weights, self.z_min, self.z_max, True)


def block_rows(n_features):
    """Rows per block of a prediction on rows of n_features values."""
    rows = BLOCK_VALUES // max(n_features, 1) // CHUNK_ROWS * CHUNK_ROWS
    return max(MIN_BLOCK_ROWS, rows)


def add_outputs(raw, trees, x, z):
    """Adds the leaf outputs of trees to raw (K, n_rows), tree t to row
    t mod K, block of rows by block: each score gets its trees' outputs in
    tree order, the same additions as tree by tree over all rows."""
    k = raw.shape[0]
    step = block_rows(x.shape[1])
    for start in range(0, x.shape[0], step):
        rows = slice(start, start + step)
        xb, zb = x[rows], None if z is None else z[rows]
        outputs = list(raw[:, rows])
        for t, tree in enumerate(trees):
            outputs[t % k] += tree.predict(xb, zb)


def flatten(grown, bins, leaves):
    """The raw-value Tree of a tree grown on bins, with its leaf tables
    leaves = (bias, weights, z_min, z_max)."""
    n_nodes = len(grown.nodes)
    feature = np.zeros(n_nodes, dtype=np.int32)
    threshold = np.zeros(n_nodes)
    left = np.zeros(n_nodes, dtype=np.int32)
    right = np.zeros(n_nodes, dtype=np.int32)
    leaf_id = np.full(n_nodes, -1, dtype=np.int32)
    gain = np.zeros(n_nodes)
    count = np.fromiter((node.n_rows for node in grown.nodes), dtype=np.int64, count=n_nodes)
    # The missing bin goes to the grown tree's left child; NaN follows it.
    # On a feature without missing values in training that bin is empty,
    # and NaN joins the child of more training rows instead, as in HGB: a
    # row missing a value is likelier to be like most rows than like the
    # lowest values.
    missing_left = np.ones(n_nodes, dtype=bool)
    cat_offsets = np.zeros(n_nodes + 1, dtype=np.int64)
    cat_parts = []
    for index, node in enumerate(grown.nodes):
        n_cats = 0
        s = node.split
        if s is None:
            leaf_id[index] = node.leaf
        else:
            feature[index], gain[index] = s.feature, s.gain
            left[index], right[index] = node.left, node.right
            if s.missing_right:
                # Rows above the threshold and missing rows went left in bin
                # space: on raw values "v <= threshold" is the right child.
                threshold[index] = bins.threshold(s.feature, s.bin_)
                left[index], right[index] = node.right, node.left
                missing_left[index] = False
            else:
                if s.codes is None:
                    threshold[index] = bins.threshold(s.feature, s.bin_)
                else:
                    values = bins.category_values(s.feature, s.codes)
                    cat_parts.append(values)
                    n_cats = values.size
                if not bins.missing[s.feature]:
                    missing_left[index] = count[node.left] >= count[node.right]
        cat_offsets[index + 1] = cat_offsets[index] + n_cats
    cat_values = np.concatenate(cat_parts) if cat_parts else np.empty(0)
    return Tree(
        feature,
        threshold,
        left,
        right,
        leaf_id,
        missing_left,
        gain,
        count,
        cat_offsets,
        cat_values,
        *leaves,
    )
