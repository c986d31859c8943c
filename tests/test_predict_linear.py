"""predict_linear against a plain Python reference that adds each row's terms
in column order from the bias, bit for bit."""

import os

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import given, settings
from hypothesis import strategies as st
from support import expect_fault, results_in_subprocess, same_bits


def tables(rng, n, d, n_leaves, extra_rows=0):
    """Arguments with bounds that bracket part of z, some values on the bounds."""
    z = rng.standard_normal((n + extra_rows, d))
    z[rng.random(z.shape) < 0.03] = np.nan
    leaf_idx = rng.integers(0, n_leaves, size=n).astype(np.int64)
    a = rng.standard_normal((n_leaves, d))
    b = rng.standard_normal((n_leaves, d))
    z_min, z_max = np.minimum(a, b), np.maximum(a, b)
    if n and d:
        z[0] = z_min[leaf_idx[0]]
        z_min[rng.random(z_min.shape) < 0.1] = -0.0
        z_max[z_max < z_min] = 0.0
    return (
        leaf_idx,
        z,
        rng.standard_normal(n_leaves),
        rng.standard_normal((n_leaves, d)),
        z_min,
        z_max,
    )


@settings(max_examples=80, deadline=None)
@given(
    st.integers(0, 2**32 - 1),
    st.integers(0, 23),
    st.integers(0, 9),
    st.integers(1, 5),
    st.integers(0, 3),
    st.booleans(),
)
def test_matches_reference(seed, n, d, n_leaves, extra_rows, clip):
    args = tables(np.random.default_rng(seed), n, d, n_leaves, extra_rows)
    assert same_bits(tn.predict_linear(*args, clip), reference.predict_linear(*args, clip))


@pytest.mark.parametrize("d", [1, 7, 8, 16, 32, 33])
@pytest.mark.parametrize("clip", [False, True])
def test_unrolled_widths_match_reference(d, clip):
    args = tables(np.random.default_rng(d), 203, d, 6)
    assert same_bits(tn.predict_linear(*args, clip), reference.predict_linear(*args, clip))


def test_empty_and_zero_width():
    bias = np.array([1.5, -2.0, 0.25])
    empty = tn.predict_linear(
        np.zeros(0, np.int64),
        np.zeros((0, 3)),
        bias,
        np.zeros((3, 3)),
        np.zeros((3, 3)),
        np.zeros((3, 3)),
        True,
    )
    assert empty.dtype == np.float64 and empty.shape == (0,)
    leaf_idx = np.array([2, 0, 1, 2, 2, 1])
    for clip in (False, True):
        got = tn.predict_linear(
            leaf_idx,
            np.zeros((6, 0)),
            bias,
            np.zeros((3, 0)),
            np.zeros((0, 0)),
            np.zeros((0, 0)),
            clip,
        )
        assert same_bits(got, bias[leaf_idx])


def test_bounds_are_not_read_without_clip():
    leaf_idx = np.array([0, 1, 1, 0, 1])
    z = np.arange(10.0).reshape(5, 2)
    weights = np.array([[1.0, -1.0], [0.5, 2.0]])
    # Too short, reversed and NaN: none of it matters when clip is off.
    bad = np.array([[np.nan, 3.0]])
    got = tn.predict_linear(leaf_idx, z, np.zeros(2), weights, bad, -bad, False)
    assert same_bits(
        got, reference.predict_linear(leaf_idx, z, np.zeros(2), weights, bad, -bad, False)
    )


@pytest.mark.parametrize("d", [1, 3, 8, 16, 32])
def test_values_on_a_bound_are_used_as_they_are(d):
    # -0.0 equals the bound 0.0, so it stays -0.0 and the sum of -0.0 terms
    # stays -0.0, where the bound itself would give +0.0. Six rows: a block
    # of four and a tail; rows 1 and 4 hold one +0.0.
    z = np.full((6, d), -0.0)
    z[1, 0] = z[4, d - 1] = 0.0
    args = (
        np.zeros(6, np.int64),
        z,
        np.array([-0.0]),
        np.ones((1, d)),
        np.zeros((1, d)),
        np.zeros((1, d)),
    )
    want = np.array([-0.0, 0.0, -0.0, -0.0, 0.0, -0.0])
    assert same_bits(tn.predict_linear(*args, True), want)
    assert same_bits(tn.predict_linear(*args, False), want)


def test_clip_clamps_and_nan_stays_nan():
    z = np.array([[-5.0, 5.0], [np.nan, 0.5]])
    args = (
        np.array([0, 0]),
        z,
        np.zeros(1),
        np.ones((1, 2)),
        np.array([[-1.0, 0.0]]),
        np.array([[1.0, 2.0]]),
    )
    got = tn.predict_linear(*args, True)
    assert got[0] == 1.0 and np.isnan(got[1])
    assert np.isnan(tn.predict_linear(*args, False)[1])


@pytest.mark.parametrize("n, d", [(65535, 1), (65536, 1), (13107, 5), (16384, 4)])
@pytest.mark.parametrize("clip", [False, True])
def test_both_branches_match_reference(n, d, clip):
    args = tables(np.random.default_rng(n + d), n, d, 31)
    assert same_bits(tn.predict_linear(*args, clip), reference.predict_linear(*args, clip))


THREAD_SCRIPT = f"""
import sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import numpy as np, tarnwick_native as tn
from test_predict_linear import tables
result = [tn.predict_linear(*tables(np.random.default_rng(n), n, d, 31), clip).tobytes()
          for n, d in ((16383, 4), (16384, 4), (50001, 16)) for clip in (False, True)]
"""


def test_same_bytes_for_any_thread_count():
    runs = {t: results_in_subprocess(THREAD_SCRIPT, threads=t) for t in (1, 2, 5)}
    assert runs[1] == runs[2] == runs[5]
    here = tn.predict_linear(*tables(np.random.default_rng(50001), 50001, 16, 31), True)
    assert runs[1][-1] == here.tobytes()


# ---------------------------------------------------------------- faults


def good_args(**change):
    args = dict(
        leaf_idx=np.array([1, 0, 1, 1, 0]),
        z=np.arange(10.0).reshape(5, 2),
        bias=np.array([0.5, -1.0]),
        weights=np.array([[1.0, 2.0], [3.0, -4.0]]),
        z_min=np.array([[0.0, 1.0], [2.0, 3.0]]),
        z_max=np.array([[9.0, 8.0], [7.0, 6.0]]),
        clip=True,
    )
    args.update(change)
    return args


def fortran(a):
    return np.asfortranarray(np.repeat(np.repeat(a, 2, 0), 2, 1))


CONTIGUITY = [
    ("leaf_idx", "leaf_idx must be C-contiguous"),
    ("z", "Z must be C-contiguous"),
    ("bias", "bias must be C-contiguous"),
    ("weights", "weights must be C-contiguous"),
    ("z_min", "z_min must be C-contiguous"),
    ("z_max", "z_max must be C-contiguous"),
]


@pytest.mark.parametrize("first", range(len(CONTIGUITY)))
@pytest.mark.parametrize("clip", [False, True])
def test_contiguity_checked_in_argument_order(panic_type, first, clip):
    change = {"clip": clip}
    for name, _ in CONTIGUITY[first:]:
        a = good_args()[name]
        change[name] = np.repeat(a, 2)[::2] if a.ndim == 1 else fortran(a)
    with pytest.raises(panic_type) as info:
        tn.predict_linear(**good_args(**change))
    assert str(info.value) == CONTIGUITY[first][1]
    assert same_bits(
        tn.predict_linear(**good_args()), reference.predict_linear(*good_args().values())
    )


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def range_end(end, length):
    return f"range end index {end} out of range for slice of length {length}"


GUARD = "min > max, or either was NaN. min = {}, max = {}"

FAULTS = [
    ("z short", dict(z=np.ones((4, 2))), range_end(10, 8)),
    ("negative leaf", dict(leaf_idx=np.array([1, -1, 0, 0, 0])), range_end(2**64 - 1, 4)),
    # Without columns every slice is empty and inside: the bias catches the leaf.
    *[
        (
            f"negative leaf without columns, clip={clip}",
            dict(
                leaf_idx=np.array([1, -1, 0, 0, 0]),
                z=np.zeros((5, 0)),
                weights=np.zeros((2, 0)),
                z_min=np.zeros((2, 0)),
                z_max=np.zeros((2, 0)),
                clip=clip,
            ),
            oob(2, 2**64 - 1),
        )
        for clip in (False, True)
    ],
    ("weights short", dict(weights=np.ones((1, 2))), range_end(4, 2)),
    ("bias short", dict(bias=np.array([0.5])), oob(1, 1)),
    ("z_min short", dict(z_min=np.ones((1, 2))), range_end(4, 2)),
    ("z_max short", dict(z_max=np.ones((1, 2))), range_end(4, 2)),
    ("min above max", dict(z_max=np.array([[9.0, 8.0], [7.0, 2.5]])), GUARD.format("3.0", "2.5")),
    ("nan min", dict(z_min=np.array([[0.0, 1.0], [np.nan, 3.0]])), GUARD.format("NaN", "7.0")),
    ("nan max", dict(z_max=np.array([[9.0, 8.0], [7.0, np.nan]])), GUARD.format("3.0", "NaN")),
    (
        "never seen",
        dict(
            z_min=np.array([[0.0, 1.0], [np.inf, 3.0]]),
            z_max=np.array([[9.0, 8.0], [-np.inf, 6.0]]),
        ),
        GUARD.format("inf", "-inf"),
    ),
    (
        "small numbers",
        dict(z_min=np.array([[0.0, 1.0], [1e-5, 3.0]]), z_max=np.array([[9.0, 8.0], [1e-6, 6.0]])),
        GUARD.format("1e-5", "1e-6"),
    ),
    (
        "large numbers",
        dict(
            z_min=np.array([[0.0, 1.0], [1e16, 3.0]]), z_max=np.array([[9.0, 8.0], [123456.5, 6.0]])
        ),
        GUARD.format("1e16", "123456.5"),
    ),
]


@pytest.mark.parametrize("name, change, message", FAULTS, ids=[f[0] for f in FAULTS])
def test_faults(panic_type, name, change, message):
    expect_fault(panic_type, message, "predict_linear", **good_args(**change))
    assert same_bits(
        tn.predict_linear(**good_args()), reference.predict_linear(*good_args().values())
    )


def test_bounds_of_leaves_not_reached_are_not_checked():
    # Leaf 2's bounds are reversed, but no row lands in leaf 2.
    args = good_args(
        bias=np.zeros(3),
        weights=np.ones((3, 2)),
        z_min=np.array([[0.0, 1.0], [2.0, 3.0], [5.0, 5.0]]),
        z_max=np.array([[9.0, 8.0], [7.0, 6.0], [1.0, 1.0]]),
    )
    assert same_bits(tn.predict_linear(**args), reference.predict_linear(*args.values()))


@pytest.mark.parametrize("n", [8, 70000])
def test_first_failure_in_row_order_is_reported(panic_type, n):
    # Row 5 fails its guard at column 1, row 6 at column 0 and row 7 has a
    # leaf past the tables: row 5's failure is the one reported, although
    # rows are computed several at a time. All three lie in the first chunk
    # of the parallel branch, whose rows run in order.
    z_min = np.array([[0.0, 0.0], [0.0, 2.0], [4.0, 0.0]])
    z_max = np.array([[1.0, 1.0], [1.0, 1.0], [3.0, 1.0]])
    leaf_idx = np.zeros(n, np.int64)
    leaf_idx[5:8] = [1, 2, 3]
    with pytest.raises(panic_type) as info:
        tn.predict_linear(
            leaf_idx, np.zeros((n, 2)), np.zeros(4), np.zeros((4, 2)), z_min, z_max, True
        )
    assert str(info.value) == GUARD.format("2.0", "1.0")
