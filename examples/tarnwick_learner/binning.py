"""Feature binning: quantile bins for numeric features, codes for categorical ones.

The binned matrix is uint16, feature-major (n_features, n_rows), C-contiguous.
Feature f has regular bins 0 .. n_f - 1 and its missing bin is code n_f.

Numeric feature: `edges[f]` holds the n_f - 1 upper bin edges in ascending order;
a value v falls in the first bin whose edge is >= v, so "bin <= t" is exactly
"v <= edges[f][t]", and a tree grown on bins becomes a tree on raw values by
reading edges[f][t] as the threshold.

Categorical feature: bin b holds the raw category values `cat_values[f]` whose
`cat_codes[f]` entry is b. When a feature has more categories than bins, the
most frequent ones keep a bin each and the rest share the last bin.
"""

from dataclasses import dataclass

import numpy as np

MAX_BINS = 255
QUANTILE_SAMPLE = 200_000


@dataclass
class Bins:
    edges: list  # per feature: float64 upper edges (empty for categorical)
    cat_values: list  # per feature: sorted raw category values (None for numeric)
    cat_codes: list  # per feature: bin code of each entry of cat_values
    n_bins: np.ndarray  # int64 (n_features,): regular bins n_f
    categorical: np.ndarray  # bool (n_features,)
    missing: np.ndarray  # bool (n_features,): the column has missing values

    @property
    def n_bins_max(self):
        """Histogram bin axis: one past the largest missing code."""
        return int(self.n_bins.max(initial=0)) + 1

    def threshold(self, feature, bin_):
        """Raw threshold of a numeric split 'bins 0..bin_ go left'."""
        return float(self.edges[feature][bin_])

    def category_values(self, feature, codes):
        """Raw values of the categories whose bins are listed in codes, ascending."""
        hit = np.isin(self.cat_codes[feature], codes)
        return self.cat_values[feature][hit]


def numeric_edges(col, max_bins):
    """Upper bin edges of one numeric column (NaN left out): midpoints between
    distinct values when they are few, quantiles (averaged inverted CDF, as
    scikit-learn's HistGradientBoosting takes them) otherwise."""
    col = col[~np.isnan(col)]
    if col.size == 0:
        return np.empty(0)
    distinct = np.unique(col)
    if distinct.size <= max_bins:
        edges = (distinct[:-1] + distinct[1:]) * 0.5
    else:
        quantiles = np.linspace(0.0, 100.0, max_bins + 1)[1:-1]
        edges = np.unique(np.percentile(col, quantiles, method="averaged_inverted_cdf"))
    # An infinite or NaN edge (from infinite values) would make the raw and the
    # binned routing disagree; dropping it merges two outer bins instead.
    return np.ascontiguousarray(edges[np.isfinite(edges)])


def category_table(col, max_bins):
    """Sorted raw category values of one column and the bin code of each."""
    values, counts = np.unique(col[~np.isnan(col)], return_counts=True)
    if values.size <= max_bins:
        return values, np.arange(values.size, dtype=np.int64)
    # Most frequent first, ties by value (stable sort keeps ascending values).
    by_count = np.argsort(-counts, kind="stable")
    codes = np.full(values.size, max_bins - 1, dtype=np.int64)
    codes[by_count[: max_bins - 1]] = np.arange(max_bins - 1)
    return values, codes


def fit_bins(columns, categorical, max_bins=MAX_BINS, seed=0):
    """Bin edges and category tables of the raw columns (n_features, n_rows)."""
    if not 2 <= max_bins <= MAX_BINS:
        raise ValueError(f"max_bins must be in [2, {MAX_BINS}], got {max_bins}")
    n_features, n_rows = columns.shape
    sample = None
    if n_rows > QUANTILE_SAMPLE:
        rng = np.random.default_rng(seed)
        sample = np.sort(rng.choice(n_rows, QUANTILE_SAMPLE, replace=False))
    edges, cat_values, cat_codes = [], [], []
    n_bins = np.zeros(n_features, dtype=np.int64)
    for f in range(n_features):
        if categorical[f]:
            values, codes = category_table(columns[f], max_bins)
            edges.append(np.empty(0))
            cat_values.append(values)
            cat_codes.append(codes)
            n_bins[f] = int(codes.max(initial=-1)) + 1
        else:
            e = numeric_edges(columns[f] if sample is None else columns[f, sample], max_bins)
            edges.append(e)
            cat_values.append(None)
            cat_codes.append(None)
            n_bins[f] = e.size + 1
    missing = np.isnan(columns).any(axis=1)
    return Bins(edges, cat_values, cat_codes, n_bins, np.asarray(categorical, dtype=bool), missing)


def bin_column(bins, f, col):
    """Bin codes of one raw column; NaN goes to the missing bin."""
    if not bins.categorical[f]:
        codes = np.searchsorted(bins.edges[f], col, side="left")
        codes[np.isnan(col)] = bins.n_bins[f]
        return codes
    values = bins.cat_values[f]
    codes = np.full(col.shape, bins.n_bins[f], dtype=np.int64)
    if values.size:
        pos = np.minimum(np.searchsorted(values, col), values.size - 1)
        hit = values[pos] == col
        codes[hit] = bins.cat_codes[f][pos[hit]]
    return codes


def bin_matrix(bins, columns):
    """The feature-major uint16 binned matrix of the raw columns (n_features, n_rows)."""
    out = np.empty(columns.shape, dtype=np.uint16)
    for f in range(columns.shape[0]):
        out[f] = bin_column(bins, f, columns[f])
    return out
