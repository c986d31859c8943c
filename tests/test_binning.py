"""Binning of the learner: numeric edges over distinct values and counts,
categorical bins per level, and summaries merged over blocks of rows."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tarnwick import TarnwickRegressor, binning
from tarnwick.binning import (
    bin_rows,
    bins_from_summaries,
    fit_bins,
    merge_summaries,
    numeric_edges,
    summarize,
)


def assert_codes_agree_with_edges(bins, x, binned):
    """Every value lies above its bin's lower edge and at or below its upper
    edge, NaN in the missing bin: so "bin <= t" is "value <= edges[t]"."""
    for f in range(x.shape[1]):
        edges, codes, col = bins.edges[f], binned[f].astype(np.int64), x[:, f]
        assert np.all(np.diff(edges) > 0)
        missing = np.isnan(col)
        assert np.all(codes[missing] == bins.n_bins[f])
        v, c = col[~missing], codes[~missing]
        upper = np.append(edges, np.inf)[c]
        lower = np.insert(edges, 0, -np.inf)[c]
        # The first bin also holds -inf.
        assert np.all(((c == 0) | (lower < v)) & (v <= upper))


def test_bin_codes_agree_with_raw_thresholds():
    rng = np.random.default_rng(1)
    x = rng.standard_normal((5000, 3)) * [1.0, 1e-3, 1e6]
    x[::17] = np.nan
    bins = fit_bins(x, np.zeros(3, dtype=bool), 64, seed=0)
    binned = bin_rows(bins, x)
    assert binned.dtype == np.uint16 and binned.shape == (3, 5000)
    assert binned.flags.c_contiguous and bins.n_bins_max > binned.max()
    assert list(bins.n_bins) == [64, 64, 64]
    assert_codes_agree_with_edges(bins, x, binned)


def test_numeric_features_between_categorical_ones_get_their_own_codes():
    rng = np.random.default_rng(2)
    x = rng.standard_normal((3000, 7)) * np.arange(1, 8)
    categorical = np.array([True, False, False, True, True, False, True])
    x[:, categorical] = rng.integers(0, 9, (3000, 4))
    x[::13] = np.nan
    bins = fit_bins(x, categorical, 32, seed=0)
    binned = bin_rows(bins, x)
    for f in np.flatnonzero(~categorical):
        expected = np.searchsorted(np.append(bins.edges[f], np.inf), x[:, f])
        assert np.array_equal(binned[f], expected)
    for f in np.flatnonzero(categorical):
        level = np.searchsorted(bins.cat_values[f], x[:, f]).clip(0, bins.cat_values[f].size - 1)
        seen = bins.cat_values[f][level] == x[:, f]
        assert np.array_equal(binned[f][seen], bins.cat_codes[f][level[seen]])
        assert np.all(binned[f][~seen] == bins.n_bins[f])


@settings(max_examples=60, deadline=None)
@given(
    values=st.lists(
        st.one_of(
            st.floats(allow_nan=True, allow_infinity=True),
            st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1.0, 1.0 + 2**-52]),
        ),
        min_size=1,
        max_size=300,
    ),
    max_bins=st.integers(2, 40),
)
def test_edges_separate_neighbouring_values_of_any_kind(values, max_bins):
    """Subnormal, signed-zero, huge and infinite neighbours: each edge lies
    at or above its bin's last value and below the next bin's first."""
    x = np.array(values)[:, None]
    bins = fit_bins(x, np.zeros(1, dtype=bool), max_bins, seed=0)
    distinct = np.unique(x[~np.isnan(x)])
    assert bins.n_bins[0] == max(1, min(distinct.size, max_bins))
    assert_codes_agree_with_edges(bins, x, bin_rows(bins, x))


SPECIAL_VALUES = [0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, -5e-324, 1.0, 1.0 + 2**-52, -1e308]


@settings(max_examples=60, deadline=None)
@given(
    features=st.lists(
        st.tuples(
            st.lists(st.floats(allow_nan=False), max_size=70, unique=True),
            st.lists(
                st.one_of(st.floats(allow_nan=True), st.sampled_from(SPECIAL_VALUES)),
                min_size=1,
                max_size=40,
            ),
        ),
        min_size=1,
        max_size=4,
    ),
    data=st.data(),
)
def test_codes_are_the_sorted_position_of_each_value_among_the_edges(features, data):
    """numeric_codes gives, feature by feature, what a binary search of the
    edges then +inf gives (NaN one past, at the missing code), with values
    drawn among the edges themselves too."""
    edges = [np.sort(np.array(e, dtype=float)) for e, _ in features]
    table = binning.search_table(edges)
    n_values = max(len(v) for _, v in features)
    columns = np.empty((len(edges), n_values))
    for f, (e, (_, values)) in enumerate(zip(edges, features)):
        pool = values + e.tolist()
        columns[f] = data.draw(
            st.lists(st.sampled_from(pool), min_size=n_values, max_size=n_values)
        )
    out = np.empty(columns.shape, dtype=np.uint16)
    binning.numeric_codes(table, columns, np.array([e.size + 1 for e in edges]), out)
    for f, e in enumerate(edges):
        expected = np.searchsorted(np.append(e, np.inf), columns[f], side="left")
        assert np.array_equal(out[f], expected)


def test_few_distinct_values_get_a_bin_each():
    x = np.array([[3.0, 1.0, 2.0, 3.0, np.nan, 1.0]]).T
    bins = fit_bins(x, np.zeros(1, dtype=bool), 255, seed=0)
    assert bins.n_bins[0] == 3 and list(bins.edges[0]) == [1.5, 2.5]
    assert bin_rows(bins, x)[0].tolist() == [2, 0, 1, 2, 3, 0]


@pytest.mark.parametrize("max_bins", [16, 255])
def test_a_feature_with_many_tied_values_gets_max_bins_bins(max_bins):
    """Integer values with a heavy head and a long tail: quantiles of the
    rows fall on the same few values again and again, yet every bin is used,
    and the tail, where few rows are, keeps bins of its own."""
    rng = np.random.default_rng(2)
    head = rng.geometric(0.3, 120_000)
    col = np.concatenate([head, rng.integers(50, 5000, 80_000)]).astype(np.float64)
    x = col[:, None]
    bins = fit_bins(x, np.zeros(1, dtype=bool), max_bins, seed=0)
    assert bins.n_bins[0] == max_bins
    quantile_edges = np.unique(np.quantile(col, np.linspace(0, 1, max_bins + 1)[1:-1]))
    assert quantile_edges.size < max_bins - 1
    counts = np.bincount(bin_rows(bins, x)[0], minlength=max_bins + 1)
    assert np.all(counts[:max_bins] > 0)
    # Bins hold about an equal share, except where one value is heavier.
    heaviest = np.unique(col, return_counts=True)[1].max()
    assert counts[:max_bins].max() <= max(heaviest, 2 * col.size / max_bins)


def test_edges_balance_counts_over_distinct_values():
    values = np.arange(10.0)
    counts = np.array([1, 1, 1, 100, 1, 1, 1, 1, 1, 1.0])
    edges = numeric_edges(values, counts, 4)
    assert edges.size == 3
    # The heavy value sits in a bin of its own.
    assert np.count_nonzero((edges > 2.0) & (edges < 4.0)) == 2


@settings(max_examples=40, deadline=None)
@given(
    n_negative=st.integers(1, 3000),
    n_zero=st.integers(0, 50),
    n_positive=st.integers(1, 3000),
    max_bins=st.sampled_from([2, 3, 15, 64, 255]),
    seed=st.integers(0, 2**16),
)
def test_negative_values_never_share_a_bin_with_the_others(
    n_negative, n_zero, n_positive, max_bins, seed
):
    """Whatever the quantiles, one edge separates the negative values from
    zero and the positive ones, and the feature keeps its number of bins:
    the edge at zero takes the place of the nearest other one."""
    rng = np.random.default_rng(seed)
    col = np.concatenate(
        [
            -rng.exponential(rng.uniform(0.01, 10.0), n_negative),
            np.zeros(n_zero),
            rng.exponential(rng.uniform(0.01, 10.0), n_positive),
        ]
    )
    bins = fit_bins(col[:, None], np.zeros(1, dtype=bool), max_bins, seed=0)
    assert bins.n_bins[0] == min(max_bins, np.unique(col).size)
    codes = bin_rows(bins, col[:, None])[0]
    assert codes[col < 0].max() < codes[col >= 0].min()


def test_the_edge_at_zero_leaves_features_of_one_sign_as_they_were():
    values = np.arange(1.0, 301.0)
    counts = np.random.default_rng(3).integers(1, 9, 300).astype(np.float64)
    # Positive values, zero and positive ones, negative ones.
    for shift in (0.0, -1.0, -301.0):
        assert np.array_equal(
            numeric_edges(values + shift, counts, 16), numeric_edges(values, counts, 16) + shift
        )


def test_a_target_that_turns_at_zero_is_split_there_with_few_bins():
    """With 15 bins of a standard normal feature no quantile edge falls at
    zero; a single split still separates the two halves exactly."""
    x = np.random.default_rng(11).standard_normal((4000, 1))
    y = np.where(x[:, 0] < 0, -1.0, 1.0)
    model = TarnwickRegressor(
        max_iter=1, learning_rate=1.0, max_leaf_nodes=2, max_bins=15, early_stopping=False
    ).fit(x, y)
    assert np.allclose(model.predict(x), y)


def test_rare_categories_beyond_max_bins_share_one_bin():
    x = np.concatenate([np.repeat([5.0, 9.0, 2.0, 4.0], [50, 40, 30, 3]), [7.0, 8.0, np.nan]])
    bins = fit_bins(x[:, None], np.ones(1, dtype=bool), 2, seed=0)
    # The two most frequent levels and those seen three times or more have a
    # bin each, numbered by value; 7 and 8 share the last.
    assert bins.n_bins[0] == 5
    codes = bin_rows(bins, x[:, None])[0]
    assert codes.tolist() == [2] * 50 + [3] * 40 + [0] * 30 + [1] * 3 + [4, 4, 5]
    assert bins.category_values(0, [4]).tolist() == [7.0, 8.0]


def test_categories_get_a_bin_each_beyond_255():
    rng = np.random.default_rng(3)
    levels = rng.permutation(1000).astype(np.float64) * 3.5
    x = np.repeat(levels, 5)[:, None]
    bins = fit_bins(x, np.ones(1, dtype=bool), 255, seed=0)
    assert bins.n_bins[0] == 1000 and bins.n_bins_max == 1001
    binned = bin_rows(bins, x)[0]
    assert np.array_equal(bins.cat_values[0][bins.cat_codes[0][binned]], x[:, 0])


def test_a_category_beyond_the_code_range_is_found_among_more_levels_than_codes():
    # 70,000 levels, most seen once: their positions among the levels do not
    # fit the 16-bit codes, and the last ones share the rare levels' bin.
    levels = np.arange(70_000, dtype=np.float64)
    x = np.concatenate([np.repeat(levels[:300], 3), levels])[:, None]
    bins = fit_bins(x, np.ones(1, dtype=bool), 255, seed=0)
    codes = bin_rows(bins, x)[0]
    assert bins.n_bins[0] == 301 and codes[-1] == 300
    assert np.array_equal(codes[:900], np.repeat(np.arange(300), 3))


def test_unseen_categories_and_nan_fall_in_the_missing_bin():
    train = np.array([[1.0], [2.0], [2.0], [7.0]])
    bins = fit_bins(train, np.ones(1, dtype=bool), 255, seed=0)
    codes = bin_rows(bins, np.array([[2.0], [3.0], [np.nan], [7.0], [-1.0]]))[0]
    assert codes.tolist() == [1, 3, 3, 2, 3]


@settings(max_examples=60, deadline=None)
@given(
    train=st.lists(
        st.one_of(st.floats(allow_nan=True), st.sampled_from(SPECIAL_VALUES)),
        min_size=1,
        max_size=60,
    ),
    unseen=st.lists(st.one_of(st.floats(), st.sampled_from(SPECIAL_VALUES)), max_size=20),
)
def test_a_category_value_gets_its_level_s_bin_and_others_the_missing_bin(train, unseen):
    """Every level, infinite ones too, is found again (-0.0 as 0.0); NaN and
    values not seen in training go to the missing bin."""
    x = np.array(train)[:, None]
    bins = fit_bins(x, np.ones(1, dtype=bool), 255, seed=0)
    rows = np.array(train + unseen)
    codes = bin_rows(bins, rows[:, None])[0]
    levels = dict(zip(bins.cat_values[0].tolist(), bins.cat_codes[0].tolist()))
    expected = [levels.get(v, bins.n_bins[0]) for v in rows.tolist()]
    assert codes.tolist() == expected


@pytest.mark.parametrize("weighted", [False, True])
def test_whole_number_levels_counted_by_table_bin_as_sorted_levels_do(monkeypatch, weighted):
    """Levels that are whole numbers in the table range are counted and
    looked up by table; the bins and codes are those of the sort and search
    that other levels take, unseen, fractional, negative, infinite and
    missing values included."""
    rng = np.random.default_rng(8)
    n = 5_000
    x = np.column_stack(
        [
            rng.integers(0, 40, n),
            rng.integers(0, 3_000, n),
            np.where(rng.random(n) < 0.1, np.nan, rng.integers(5, 9, n)),
        ]
    ).astype(np.float64)
    weight = rng.random(n) + 0.25 if weighted else None
    categorical = np.ones(3, dtype=bool)
    new = np.array([2.5, -1.0, 39.0, 40.0, 2_999.0, 1e300, np.inf, -np.inf, np.nan, -0.0, 7.0])
    rows = np.vstack([x, np.repeat(new[:, None], 3, axis=1)])
    tabled = fit_bins(x, categorical, 32, 0, weight)
    tabled_codes = bin_rows(tabled, rows)
    monkeypatch.setattr(binning, "TABLE_LEVELS", 0)
    sorted_ = fit_bins(x, categorical, 32, 0, weight)
    for f in range(3):
        assert np.array_equal(tabled.cat_values[f], sorted_.cat_values[f])
        assert np.array_equal(tabled.cat_codes[f], sorted_.cat_codes[f])
    assert np.array_equal(tabled_codes, bin_rows(sorted_, rows))


def test_integer_weights_bin_as_repeated_rows():
    rng = np.random.default_rng(4)
    x = rng.integers(0, 400, (600, 2)).astype(np.float64)
    weight = rng.integers(0, 4, 600).astype(np.float64)
    categorical = np.array([False, True])
    weighted = fit_bins(x[weight > 0], categorical, 32, 0, weight[weight > 0])
    repeated = fit_bins(np.repeat(x, weight.astype(int), axis=0), categorical, 32, 0)
    assert np.array_equal(weighted.edges[0], repeated.edges[0])
    assert np.array_equal(weighted.cat_codes[1], repeated.cat_codes[1])


@pytest.mark.parametrize("table", [True, False])
@pytest.mark.parametrize("weighted", [False, True])
def test_levels_in_fewer_rows_than_min_rows_share_one_bin(table, weighted):
    """A level gets a bin of its own only in at least min_rows rows, whatever
    its weight; the levels below that, and the unseen and the rarest ones
    beyond max_bins, share the last bin. Whole blocks and merged summaries of
    blocks agree."""
    rng = np.random.default_rng(9)
    rows_of = {0: 400, 1: 50, 2: 49, 3: 10, 4: 3, 5: 1, 6: 120, 7: 50}
    levels = np.repeat(list(rows_of), list(rows_of.values())).astype(np.float64)
    if not table:
        levels += 0.5
    x = rng.permutation(levels)[:, None]
    # Heavy weights on the rare levels: rows decide, not weights.
    weight = np.where(np.isin(np.floor(x[:, 0]), [3, 4, 5]), 100.0, 1.0) if weighted else None
    categorical = np.ones(1, dtype=bool)
    bins = fit_bins(x, categorical, 255, 0, weight, min_rows=50)
    codes = dict(zip(np.floor(bins.cat_values[0]).astype(int).tolist(), bins.cat_codes[0].tolist()))
    owned = [level for level, n in rows_of.items() if n >= 50]
    assert bins.n_bins[0] == len(owned) + 1
    assert sorted(codes[level] for level in owned) == list(range(len(owned)))
    assert {codes[level] for level in rows_of if level not in owned} == {len(owned)}
    assert np.array_equal(
        fit_bins(x, categorical, 255, 0, weight).cat_codes[0], np.arange(len(rows_of))
    )
    blocks = [slice(0, 300), slice(300, 301), slice(301, None)]
    merged = merge_summaries(
        [summarize(x[b], categorical, None, None if weight is None else weight[b]) for b in blocks]
    )
    parts = bins_from_summaries(merged, categorical, 255, min_rows=50)
    assert np.array_equal(parts.cat_codes[0], bins.cat_codes[0])


def test_merged_block_summaries_give_the_bins_of_all_rows():
    rng = np.random.default_rng(5)
    x = rng.integers(0, 900, (3000, 3)).astype(np.float64)
    x[rng.random(x.shape) < 0.1] = np.nan
    categorical = np.array([False, True, False])
    whole = fit_bins(x, categorical, 64, seed=0)
    blocks = [x[:1000], x[1000:1700], x[1700:]]
    merged = merge_summaries([summarize(b, categorical, None) for b in blocks])
    parts = bins_from_summaries(merged, categorical, 64)
    for f in range(3):
        assert np.array_equal(whole.edges[f], parts.edges[f])
    assert np.array_equal(whole.cat_codes[1], parts.cat_codes[1])
    assert np.array_equal(whole.missing, parts.missing)


def test_large_data_is_binned_from_a_sample_that_the_seed_fixes():
    n = binning.SAMPLE_ROWS + 5000
    x = np.random.default_rng(6).standard_normal((n, 1))
    a, b = (fit_bins(x, np.zeros(1, dtype=bool), 255, seed=s) for s in (1, 1))
    c = fit_bins(x, np.zeros(1, dtype=bool), 255, seed=2)
    assert np.array_equal(a.edges[0], b.edges[0])
    assert not np.array_equal(a.edges[0], c.edges[0])
    assert binning.sample_positions(n, n, 1, 0).size == binning.SAMPLE_ROWS


def test_binning_does_not_depend_on_the_thread_count(monkeypatch):
    rng = np.random.default_rng(7)
    x = rng.standard_normal((50_000, 4))
    x[:, 3] = rng.integers(0, 30, 50_000)
    categorical = np.array([False, False, False, True])
    out = []
    for threads in ("1", "3"):
        monkeypatch.setenv("RAYON_NUM_THREADS", threads)
        bins = fit_bins(x, categorical, 255, seed=0)
        out.append((bins.edges, bin_rows(bins, x)))
    assert all(np.array_equal(a, b) for a, b in zip(out[0][0], out[1][0]))
    assert np.array_equal(out[0][1], out[1][1])


def test_max_bins_outside_the_code_range_is_refused():
    with pytest.raises(ValueError, match="max_bins"):
        fit_bins(np.zeros((3, 1)), np.zeros(1, dtype=bool), 65536, seed=0)
