"""Features that no split can use, left out of the binned matrix.

Every split sends each bin of its feature (the missing bin included) one way,
so the side without the feature's fullest bin holds at most the rows outside
it. Where those are fewer than min_samples_leaf, no node of any tree can
split on the feature: its histograms would be built and searched for
nothing. Such features (constant columns, a rare level against all others,
a column missing on all but a few rows) are dropped from the binned matrix,
as LightGBM's feature_pre_filter drops them; the histograms then cover the
other features, and Bins.columns maps their positions back. Feature 0
always stays: a split search reads the node's totals from the first
histogram feature, and the same feature keeps the same sums, so the model
is the one that the whole matrix would give, bit for bit.
"""

import dataclasses

import numpy as np
import tarnwick_native as tn


def usable_features(binned, n_bins_max, min_samples_leaf):
    """bool per feature (row of binned): whether it may split, with at
    least min_samples_leaf rows outside its fullest bin; feature 0 always."""
    n_rows = binned.shape[1]
    zeros = np.zeros(n_rows)
    counts = tn.build_histograms(
        binned, np.arange(n_rows, dtype=np.int64), zeros, zeros, n_bins_max
    )
    usable = n_rows - counts[..., 2].max(axis=1, initial=0.0) >= min_samples_leaf
    usable[:1] = True
    return usable


def drop_unsplittable(binned, bins, min_samples_leaf):
    """(binned, bins) without the features that no split can use; the same
    objects if every feature may split. The features kept move up in place
    (each to a row at or before its own), so no second matrix is held."""
    if binned.shape[0] == 0 or binned.shape[1] == 0:
        return binned, bins
    usable = usable_features(binned, bins.n_bins_max, min_samples_leaf)
    if usable.all():
        return binned, bins
    columns = np.flatnonzero(usable)
    for row, feature in enumerate(columns):
        if row != feature:
            binned[row] = binned[feature]
    return binned[: columns.size], dataclasses.replace(bins, columns=columns)
