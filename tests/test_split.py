"""find_best_split against the slow reference, which follows the same operation order."""

import math

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from reference import Fault
from support import expect_fault, run_native

F = np.float64
NAN = math.nan
INF = math.inf
HIST_INDEX_FAULT = "array index out of bounds"
SORT_FAULT = "finite sort ratios"
# The panic_type fixture only looks up a class; sharing it across examples is safe.
SLOW_OK = [HealthCheck.too_slow, HealthCheck.function_scoped_fixture]


def exact(result):
    """A split result with its gain as hex, so equality is bitwise."""
    if result is None:
        return None
    f, b, gain, lc, rc, cats = result
    assert type(f) is int and type(b) is int and type(gain) is float
    assert type(lc) is int and type(rc) is int
    assert cats is None or (type(cats) is list and all(type(c) is int for c in cats))
    return (f, b, gain.hex(), lc, rc, cats)


def split_args(
    hist,
    n_bins,
    mask,
    min_samples_leaf=1,
    l2=1.0,
    cat_smooth=10.0,
    min_data_per_group=1,
    max_cat_threshold=32,
):
    """find_best_split's arguments in order, with these tests' defaults."""
    return (
        np.asarray(hist, dtype=np.float64),
        np.asarray(n_bins, dtype=np.int64),
        min_samples_leaf,
        l2,
        np.asarray(mask, dtype=bool),
        cat_smooth,
        min_data_per_group,
        max_cat_threshold,
    )


def call(*args, **kwargs):
    return tn.find_best_split(*split_args(*args, **kwargs))


def check_against_reference(panic_type, hist, n_bins, mask, **params):
    """Module and reference agree bit for bit, or fail with the same message."""
    arguments = split_args(hist, n_bins, mask, **params)

    def outcome(function, failure):
        try:
            return "ok", exact(function(*arguments))
        except failure as exc:
            return "fault", str(exc)

    expected = outcome(reference.find_best_split, Fault)
    got = outcome(tn.find_best_split, panic_type)
    if got[0] == "fault":
        assert_still_works()
    assert got == expected
    return got


def assert_still_works():
    hist = np.zeros((1, 3, 3))
    hist[0, :, 0] = [1.0, -1.0, 0.0]
    hist[0, :, 1] = [1.0, 1.0, 0.0]
    hist[0, :, 2] = [1.0, 1.0, 0.0]
    assert call(hist, [2], [False], l2=0.0) == (0, 0, 2.0, 1, 1, None)


def expect_panic(panic_type, message, *args, **kwargs):
    expect_fault(panic_type, message, "find_best_split", *split_args(*args, **kwargs))
    assert_still_works()


# --- random histograms ---------------------------------------------------

specials = st.sampled_from([NAN, INF, -INF, 0.0, -0.0])
grad_values = st.one_of(st.integers(-6, 6).map(float), st.floats(-10, 10, width=64))
hess_values = st.one_of(st.just(0.0), st.integers(0, 4).map(float), st.floats(0, 10))
count_values = st.integers(0, 12).map(float)


def with_specials(values, wild):
    return st.one_of(values, values, values, specials) if wild else values


def strided(a, layout):
    """The same logical values through another memory layout."""
    if layout == "reversed":
        flipped = tuple(slice(None, None, -1) for _ in range(a.ndim))
        return a[flipped].copy()[flipped]
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "padded":
        big = np.full(tuple(2 * s + 1 for s in a.shape), -7, dtype=a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in range(a.ndim))]
        view[...] = a
        return view
    return np.ascontiguousarray(a)


@st.composite
def split_inputs(draw, max_bins=10, categorical=None):
    n_features = draw(st.integers(1, 4))
    n_bin_axis = draw(st.integers(1, max_bins))
    channels = draw(st.sampled_from([3, 3, 4]))
    wild = draw(st.sampled_from([False, False, True]))
    shape = (n_features, n_bin_axis)
    hist = np.zeros(shape + (channels,))
    hist[:, :, 0] = draw(arrays(np.float64, shape, elements=with_specials(grad_values, wild)))
    hist[:, :, 1] = draw(arrays(np.float64, shape, elements=with_specials(hess_values, wild)))
    hist[:, :, 2] = draw(arrays(np.float64, shape, elements=with_specials(count_values, wild)))
    if channels == 4:
        hist[:, :, 3] = NAN
    fitting = st.integers(0, n_bin_axis - 1)
    n_bins = draw(
        st.lists(
            st.one_of(fitting, st.just(n_bin_axis - 1)), min_size=n_features, max_size=n_features
        )
    )
    if categorical is None:
        mask = draw(st.lists(st.booleans(), min_size=n_features, max_size=n_features))
    else:
        mask = [categorical] * n_features
    # Now and then one input breaks the layout contract somewhere.
    broken = draw(st.sampled_from(["none"] * 6 + ["count", "short", "long"]))
    if broken == "count":
        f = draw(st.integers(0, n_features - 1))
        n_bins[f] = draw(st.sampled_from([n_bin_axis, n_bin_axis + 2, -1, -(2**63)]))
    elif broken == "short":
        if draw(st.booleans()):
            n_bins = n_bins[:-1]
        else:
            mask = mask[:-1]
    elif broken == "long":
        n_bins = n_bins + [-1]
        mask = mask + [True]
    layout = draw(st.sampled_from(["c", "reversed", "fortran", "padded"]))
    params = dict(
        min_samples_leaf=draw(st.integers(-1, 3)),
        l2=draw(st.one_of(st.sampled_from([0.0, 1.0, 1e-3]), st.floats(0, 5))),
        cat_smooth=draw(st.sampled_from([0.0, 1.0, 10.0])),
        min_data_per_group=draw(st.integers(-1, 4)),
        max_cat_threshold=draw(st.integers(-1, 12)),
    )
    return (
        strided(hist, layout),
        strided(np.array(n_bins, dtype=np.int64), layout),
        strided(np.array(mask, dtype=bool), layout),
        params,
    )


@settings(max_examples=300, deadline=None, suppress_health_check=SLOW_OK)
@given(split_inputs())
def test_matches_reference_on_random_histograms(panic_type, inputs):
    hist, n_bins, mask, params = inputs
    check_against_reference(panic_type, hist, n_bins, mask, **params)


@settings(max_examples=60, deadline=None, suppress_health_check=SLOW_OK)
@given(split_inputs(max_bins=40, categorical=True))
def test_matches_reference_with_many_categories(panic_type, inputs):
    hist, n_bins, mask, params = inputs
    check_against_reference(panic_type, hist, n_bins, mask, **params)


@settings(max_examples=40, deadline=None, suppress_health_check=SLOW_OK)
@given(st.integers(0, 2**32 - 1))
def test_matches_reference_on_full_size_nodes(panic_type, seed):
    rng = np.random.default_rng(seed)
    hist = np.empty((8, 256, 3))
    hist[:, :, 0] = rng.normal(size=(8, 256))
    hist[:, :, 1] = rng.uniform(0, 2, size=(8, 256))
    hist[:, :, 2] = rng.integers(0, 30, size=(8, 256))
    n_bins = rng.integers(0, 256, size=8)
    mask = rng.random(8) < 0.3
    check_against_reference(
        panic_type,
        hist,
        n_bins,
        mask,
        min_samples_leaf=20,
        l2=0.1,
        max_cat_threshold=int(rng.integers(0, 64)),
    )


# --- shapes and the node totals ------------------------------------------


@pytest.mark.parametrize("channels", [0, 1, 3])
def test_empty_tensor_has_no_split(channels):
    assert call(np.zeros((0, 0, channels)), [], []) is None


@pytest.mark.parametrize("shape", [(0, 1, 3), (0, 4, 3), (2, 3, 2), (1, 1, 0)])
def test_node_totals_need_feature_zero_and_three_channels(panic_type, shape):
    expect_panic(panic_type, HIST_INDEX_FAULT, np.ones(shape), [2, 2], [False, False])


def test_node_totals_come_from_feature_zero_over_every_bin():
    # Feature 1's own bins sum to something else; its trailing bin past the
    # missing bin still lands on the right through the totals of feature 0.
    hist = np.zeros((2, 4, 3))
    hist[0, :, :] = [[1.0, 1.0, 1.0], [1.0, 1.0, 1.0], [-3.0, 1.0, 1.0], [0.0, 1.0, 1.0]]
    hist[1, :, :] = [[2.0, 1.0, 1.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [9.0, 9.0, 9.0]]
    result = call(hist, [0, 2], [False, False], l2=0.0, min_samples_leaf=0)
    with np.errstate(all="ignore"):
        gp, hp = F(-1.0), F(4.0)
        gl, hl = F(0.0) + F(2.0), F(0.0) + F(1.0)
        gain = (gl * gl / hl + (gp - gl) ** 2 / (hp - hl)) - gp * gp / hp
    assert result is not None
    assert exact(result) == exact((1, 0, float(gain), 1, 3, None))


def test_features_with_at_most_one_bin_have_no_split():
    hist = np.ones((3, 4, 3))
    assert call(hist, [0, 1, 1], [False, False, False], min_samples_leaf=0) is None


def test_zero_totals_without_l2_give_nan_gains_and_no_split():
    hist = np.zeros((2, 5, 3))
    hist[:, :4, 2] = 1.0
    assert call(hist, [4, 4], [False, True], l2=0.0, cat_smooth=1.0, min_samples_leaf=0) is None


def test_longer_vectors_are_accepted():
    hist = np.zeros((1, 3, 3))
    hist[0, :, :] = [[1.0, 1.0, 1.0], [-1.0, 1.0, 1.0], [0.0, 0.0, 0.0]]
    assert call(hist, [2, -5, 99], [False, True, True], l2=0.0) == (0, 0, 2.0, 1, 1, None)


# --- acceptance rule -------------------------------------------------------


def floor_hist(g):
    # Totals: G = 0 (so the parent score is 0), H = inf (so the right term is
    # 0). The only threshold then scores g * g / 1e12 exactly.
    hist = np.zeros((1, 3, 3))
    hist[0, 0] = [g, 1e12, 1.0]
    hist[0, 1] = [-g, INF, 1.0]
    return hist


def test_gain_exactly_at_the_floor_is_not_a_split():
    assert F(1.0) * F(1.0) / F(1e12) == F(1e-12)
    assert call(floor_hist(1.0), [2], [False], l2=0.0) is None


def test_gain_just_above_the_floor_is_a_split():
    g = math.nextafter(1.0, 2.0)
    expected = g * g / 1e12
    assert expected > 1e-12
    assert call(floor_hist(g), [2], [False], l2=0.0) == (0, 0, expected, 1, 1, None)


def test_infinite_gain_is_never_accepted():
    # Threshold 0 leaves H_L + l2 = 0 with G_L != 0: an infinite gain.
    hist = np.zeros((1, 4, 3))
    hist[0, :3] = [[2.0, -1.0, 1.0], [0.0, 2.0, 1.0], [-1.0, 1.0, 1.0]]
    result = call(hist, [3], [False], l2=1.0, min_samples_leaf=0)
    assert result is not None and result[1] == 1 and math.isfinite(result[2])


def test_equal_gains_keep_the_lower_feature_and_threshold():
    hist = np.zeros((2, 4, 3))
    # An empty bin 1 makes thresholds 0 and 1 identical in every bit.
    hist[:, :3] = [[1.0, 1.0, 1.0], [0.0, 0.0, 0.0], [-1.0, 1.0, 1.0]]
    result = call(hist, [3, 3], [False, False], l2=0.0, min_samples_leaf=0)
    assert result == (0, 0, 2.0, 1, 1, None)


def test_missing_bin_is_added_last_to_each_prefix(panic_type):
    # 1e16 + (1 + 1) and (1e16 + 1) + 1 differ: the missing bin's gradient
    # must join the prefix sum after the regular bins.
    hist = np.zeros((1, 4, 3))
    hist[0] = [[1.0, 1.0, 1.0], [1.0, 1.0, 1.0], [-3e16, 1.0, 1.0], [1e16, 0.0, 2.0]]
    assert (1e16 + 2.0) != ((1e16 + 1.0) + 1.0)
    result = check_against_reference(
        panic_type, hist, np.array([3]), np.array([False]), l2=0.5, min_samples_leaf=0
    )
    assert result[1][1] == 1 and result[1][3] == 4 and result[1][4] == 1


def test_missing_rows_count_on_the_left_in_the_guards():
    hist = np.zeros((1, 4, 3))
    hist[0] = [[3.0, 1.0, 1.0], [-1.0, 1.0, 5.0], [2.0, 1.0, 1.0], [0.5, 1.0, 4.0]]
    # Bin 0 alone holds one row; with the four missing rows it holds five.
    result = call(hist, [3], [False], min_samples_leaf=5)
    assert result[:2] == (0, 0) and result[3:5] == (5, 6)


def test_min_samples_leaf_above_half_the_rows_allows_no_threshold():
    hist = np.zeros((1, 5, 3))
    hist[0, :4] = [[1.0, 1.0, 3.0], [-2.0, 1.0, 3.0], [5.0, 1.0, 3.0], [-4.0, 1.0, 3.0]]
    assert call(hist, [4], [False], min_samples_leaf=6) is not None
    assert call(hist, [4], [False], min_samples_leaf=7) is None


def test_nan_counts_pass_the_guards_and_convert_to_zero():
    hist = np.zeros((1, 3, 3))
    hist[0] = [[1.0, 1.0, NAN], [-1.0, 1.0, 1.0], [0.0, 0.0, 0.0]]
    assert call(hist, [2], [False], min_samples_leaf=100, l2=0.0) == (0, 0, 2.0, 0, 0, None)


@pytest.mark.parametrize(
    "count, expected",
    [
        (2.9, 2),
        (-2.9, -2),
        (2.0**63, 2**63 - 1),
        (1e300, 2**63 - 1),
        (INF, 2**63 - 1),
        (-(2.0**63), -(2**63)),
        (math.nextafter(2.0**63, 0), 2**63 - 1024),
    ],
)
def test_counts_convert_by_truncation_with_saturation(count, expected):
    hist = np.zeros((1, 3, 3))
    hist[0] = [[1.0, 1.0, count], [-1.0, 1.0, 0.0], [0.0, 0.0, 0.0]]
    result = call(hist, [2], [False], min_samples_leaf=-(2**63), l2=0.0)
    assert result is not None and result[3] == expected


def test_numeric_result_shape():
    rng = np.random.default_rng(7)
    hist = np.zeros((3, 12, 3))
    hist[:, :, 0] = rng.normal(size=(3, 12))
    hist[:, :, 1] = 1.0
    hist[:, :, 2] = rng.integers(1, 9, size=(3, 12))
    n_bins = [11, 7, 9]
    f, b, gain, lc, rc, cats = call(hist, n_bins, [False] * 3, l2=0.1)
    assert 0 <= b <= n_bins[f] - 2 and cats is None and gain > 1e-12
    assert lc + rc == int(hist[0, :, 2].sum())


# --- categorical phase -------------------------------------------------------


def categories(rows, n_bin_axis=None):
    """Feature 0 categorical, with (grad, hess, count) per bin; the last row is
    the missing bin."""
    n_bin_axis = n_bin_axis or len(rows)
    hist = np.zeros((1, n_bin_axis, 3))
    hist[0, : len(rows)] = rows
    return hist


def test_categorical_winner_lists_codes_ascending(panic_type):
    # Ratio order is 3, 0, 2, 1; the best left set is not contiguous in code.
    hist = categories(
        [[0.5, 1.0, 3.0], [4.0, 1.0, 3.0], [2.0, 1.0, 3.0], [-6.0, 1.0, 3.0], [0.0, 0.0, 0.0]]
    )
    got = check_against_reference(
        panic_type, hist, np.array([4]), np.array([True]), cat_smooth=0.0, l2=0.0
    )
    f, b, _, lc, rc, cats = got[1]
    assert (f, b) == (0, -1) and cats == sorted(cats) and len(set(cats)) == len(cats)
    assert 4 not in cats and lc + rc == 12


@settings(max_examples=150, deadline=None, suppress_health_check=SLOW_OK)
@given(arrays(np.float64, (3, 2), elements=st.floats(-5, 5)), st.sampled_from([1.0, 2.0, 4.0]))
def test_three_categories_offer_the_four_prefix_sets(panic_type, stats, missing_count):
    hist = categories(
        [
            [stats[0, 0], stats[0, 1] + 1.0, 2.0],
            [stats[1, 0], stats[1, 1] + 1.0, 2.0],
            [stats[2, 0], stats[2, 1] + 1.0, 2.0],
            [1.0, 0.5, missing_count],
        ]
    )
    got = check_against_reference(
        panic_type,
        hist,
        np.array([3]),
        np.array([True]),
        max_cat_threshold=50,
        cat_smooth=1.0,
        min_samples_leaf=0,
    )
    if got[1] is None:
        return
    ratios = hist[0, :3, 0] / (hist[0, :3, 1] + 1.0)
    s1, s2, s3 = np.argsort(ratios, kind="stable")
    allowed = [sorted([s1]), sorted([s1, s2]), sorted([s3]), sorted([s3, s2])]
    assert got[1][5] in [[int(c) for c in s] for s in allowed]
    assert got[1][3] == 2 * len(got[1][5]) + missing_count


def test_forward_prefix_beats_an_equal_reverse_prefix():
    # Two categories of opposite gradient: {low ratio} and {high ratio} score
    # the same bits; the forward scan offers the low one first.
    hist = categories([[1.0, 1.0, 1.0], [-1.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    assert call(hist, [2], [True], l2=0.0, cat_smooth=0.0) == (0, -1, 2.0, 1, 1, [1])


def test_reverse_prefix_can_win():
    # Ratio order 0, 1, 2; the two largest ratios together (with the missing
    # bin) beat every forward prefix.
    hist = categories([[-1.0, 1.0, 1.0], [5.0, 1.0, 1.0], [6.0, 1.0, 1.0], [3.0, 1.0, 1.0]])
    result = call(hist, [3], [True], l2=0.0, cat_smooth=0.0, max_cat_threshold=2)
    assert result[5] == [1, 2] and result[1] == -1


def test_max_cat_threshold_limits_the_prefix_length():
    hist = categories([[-1.0, 1.0, 1.0], [5.0, 1.0, 1.0], [6.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    result = call(hist, [3], [True], l2=0.0, cat_smooth=0.0, max_cat_threshold=1)
    assert len(result[5]) == 1


def test_numeric_split_beats_an_equal_categorical_split():
    # The categorical feature's ratios ascend with the code, so its forward
    # prefixes are the numeric thresholds of the same bins: identical bits.
    rows = [[-3.0, 1.0, 2.0], [-1.0, 1.0, 2.0], [2.0, 1.0, 2.0], [5.0, 1.0, 2.0], [0.5, 1.0, 1.0]]
    hist = np.zeros((2, 5, 3))
    hist[0] = rows
    hist[1] = rows
    numeric_only = call(hist, [4, 4], [False, False], l2=0.5, cat_smooth=0.0)
    categorical_only = call(hist, [4, 4], [True, True], l2=0.5, cat_smooth=0.0)
    assert categorical_only[2] == numeric_only[2]
    assert call(hist, [4, 4], [True, False], l2=0.5, cat_smooth=0.0) == (
        1,
        numeric_only[1],
        numeric_only[2],
        numeric_only[3],
        numeric_only[4],
        None,
    )


def test_one_eligible_category_gives_no_candidate():
    hist = categories([[-5.0, 1.0, 3.0], [5.0, 1.0, 0.0], [5.0, 1.0, 0.5], [0.0, 0.0, 0.0]])
    assert call(hist, [3], [True], l2=0.0, min_data_per_group=1) is None


@pytest.mark.parametrize("min_data_per_group", [0, -4, 1])
def test_min_data_per_group_below_one_behaves_as_one(min_data_per_group):
    # The empty category has ratio 0/0; eligible, it would fail the sort.
    hist = categories([[-2.0, 1.0, 1.0], [0.0, 0.0, 0.0], [3.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    assert call(
        hist, [3], [True], l2=0.0, cat_smooth=0.0, min_data_per_group=min_data_per_group
    ) == (0, -1, 12.5, 1, 1, [0])


@pytest.mark.parametrize("max_cat_threshold", [0, -1, 5])
def test_nan_ratio_fails_even_without_candidates(panic_type, max_cat_threshold):
    hist = categories([[0.0, 0.0, 1.0], [1.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    expect_panic(
        panic_type,
        SORT_FAULT,
        hist,
        [2],
        [True],
        cat_smooth=0.0,
        max_cat_threshold=max_cat_threshold,
    )


@pytest.mark.parametrize("eligible", [2, 3, 20, 21, 40])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_any_nan_ratio_among_eligible_categories_fails(panic_type, eligible, where):
    rows = [[float(i % 7) - 3.0, 1.0, 1.0] for i in range(eligible)]
    position = {"first": 0, "middle": eligible // 2, "last": eligible - 1}[where]
    rows[position] = [NAN, 1.0, 1.0]
    hist = categories(rows + [[0.0, 0.0, 0.0]])
    expect_panic(panic_type, SORT_FAULT, hist, [eligible], [True])


def test_infinite_ratios_are_ordered():
    # Ratios +inf, -inf and 0.25: the -inf category leads the order.
    hist = categories([[1.0, -1.0, 1.0], [-1.0, -1.0, 1.0], [0.5, 1.0, 1.0], [0.0, 0.0, 0.0]])
    result = call(hist, [3], [True], l2=2.0, cat_smooth=1.0, max_cat_threshold=1)
    assert result == (0, -1, 1.875, 1, 2, [1])


def test_nan_count_makes_a_category_ineligible():
    # Eligible, its 0/0 ratio would fail the sort; its NaN also reaches the
    # right count through the totals.
    hist = categories([[0.0, 0.0, NAN], [1.0, 1.0, 1.0], [-1.0, 1.0, 1.0], [0.0, 0.0, 0.0]])
    assert call(hist, [3], [True], l2=0.0, cat_smooth=0.0) == (0, -1, 2.0, 1, 0, [2])


# --- index faults -----------------------------------------------------------


def plain_hist(n_features, n_bin_axis):
    hist = np.zeros((n_features, n_bin_axis, 3))
    hist[:, :, 0] = np.arange(n_bin_axis) % 3 - 1.0
    hist[:, :, 1] = 1.0
    hist[:, :, 2] = 1.0
    return hist


@pytest.mark.parametrize(
    "n_bins, mask, message",
    [
        ([3, 3], [False], "index out of bounds: the len is 1 but the index is 1"),
        ([3], [False, False], "index out of bounds: the len is 1 but the index is 1"),
        ([3], [True, False], "index out of bounds: the len is 1 but the index is 1"),
        ([3, 4], [False, False], HIST_INDEX_FAULT),
        ([3, -1], [False, False], HIST_INDEX_FAULT),
        ([3, 5], [False, True], HIST_INDEX_FAULT),
        ([3, -1], [False, True], HIST_INDEX_FAULT),
        ([3, 4], [False, True], HIST_INDEX_FAULT),
    ],
)
def test_index_faults(panic_type, n_bins, mask, message):
    expect_panic(panic_type, message, plain_hist(2, 4), n_bins, mask)


def test_short_mask_faults_in_the_numeric_phase_before_any_sort(panic_type):
    hist = categories([[0.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, 0.0, 0.0]], n_bin_axis=3)
    hist = np.concatenate([hist, hist])
    expect_panic(
        panic_type,
        "index out of bounds: the len is 1 but the index is 1",
        hist,
        [2, 2],
        [True],
        cat_smooth=0.0,
    )


def test_categorical_without_missing_bin_is_skipped_below_two_eligible():
    hist = plain_hist(2, 4)
    hist[1, :, 2] = [1.0, 0.0, 0.0, 0.0]
    assert call(hist, [3, 4], [False, True]) == call(hist, [3, 0], [False, True])


def test_categorical_feature_with_no_bin_axis_faults_on_three_channels(panic_type):
    expect_panic(panic_type, HIST_INDEX_FAULT, np.zeros((1, 0, 2)), [1], [True])
    assert call(np.zeros((1, 0, 2)), [1], [False]) is None


def test_faults_leave_inputs_untouched_and_references_balanced(panic_type):
    import sys

    hist = plain_hist(2, 4)
    n_bins = np.array([3, 9])
    mask = np.array([False, False])
    before = [sys.getrefcount(a) for a in (hist, n_bins, mask)]
    copy = hist.copy()
    for _ in range(50):
        with pytest.raises(panic_type):
            tn.find_best_split(hist, n_bins, 1, 1.0, mask, 1.0, 1, 8)
    assert [sys.getrefcount(a) for a in (hist, n_bins, mask)] == before
    assert np.array_equal(hist, copy)


# --- vector widths -------------------------------------------------------------


def test_two_and_four_lanes_give_the_same_bits(tmp_path):
    sources = [
        "src/split/numeric_split.cpp",
        "src/lib/cpu_features.cpp",
        "src/frame/fault.cpp",
        "src/frame/text.cpp",
    ]
    out = run_native(tmp_path, "split_lanes.cpp", sources, flags=("-O2",))
    if out == "no avx2":
        pytest.skip("the processor has no AVX2")
    assert int(out) > 1000
