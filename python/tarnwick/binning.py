"""Feature binning: bin edges for numeric features, a bin per level for categorical ones.

The binned matrix is uint16, feature-major (n_features, n_rows), C-contiguous.
Feature f has regular bins 0 .. n_f - 1 and its missing bin is code n_f.

Numeric feature: ``edges[f]`` holds the n_f - 1 upper bin edges in ascending
order; a value v falls in the first bin whose edge is >= v, so "bin <= t" is
exactly "v <= edges[f][t]", and a tree grown on bins becomes a tree on raw
values by reading edges[f][t] as the threshold. Edges lie midway between two
neighbouring distinct training values, and they are chosen over the distinct
values and their counts: a value that many rows share fills a bin of its own
without using up the bins of its neighbours, so a feature with at least
max_bins distinct values always gets max_bins bins. An edge always
separates the negative values from the others, in place of the edge nearest
to it by rows: zero is where a balance, a change or a signed score turns,
and a split there should not depend on where the quantiles happen to fall
(on generated data whose target turns at zero, held-out RMSE fell from 0.60
to 0.45 with 15 bins and from 0.353 to 0.342 with 255). A zero that many
rows share gets a bin of its own, as any heavy value does.

Categorical feature: bin b holds the raw category values ``cat_values[f]``
whose ``cat_codes[f]`` entry is b. Levels get a bin each, most frequent first:
the first max_bins levels, and beyond them every level seen at least three
times; the levels left over, too rare to be told apart, share one last bin.
So do the levels of fewer rows than a categorical split needs of a level
(min_rows, the learner's min_data_per_group): the split search never picks
such a level on its own, in any node, so a bin of its own would only widen
every histogram (a 1,000-level feature whose levels' rows fall off as
1/rank keeps 402 bins of 1,000 at 300,000 rows and min_rows 100). Their
shared bin is a level like any other to the search. A feature may so have
more than max_bins bins (up to 65,535); the histograms are as wide as the
widest feature.

Edges are computed from summaries (distinct values and their counts) of one
or more blocks of rows, merged in block order, so that a model trained on
partitions of a data set gets the bins of the same rows in one block.
"""

import bisect
import heapq
from dataclasses import dataclass

import numpy as np

from .threads import map_all

# Codes are uint16 and each feature keeps one code for its missing bin.
MAX_BINS = 65535
# Rows whose distinct values and counts choose a numeric feature's edges.
SAMPLE_ROWS = 200_000
# Categorical levels that are all whole numbers below this (level ids, the
# codes of a pandas category) are counted and looked up by table: a pass
# instead of np.unique's sort, and instead of a search per value.
TABLE_LEVELS = 1 << 16
# Categorical levels seen fewer times than this share one bin beyond the
# first max_bins levels.
RARE_LEVEL_ROWS = 3
# Rows binned per piece: a piece of a feature-major block stays in cache.
BLOCK_ROWS = 16_384
# Values whose codes one NumPy step of numeric_codes finds.
GROUP_VALUES = 1 << 16


@dataclass
class FeatureSummary:
    """Distinct non-missing values of one feature in some rows, with counts,
    and whether any row held a missing value."""

    values: np.ndarray  # float64, ascending
    counts: np.ndarray  # float64: rows, or their weights
    has_missing: bool
    # float64 rows per value where counts are weights (categorical features);
    # None: counts are the rows.
    rows: np.ndarray | None = None


@dataclass
class Bins:
    edges: list  # per feature: float64 upper edges (empty for categorical)
    cat_values: list  # per feature: sorted raw category values (None for numeric)
    cat_codes: list  # per feature: bin code of each entry of cat_values
    n_bins: np.ndarray  # int64 (n_features,): regular bins n_f
    categorical: np.ndarray  # bool (n_features,)
    missing: np.ndarray  # bool (n_features,): missing values were seen in training
    # The feature of each row of the binned matrix and of each histogram's
    # feature axis, ascending, when some features are left out of them
    # (unsplittable.py); None: all, in order.
    columns: np.ndarray | None = None

    @property
    def n_bins_max(self):
        """Histogram bin axis: one past the largest missing code, and one
        more past the missing code of a feature with missing values, whose
        search reads an empty bin after its missing bin
        (splitting.SplitFinder)."""
        widest = self.n_bins + 1 + self.missing
        return int(widest.max(initial=1))

    def threshold(self, feature, bin_):
        """Raw threshold of a numeric split 'bins 0..bin_ go left'; every
        value goes left of a split after the last bin (only missing values
        go right)."""
        edges = self.edges[feature]
        return float(edges[bin_]) if bin_ < edges.size else float("inf")

    def category_values(self, feature, codes):
        """Raw values of the categories whose bins are listed in codes (bins
        of the feature's categories), ascending. A table by bin: np.isin takes
        ten times as long on a few dozen categories, once per split."""
        listed = np.zeros(self.n_bins[feature] + 1, dtype=bool)
        listed[codes] = True
        return self.cat_values[feature][listed[self.cat_codes[feature]]]


def sample_positions(n_rows, n_total, seed, block):
    """Sorted positions of the rows of one block (of n_rows out of n_total)
    whose values choose numeric edges: all of them up to SAMPLE_ROWS in all,
    else a share of SAMPLE_ROWS proportional to the block, drawn from a stream
    that depends on the seed and the block's index only."""
    if n_total <= SAMPLE_ROWS:
        return None
    size = min(n_rows, round(SAMPLE_ROWS * n_rows / n_total))
    rng = np.random.default_rng([seed, block])
    return np.sort(rng.choice(n_rows, size, replace=False))


def summarize_feature(col, categorical, sample, weight=None):
    """The summary of one raw column: a numeric feature over the sampled
    rows (all rows when sample is None), a categorical one over all rows.
    With sample weights a value counts its rows' weights, so that integer
    weights bin as repeated rows do."""
    missing = np.isnan(col)
    has_missing = bool(missing.any())
    if not categorical and sample is not None:
        col = col[sample]
        missing = np.isnan(col)
        weight = None if weight is None else weight[sample]
    present = col[~missing]
    if categorical:
        levels = _table_levels(present, None if weight is None else weight[~missing])
        if levels is not None:
            return FeatureSummary(*levels[:2], has_missing, levels[2])
    if weight is None:
        values, counts = np.unique(present, return_counts=True)
        return FeatureSummary(values, counts.astype(np.float64), has_missing)
    values, inverse = np.unique(present, return_inverse=True)
    counts = np.bincount(inverse, weight[~missing], minlength=values.size)
    rows = None
    if categorical:
        rows = np.bincount(inverse, minlength=values.size).astype(np.float64)
    return FeatureSummary(values, counts, has_missing, rows)


def _table_ints(values):
    """values (no NaN among them) as integers when they are whole numbers in
    [0, TABLE_LEVELS), none of them -0.0 (which np.unique might keep as the
    level's value); else None."""
    if values.size == 0 or not (values.min() >= 0 and values.max() < TABLE_LEVELS):
        return None
    ints = values.astype(np.intp)
    if not np.array_equal(ints, values) or np.signbit(values).any():
        return None
    return ints


def _table_levels(present, weight):
    """(values, counts, rows) of the non-missing values of a categorical
    column, as np.unique and np.bincount over its inverse would give them,
    counted in one pass when the levels are in the table range (rows None
    without weights); else None."""
    ints = _table_ints(present)
    if ints is None:
        return None
    rows = np.bincount(ints)
    values = np.flatnonzero(rows)
    rows = rows[values].astype(np.float64)
    if weight is None:
        return values.astype(np.float64), rows, None
    # Weights add up per level in row order, as over np.unique's inverse.
    return values.astype(np.float64), np.bincount(ints, weight)[values], rows


def summarize(x, categorical, sample, weight=None):
    """Per-feature summaries of the raw rows x (n_rows, n_features)."""

    def one(f):
        return summarize_feature(x[:, f], categorical[f], sample, weight)

    return map_all(one, range(x.shape[1]), x.size)


def merge_summaries(parts):
    """One summary per feature from the summaries of several blocks of rows,
    in block order."""
    if len(parts) == 1:
        return parts[0]
    merged = []
    for per_block in zip(*parts):
        values, inverse = np.unique(
            np.concatenate([s.values for s in per_block]), return_inverse=True
        )
        counts = np.bincount(inverse, np.concatenate([s.counts for s in per_block]))
        rows = None
        if any(s.rows is not None for s in per_block):
            each = [s.counts if s.rows is None else s.rows for s in per_block]
            rows = np.bincount(inverse, np.concatenate(each))
        has_missing = any(s.has_missing for s in per_block)
        merged.append(FeatureSummary(values, counts, has_missing, rows))
    return merged


def numeric_edges(values, counts, max_bins):
    """Upper bin edges of a numeric feature from its distinct values and
    counts: min(len(values), max_bins) bins of as equal a count as the ties
    and the cut at zero allow, each edge midway between the last value of its
    bin and the first of the next."""
    n_values = values.size
    if n_values <= max_bins:
        cuts = np.arange(1, n_values)
    else:
        cumulative = np.cumsum(counts)
        targets = cumulative[-1] * np.arange(1, max_bins) / max_bins
        # A bin ends with the value at which the running count reaches its
        # share; a value heavier than a share ends several bins at once.
        cuts = np.unique(np.searchsorted(cumulative, targets, side="left") + 1)
        cuts = cuts[cuts < n_values]
        if cuts.size < max_bins - 1:
            cuts = _more_cuts(cuts, cumulative, max_bins - 1)
        cuts = _with_sign_cut(cuts, values, cumulative)
    lower, upper = values[cuts - 1], values[cuts]
    edges = lower * 0.5 + upper * 0.5
    # Keep lower <= edge < upper where halving rounds badly (subnormal or
    # infinite neighbours): the edge then sits on the lower value. Past -inf
    # it sits just below the upper one, so that, as past the largest finite
    # value, values beyond the training range go with the infinity.
    edges = np.where((lower <= edges) & (edges < upper), edges, lower)
    return np.where(np.isneginf(lower), np.nextafter(upper, -np.inf), edges)


def _with_sign_cut(cuts, values, cumulative):
    """cuts with the cut between the negative values and the others among
    them, where the feature has both, in place of the cut nearest to it by
    rows, so that the number of bins stays."""
    cut = int(np.searchsorted(values, 0.0, side="left"))
    if not 0 < cut < values.size or cut in cuts:
        return cuts
    before = np.concatenate(([0.0], cumulative))
    # The first of two equally near cuts: cuts are ascending.
    nearest = cuts[np.argmin(np.abs(before[cuts] - before[cut]))]
    return np.sort(np.append(cuts[cuts != nearest], cut))


def _more_cuts(cuts, cumulative, wanted):
    """cuts plus further cuts up to wanted in all: the bin with the most rows
    among those holding two or more distinct values is halved by count, until
    there are enough."""
    n_values = cumulative.size
    # Python numbers: a bin is a few of them, and NumPy's scalars cost more
    # than the arithmetic (the same float operations either way).
    bounds = [0, *cuts.tolist(), n_values]
    before = [0.0, *cumulative.tolist()]

    def entry(lo, hi):
        return (-(before[hi] - before[lo]), lo, hi)

    heap = [entry(lo, hi) for lo, hi in zip(bounds[:-1], bounds[1:]) if hi - lo >= 2]
    heapq.heapify(heap)
    added = []
    while heap and cuts.size + len(added) < wanted:
        _, lo, hi = heapq.heappop(heap)
        middle = (before[lo] + before[hi]) / 2
        cut = bisect.bisect_left(before, middle, lo + 1, hi)
        # The cut nearest the middle count, strictly inside the bin.
        if cut > lo + 1 and middle - before[cut - 1] < before[cut] - middle:
            cut -= 1
        cut = min(max(cut, lo + 1), hi - 1)
        added.append(cut)
        for a, b in ((lo, cut), (cut, hi)):
            if b - a >= 2:
                heapq.heappush(heap, entry(a, b))
    return np.sort(np.concatenate([cuts, np.asarray(added, dtype=cuts.dtype)]))


def category_codes(values, counts, max_bins, rows=None, min_rows=1):
    """Bin code of each category value: a bin per level for the max_bins
    most frequent levels (ties by value) and for every other level seen at
    least RARE_LEVEL_ROWS times, of those in at least min_rows rows (rows
    per level; None: counts), numbered in ascending value order; the levels
    left over share one last bin, as do the levels beyond the largest
    code."""
    by_count = np.argsort(-counts, kind="stable")
    own = (np.arange(values.size) < max_bins) | (counts[by_count] >= RARE_LEVEL_ROWS)
    own &= (counts if rows is None else rows)[by_count] >= min_rows
    # With weights, a level's rows need not fall in the order of its weight.
    owners = by_count[own][: MAX_BINS - 1]
    has_own = np.zeros(values.size, dtype=bool)
    has_own[owners] = True
    codes = np.full(values.size, owners.size, dtype=np.int64)
    codes[has_own] = np.arange(owners.size)
    return codes


def feature_bins(summary, categorical, max_bins, min_rows=1):
    """(edges, category values, category codes, n_bins) of one feature; a
    categorical level of fewer than min_rows rows gets no bin of its own."""
    if categorical:
        codes = category_codes(summary.values, summary.counts, max_bins, summary.rows, min_rows)
        return np.empty(0), summary.values, codes, int(codes.max(initial=-1)) + 1
    edges = numeric_edges(summary.values, summary.counts, max_bins)
    return edges, None, None, edges.size + 1


def _bins(per_feature, categorical, missing):
    edges, cat_values, cat_codes, n_bins = zip(*per_feature)
    return Bins(
        list(edges),
        list(cat_values),
        list(cat_codes),
        np.array(n_bins, dtype=np.int64),
        np.asarray(categorical, dtype=bool),
        np.asarray(missing, dtype=bool),
    )


def _check_max_bins(max_bins):
    if not 2 <= max_bins <= MAX_BINS:
        raise ValueError(f"max_bins must be in [2, {MAX_BINS}], got {max_bins}")


def bins_from_summaries(summaries, categorical, max_bins, min_rows=1):
    """The bins of every feature from its merged summary (min_rows as for
    feature_bins)."""
    _check_max_bins(max_bins)
    per_feature = [feature_bins(s, c, max_bins, min_rows) for s, c in zip(summaries, categorical)]
    return _bins(per_feature, categorical, [s.has_missing for s in summaries])


def fit_bins(x, categorical, max_bins, seed, weight=None, min_rows=1):
    """The bins of the raw rows x (n_rows, n_features) as one block (min_rows
    as for feature_bins). Each feature's summary becomes its bins at once:
    the summaries of many continuous features together would take several
    times the binned matrix."""
    _check_max_bins(max_bins)
    sample = sample_positions(x.shape[0], x.shape[0], seed, 0)

    def one(f):
        summary = summarize_feature(x[:, f], categorical[f], sample, weight)
        return feature_bins(summary, categorical[f], max_bins, min_rows), summary.has_missing

    done = map_all(one, range(x.shape[1]), x.size)
    return _bins([d[0] for d in done], categorical, [d[1] for d in done])


def numeric_codes(table, columns, missing_codes, out):
    """Writes into out[i, j] the number of entries of table[i] (ascending,
    a power-of-two long, ending in +inf) below columns[i, j], and
    missing_codes[i] where that is NaN: the code of the value when table[i]
    holds its feature's upper bin edges. A binary search per value
    mispredicts a branch at about every step; this takes the same halving
    steps for all values at once, each value moving up by every power of two
    whose last table entry beyond it is below the value. Many features in
    one call keep the steps long: short NumPy steps on several threads would
    mostly wait for the interpreter lock."""
    n_features, width = table.shape
    flat = table.ravel()
    start = np.arange(n_features, dtype=np.intp)[:, None] * width
    at = np.empty(columns.shape, dtype=np.intp)
    at[:] = start
    probe = np.empty(columns.shape)
    below = np.empty(columns.shape, dtype=bool)
    move = np.empty(columns.shape, dtype=np.intp)
    step = width // 2
    while step:
        # Every probe lies in its feature's row, so clipping never acts (and
        # costs less than the bounds check).
        flat[step - 1 :].take(at, out=probe, mode="clip")
        np.less(probe, columns, out=below)
        np.multiply(below, step, out=move, casting="unsafe")
        at += move
        step //= 2
    at -= start
    np.copyto(at, missing_codes[:, None], where=np.isnan(columns))
    out[:] = at


def _category_table(bins, f):
    """What _bin_categorical looks a feature's values up in: the code of each
    whole number up to its largest level (the missing bin where there is no
    level), when its levels are in the table range; else the search_table of
    its category values."""
    values = bins.cat_values[f]
    levels = _table_ints(values)
    if levels is None:
        return search_table([values])
    code_of = np.full(int(levels[-1]) + 1, bins.n_bins[f], dtype=np.intp)
    code_of[levels] = bins.cat_codes[f]
    return code_of


def _bin_categorical(bins, f, table, col, out):
    """Writes the codes of one raw categorical column into out; NaN and
    levels not seen in training go to the missing bin. table is the
    feature's _category_table."""
    values = bins.cat_values[f]
    if values.size == 0:
        out[:] = bins.n_bins[f]
        return
    if table.ndim == 1:
        # NaN and infinities cast to some integer, and a clipped or
        # truncated value to another than itself: all fail the comparison.
        with np.errstate(invalid="ignore"):
            ints = col.astype(np.intp)
        np.clip(ints, 0, table.size - 1, out=ints)
        out[:] = np.where(ints == col, table[ints], bins.n_bins[f])
        return
    # The first category at or above each value (NaN: the first of all).
    pos = np.empty(col.size, dtype=np.intp)
    numeric_codes(table, col[None], np.zeros(1, dtype=np.intp), pos[None])
    np.minimum(pos, values.size - 1, out=pos)
    out[:] = np.where(values[pos] == col, bins.cat_codes[f][pos], bins.n_bins[f])


def search_table(edges):
    """The features' upper bin edges then +inf, a row per feature, padded
    with +inf to a power-of-two length that fits the longest."""
    width = 1 << max(e.size for e in edges).bit_length()
    table = np.full((len(edges), width), np.inf)
    for f, e in enumerate(edges):
        table[f, : e.size] = e
    return table


def bin_rows(bins, x):
    """The feature-major uint16 binned matrix of the raw rows x (n_rows, n_features)."""
    n_rows, n_features = x.shape
    out = np.empty((n_features, n_rows), dtype=np.uint16)
    # Numeric features go through numeric_codes in runs of neighbours, each
    # run with its own table.
    run = max(1, GROUP_VALUES // BLOCK_ROWS)
    numeric = np.flatnonzero(~bins.categorical)
    runs = []
    for span in np.split(numeric, np.flatnonzero(np.diff(numeric) != 1) + 1):
        for i in range(0, span.size, run):
            first, last = int(span[i]), int(span[min(i + run, span.size) - 1]) + 1
            runs.append((first, last, search_table(bins.edges[first:last])))

    categories = [(f, _category_table(bins, f)) for f in np.flatnonzero(bins.categorical)]

    def block(start):
        stop = min(start + BLOCK_ROWS, n_rows)
        columns = np.ascontiguousarray(x[start:stop].T)
        for first, last, table in runs:
            numeric_codes(
                table, columns[first:last], bins.n_bins[first:last], out[first:last, start:stop]
            )
        for f, table in categories:
            _bin_categorical(bins, f, table, columns[f], out[f, start:stop])

    map_all(block, range(0, n_rows, BLOCK_ROWS), x.size)
    return out
