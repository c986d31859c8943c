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
            elif s.codes is None:
                threshold[index] = bins.threshold(s.feature, s.bin_)
            else:
                values = bins.category_values(s.feature, s.codes)
                cat_parts.append(values)
                n_cats = values.size
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
