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

A distributed fit adds its partitions' bin counts (whole numbers, so in any
order) and has every partition keep the same features.
"""

import dataclasses

import numpy as np
import tarnwick_native as tn


def bin_counts(binned, n_bins_max):
    """Rows per feature and bin (n_features, n_bins_max) of a binned matrix."""
    n_rows = binned.shape[1]
    zeros = np.zeros(n_rows)
    rows = np.arange(n_rows, dtype=np.int64)
    return tn.build_histograms(binned, rows, zeros, zeros, n_bins_max)[..., 2]


def usable_columns(counts, min_samples_leaf):
    """The features (ascending) that may split, with at least
    min_samples_leaf rows outside their fullest bin, and feature 0; None if
    that is every feature."""
    n_rows = counts[0].sum() if counts.shape[0] else 0.0
    usable = n_rows - counts.max(axis=1, initial=0.0) >= min_samples_leaf
    usable[:1] = True
    return None if usable.all() else np.flatnonzero(usable)


def keep_columns(binned, columns):
    """The rows columns of binned, moved up in place (each to a row at or
    before its own), so that no second matrix is held."""
    for row, feature in enumerate(columns):
        if row != feature:
            binned[row] = binned[feature]
    return binned[: columns.size]


def drop_unsplittable(binned, bins, min_samples_leaf):
    """(binned, bins) without the features that no split can use; the same
    objects if every feature may split."""
    if binned.shape[0] == 0 or binned.shape[1] == 0:
        return binned, bins
    columns = usable_columns(bin_counts(binned, bins.n_bins_max), min_samples_leaf)
    if columns is None:
        return binned, bins
    return keep_columns(binned, columns), dataclasses.replace(bins, columns=columns)
