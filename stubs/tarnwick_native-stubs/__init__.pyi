"""Inner loops of a histogram gradient-boosted tree learner with embedded-linear leaves.

Arrays are taken as they are: exactly the dtype and number of dimensions shown,
never cast or copied. Integer parameters accept any object with __index__;
float parameters anything convertible to a C double.
"""

from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "build_histograms",
    "partition_rows",
    "find_best_split",
    "leaf_linear_stats",
    "leaf_linear_stats_mc",
    "predict_linear",
    "apply_tree",
]

_Float: TypeAlias = SupportsFloat | SupportsIndex

# (feature, bin, gain, left_count, right_count, left_categories); bin is -1
# and left_categories an ascending list of codes for a categorical split.
_Split: TypeAlias = tuple[int, int, float, int, int, list[int] | None]

# leaf_grad_sum (n_leaves,), leaf_hess_sum (n_leaves,), hz_sum (n_linear, d),
# gram (n_linear, d, d), gz_sum (n_linear, d), z_min (n_linear, d), z_max (n_linear, d)
_LeafStats: TypeAlias = tuple[
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
    NDArray[np.float64],
]

def build_histograms(
    binned: NDArray[np.uint16],
    rows: NDArray[np.int64],
    grad: NDArray[np.float64],
    hess: NDArray[np.float64],
    n_bins_max: SupportsIndex,
) -> NDArray[np.float64]:
    """(n_features, n_bins_max, 3): gradient sum, hessian sum and row count per feature and bin.

    A constant hessian passed as a stride-0 view (np.broadcast_to(h, n_rows))
    is recognised by its zero stride and counted instead of added up, with the
    same bits.
    """

def partition_rows(
    binned: NDArray[np.uint16],
    rows: NDArray[np.int64],
    feature: SupportsIndex,
    bin: SupportsIndex,
    left_categories: NDArray[np.int64] | None,
    missing_bin: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """The rows of the left and of the right child, each in input order."""

def find_best_split(
    hist: NDArray[np.float64],
    n_bins_per_feature: NDArray[np.int64],
    min_samples_leaf: SupportsIndex,
    l2: _Float,
    categorical_mask: NDArray[np.bool_],
    cat_smooth: _Float,
    min_data_per_group: SupportsIndex,
    max_cat_threshold: SupportsIndex,
) -> _Split | None:
    """The best numeric threshold or category subset of a node, or None."""

def leaf_linear_stats(
    z: NDArray[np.float64],
    grad: NDArray[np.float64],
    hess: NDArray[np.float64],
    order: NDArray[np.int64],
    offsets: NDArray[np.int64],
    linear: NDArray[np.int64],
) -> _LeafStats:
    """Per-leaf totals, and per linear leaf the sums of its normal equations and its guard."""

def leaf_linear_stats_mc(
    z: NDArray[np.float64],
    grad: NDArray[np.float64],
    hess: NDArray[np.float64],
    order: NDArray[np.int64],
    offsets: NDArray[np.int64],
    linear: NDArray[np.int64],
    leaf_class: NDArray[np.int64],
) -> _LeafStats:
    """leaf_linear_stats pooled over the class trees of one round.

    grad and hess are (n_rows, n_classes)."""

def predict_linear(
    leaf_idx: NDArray[np.int64],
    z: NDArray[np.float64],
    bias: NDArray[np.float64],
    weights: NDArray[np.float64],
    z_min: NDArray[np.float64],
    z_max: NDArray[np.float64],
    clip: bool | np.bool_,
) -> NDArray[np.float64]:
    """Per row: bias plus the embedding dotted with the weights.

    With clip, the embedding is first clamped to the leaf's guard."""

def apply_tree(
    x: NDArray[np.float64],
    feature: NDArray[np.int32],
    threshold: NDArray[np.float64],
    left: NDArray[np.int32],
    right: NDArray[np.int32],
    leaf_id: NDArray[np.int32],
    missing_left: NDArray[np.bool_],
    cat_offsets: NDArray[np.int64],
    cat_values: NDArray[np.float64],
) -> NDArray[np.int64]:
    """The leaf id that every row of x reaches in one flat tree."""
