"""leaf_linear_stats and leaf_linear_stats_mc against the plain Python
reference, which adds every term in leaf-row order, bit for bit."""

import math
import os

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import expect_fault, results_in_subprocess, run_native, same_bits

INF = math.inf


def assert_same_stats(got, want):
    assert len(got) == 7
    for item, (a, b) in enumerate(zip(got, want)):
        assert same_bits(a, b), f"item {item} differs:\n{a}\n{b}"


# ---------------------------------------------------------------- inputs


def strided(a, how):
    """The same values as a, viewed with a step of two elements (how 1) or
    reversed with a negative step (how 2)."""
    if how == 1:
        big = np.zeros(2 * len(a), a.dtype)
        big[::2] = a
        return big[::2]
    if how == 2:
        return a[::-1].copy()[::-1]
    return a


def embedding(rng, n_rows, d, nan_column):
    """Small integers (so ties and signed zeros occur) mixed with normals."""
    z = rng.integers(-3, 4, size=(n_rows, d)).astype(float)
    z[z == 0] *= rng.choice([1.0, -1.0], size=int((z == 0).sum()))
    z = np.where(rng.random((n_rows, d)) < 0.5, z, rng.standard_normal((n_rows, d)))
    if d:
        z[rng.random((n_rows, d)) < 0.05] = np.nan
        if nan_column:
            z[:, rng.integers(d)] = np.nan
    return z


def layout(rng, n_rows, n_order, n_leaves, n_linear, sorted_offsets):
    """order, offsets and linear; unsorted offsets give empty, decreasing
    and overlapping leaf spans."""
    order = rng.integers(0, n_rows, size=n_order).astype(np.int64)
    cuts = rng.integers(0, n_order + 1, size=n_leaves + 1)
    if sorted_offsets:
        cuts = np.sort(cuts)
        cuts[0], cuts[-1] = 0, n_order
    offsets = cuts.astype(np.int64)
    linear = (rng.integers(0, n_leaves, size=n_linear) if n_leaves else np.zeros(0)).astype(
        np.int64
    )
    return order, offsets, linear


layouts = st.fixed_dictionaries(
    {
        "seed": st.integers(0, 2**32 - 1),
        "n_rows": st.integers(1, 9),
        "d": st.integers(0, 5),
        "n_order": st.integers(0, 24),
        "n_leaves": st.integers(0, 5),
        "n_linear": st.integers(0, 6),
        "sorted_offsets": st.booleans(),
        "nan_column": st.booleans(),
        "strides": st.tuples(*[st.integers(0, 2)] * 4),
    }
)


def draw_single(p):
    rng = np.random.default_rng(p["seed"])
    z = embedding(rng, p["n_rows"], p["d"], p["nan_column"])
    grad = rng.standard_normal(p["n_rows"])
    hess = rng.random(p["n_rows"])
    order, offsets, linear = layout(
        rng,
        p["n_rows"],
        p["n_order"],
        p["n_leaves"],
        p["n_linear"] if p["n_leaves"] else 0,
        p["sorted_offsets"],
    )
    sg, sh, so, sf = p["strides"]
    return (
        z,
        strided(grad, sg),
        strided(hess, sh),
        strided(order, so),
        strided(offsets, sf),
        linear,
    )


# ---------------------------------------------------------------- single tree


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts)
def test_stats_match_reference(p):
    args = draw_single(p)
    assert_same_stats(tn.leaf_linear_stats(*args), reference.leaf_linear_stats(*args))


def test_stats_shapes_and_initial_values_of_an_empty_leaf():
    z = np.arange(6.0).reshape(3, 2)
    # Leaf 1 is empty, leaf 2 runs backwards: both read no row.
    offsets = np.array([0, 3, 3, 1])
    got = tn.leaf_linear_stats(
        z, np.ones(3), np.ones(3), np.arange(3), offsets, np.array([1, 2, 0])
    )
    assert [a.shape for a in got] == [(3,), (3,), (3, 2), (3, 2, 2), (3, 2), (3, 2), (3, 2)]
    assert all(a.dtype == np.float64 and a.flags.c_contiguous for a in got)
    assert same_bits(got[0], np.array([3.0, 0.0, 0.0]))
    for k in (0, 1):
        assert same_bits(got[2][k], np.zeros(2)) and same_bits(got[3][k], np.zeros((2, 2)))
        assert same_bits(got[5][k], np.full(2, INF)) and same_bits(got[6][k], np.full(2, -INF))
    assert same_bits(got[3][2], np.array([[20.0, 26.0], [26.0, 35.0]]))


def test_min_max_keep_the_first_of_equal_values_and_skip_nan():
    z = np.array([[0.0, np.nan], [-0.0, np.nan], [-0.0, np.nan]])
    got = tn.leaf_linear_stats(
        z, np.ones(3), np.ones(3), np.array([0, 1, 2]), np.array([0, 3]), np.array([0])
    )
    assert same_bits(got[5][0], np.array([0.0, INF]))
    assert same_bits(got[6][0], np.array([0.0, -INF]))
    assert np.isnan(got[2][0, 1]) and np.isnan(got[3][0]).sum() == 3


@pytest.mark.parametrize("d", [0, 3])
def test_no_linear_leaf_still_gives_the_totals(d):
    z = np.ones((4, d))
    got = tn.leaf_linear_stats(
        z,
        np.arange(4.0),
        np.ones(4),
        np.array([3, 2, 1, 0]),
        np.array([0, 1, 4]),
        np.zeros(0, np.int64),
    )
    assert same_bits(got[0], np.array([3.0, 3.0])) and same_bits(got[1], np.array([1.0, 3.0]))
    assert got[3].shape == (0, d, d) and got[2].shape == (0, d)


def test_width_zero_reads_neither_linear_nor_z():
    # Without columns, linear is neither checked for layout nor for leaf ids.
    linear = np.array([7, -1, 9, 3])[::2]
    got = tn.leaf_linear_stats(
        np.zeros((0, 0)), np.ones(2), np.ones(2), np.array([0, 1]), np.array([0, 2]), linear
    )
    assert same_bits(got[0], np.array([2.0]))
    assert got[3].shape == (2, 0, 0) and got[5].shape == (2, 0)


def test_rows_of_leaves_that_are_not_linear_are_not_checked_against_z():
    z = np.ones((2, 3))
    got = tn.leaf_linear_stats(
        z, np.ones(9), np.ones(9), np.array([0, 1, 8]), np.array([0, 2, 3]), np.array([0])
    )
    assert same_bits(got[0], np.array([2.0, 1.0]))


@pytest.mark.parametrize("d", [1, 2, 4, 7, 8, 9, 16, 17, 32, 33])
def test_unrolled_widths_match_reference(d):
    # Widths with their own unrolled code and their neighbours; odd leaf
    # sizes end on a single row after the pairs.
    rng = np.random.default_rng(d)
    z = embedding(rng, 40, d, False)
    order, offsets, _ = layout(rng, 40, 61, 4, 0, True)
    args = (z, rng.standard_normal(40), rng.random(40), order, offsets, np.array([0, 1, 2, 3, 1]))
    assert_same_stats(tn.leaf_linear_stats(*args), reference.leaf_linear_stats(*args))


# ---------------------------------------------------------------- multiclass


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts, st.integers(1, 3))
def test_mc_matches_reference(p, n_classes):
    rng = np.random.default_rng(p["seed"])
    n_rows, d = p["n_rows"], p["d"]
    z = embedding(rng, n_rows, d, p["nan_column"])
    grad = rng.standard_normal((n_rows, n_classes))
    hess = rng.random((n_rows, n_classes))
    order, offsets, linear = layout(
        rng,
        n_rows,
        p["n_order"],
        p["n_leaves"],
        p["n_linear"] if p["n_leaves"] else 0,
        p["sorted_offsets"],
    )
    leaf_class = rng.integers(0, n_classes, size=p["n_leaves"] + 1).astype(np.int64)
    so, sf = p["strides"][2:]
    args = (z, grad, hess, strided(order, so), strided(offsets, sf), linear, leaf_class)
    assert_same_stats(tn.leaf_linear_stats_mc(*args), reference.leaf_linear_stats_mc(*args))


@settings(max_examples=40, deadline=None)
@given(layouts)
def test_mc_with_one_class_equals_the_single_tree(p):
    z, grad, hess, order, offsets, linear = draw_single(p)
    leaf_class = np.zeros(max(len(offsets) - 1, 0), np.int64)
    got = tn.leaf_linear_stats_mc(
        z, grad[:, None].copy(), hess[:, None].copy(), order, offsets, linear, leaf_class
    )
    assert_same_stats(got, tn.leaf_linear_stats(z, grad, hess, order, offsets, linear))


def pooled_round(rng, n_rows, d, n_classes, leaves_per_tree):
    """A multiclass round: one tree per class over all rows, pooled; returns
    the pooled arguments and each tree's own single-tree arguments."""
    z = embedding(rng, n_rows, d, False)
    grad = rng.standard_normal((n_rows, n_classes))
    hess = rng.random((n_rows, n_classes))
    orders, offsets, linear, leaf_class, trees = [], [0], [], [], []
    for c in range(n_classes):
        leaf_of = rng.integers(0, leaves_per_tree, size=n_rows)
        order = np.concatenate([np.flatnonzero(leaf_of == l) for l in range(leaves_per_tree)])
        local = np.concatenate([[0], np.cumsum(np.bincount(leaf_of, minlength=leaves_per_tree))])
        lin = np.flatnonzero(rng.random(leaves_per_tree) < 0.7)
        trees.append((z, grad[:, c].copy(), hess[:, c].copy(), order, local, lin))
        linear.extend(lin + len(leaf_class))
        offsets.extend(local[1:] + offsets[-1])
        leaf_class.extend([c] * leaves_per_tree)
        orders.append(order)
    pooled = (
        z,
        grad,
        hess,
        np.concatenate(orders),
        np.array(offsets),
        np.array(linear),
        np.array(leaf_class),
    )
    return pooled, trees


def test_mc_pooled_slots_equal_each_tree_alone():
    pooled, trees = pooled_round(np.random.default_rng(5), 300, 4, 3, 5)
    got = tn.leaf_linear_stats_mc(*pooled)
    leaf0 = slot0 = 0
    for tree in trees:
        want = tn.leaf_linear_stats(*tree)
        n_leaves, n_lin = len(tree[4]) - 1, len(tree[5])
        for item in (0, 1):
            assert same_bits(got[item][leaf0 : leaf0 + n_leaves], want[item])
        for item in range(2, 7):
            assert same_bits(got[item][slot0 : slot0 + n_lin], want[item])
        leaf0, slot0 = leaf0 + n_leaves, slot0 + n_lin


def test_mc_without_slots_reads_leaf_class_through_its_strides():
    leaf_class = np.array([1, 9, 0, 9])[::2]
    for z, linear in (
        (np.ones((3, 2)), np.zeros(0, np.int64)),
        (np.ones((3, 0)), np.array([5, 6, 7])[::2]),
    ):
        got = tn.leaf_linear_stats_mc(
            z,
            np.arange(6.0).reshape(3, 2),
            np.ones((3, 2)),
            np.array([0, 2, 1]),
            np.array([0, 2, 3]),
            linear,
            leaf_class,
        )
        assert same_bits(got[0], np.array([6.0, 2.0]))


# ---------------------------------------------------------------- branches and threads


def threshold_case(n_order, d, n_classes=None):
    """Two or more linear leaves over n_order listed rows (d * n_order decides the branch)."""
    rng = np.random.default_rng(n_order * 7 + d)
    n_rows = 5000
    z = embedding(rng, n_rows, d, False)
    order, offsets, _ = layout(rng, n_rows, n_order, 6, 0, True)
    linear = np.array([5, 0, 3, 1, 3], np.int64)
    if n_classes is None:
        return (z, rng.standard_normal(n_rows), rng.random(n_rows), order, offsets, linear)
    return (
        z,
        rng.standard_normal((n_rows, n_classes)),
        rng.random((n_rows, n_classes)),
        order,
        offsets,
        linear,
        rng.integers(0, n_classes, 6).astype(np.int64),
    )


@pytest.mark.parametrize("n_order, d", [(65535, 1), (65536, 1), (16383, 4), (16384, 4)])
def test_both_branches_match_reference(n_order, d):
    args = threshold_case(n_order, d)
    assert_same_stats(tn.leaf_linear_stats(*args), reference.leaf_linear_stats(*args))
    mc = threshold_case(n_order, d, n_classes=2)
    assert_same_stats(tn.leaf_linear_stats_mc(*mc), reference.leaf_linear_stats_mc(*mc))


def test_one_linear_leaf_over_the_threshold_matches_reference():
    z, grad, hess, order, offsets, _ = threshold_case(40000, 3)
    args = (z, grad, hess, order, offsets, np.array([2]))
    assert_same_stats(tn.leaf_linear_stats(*args), reference.leaf_linear_stats(*args))


THREAD_SCRIPT = f"""
import sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import numpy as np, tarnwick_native as tn
from test_linear_leaf import threshold_case
result = []
for n_order, d in ((16383, 4), (16384, 4), (30000, 16)):
    result.append([a.tobytes() for a in tn.leaf_linear_stats(*threshold_case(n_order, d))])
    mc = threshold_case(n_order, d, n_classes=3)
    result.append([a.tobytes() for a in tn.leaf_linear_stats_mc(*mc)])
"""


def test_same_bytes_for_any_thread_count():
    here = [
        [a.tobytes() for a in tn.leaf_linear_stats(*threshold_case(n, d))]
        for n, d in ((16383, 4), (16384, 4), (30000, 16))
    ]
    runs = {t: results_in_subprocess(THREAD_SCRIPT, threads=t) for t in (1, 2, 5)}
    assert runs[1] == runs[2] == runs[5]
    assert runs[1][0::2] == here


# ---------------------------------------------------------------- vector widths


def test_two_and_four_lanes_give_the_same_bits(tmp_path):
    sources = [
        "src/linear_leaf/accumulate_span.cpp",
        "src/lib/cpu_features.cpp",
        "src/frame/fault.cpp",
        "src/frame/text.cpp",
    ]
    out = run_native(tmp_path, "span_lanes.cpp", sources)
    if out == "no avx2":
        pytest.skip("the processor has no AVX2")
    assert int(out) > 10000


# ---------------------------------------------------------------- faults


def single_args(**change):
    args = dict(
        z=np.arange(8.0).reshape(4, 2),
        grad=np.ones(4),
        hess=np.ones(4),
        order=np.array([0, 1, 2, 3]),
        offsets=np.array([0, 2, 4]),
        linear=np.array([1, 0]),
    )
    args.update(change)
    return args


def mc_args(**change):
    args = dict(
        z=np.arange(8.0).reshape(4, 2),
        grad=np.ones((4, 2)),
        hess=np.ones((4, 2)),
        order=np.array([0, 1, 2, 3]),
        offsets=np.array([0, 2, 4]),
        linear=np.array([1, 0]),
        leaf_class=np.array([0, 1]),
    )
    args.update(change)
    return args


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


SINGLE_FAULTS = [
    ("z column-major", dict(z=np.asfortranarray(np.ones((4, 2)))), "Z must be C-contiguous"),
    ("empty offsets", dict(offsets=np.zeros(0, np.int64)), "offsets must hold at least one entry"),
    (
        "strided linear",
        dict(linear=np.array([1, 9, 0])[::2]),
        "linear indices must be C-contiguous",
    ),
    ("position past order", dict(offsets=np.array([0, 2, 5])), oob(4, 4)),
    ("negative start", dict(offsets=np.array([-1, 2, 4])), oob(4, 2**64 - 1)),
    ("row past grad", dict(grad=np.ones(3)), oob(3, 3)),
    ("row past hess", dict(hess=np.ones(2)), oob(2, 2)),
    ("negative row", dict(order=np.array([0, -2, 2, 3])), oob(4, 2**64 - 2)),
    ("row past z", dict(z=np.ones((3, 2))), "range end index 8 out of range for slice of length 6"),
    ("leaf past offsets", dict(linear=np.array([0, 2])), oob(3, 3)),
    ("negative leaf", dict(linear=np.array([-1])), oob(3, 2**64 - 1)),
    # The totals come first: their fault wins over the layout of linear.
    ("totals before linear", dict(grad=np.ones(1), linear=np.array([1, 9, 0])[::2]), oob(1, 1)),
    # Every size is checked before the first slot: 2 * 2**31 * 2**31 cells.
    (
        "gram cells overflow",
        dict(z=np.zeros((0, 2**31)), order=np.zeros(0, np.int64), offsets=np.array([0])),
        "capacity overflow",
    ),
    (
        "gram bytes overflow",
        dict(
            z=np.zeros((0, 2**31)),
            order=np.zeros(0, np.int64),
            offsets=np.array([0]),
            linear=np.array([0]),
        ),
        "capacity overflow",
    ),
]


MC_FAULTS = [
    (
        "z column-major",
        dict(z=np.asfortranarray(np.ones((4, 2))), grad=np.ones((4, 2), order="F")),
        "Z must be C-contiguous",
    ),
    (
        "grad column-major",
        dict(grad=np.ones((4, 2), order="F"), hess=np.ones((4, 2), order="F")),
        "grad must be C-contiguous",
    ),
    ("hess column-major", dict(hess=np.ones((4, 2), order="F")), "hess must be C-contiguous"),
    ("hess shape", dict(hess=np.ones((2, 4))), "hess must have the same shape as grad"),
    ("empty offsets", dict(offsets=np.zeros(0, np.int64)), "offsets must hold at least one entry"),
    # Leaf 2 is empty and not linear, yet needs a class entry.
    (
        "leaf_class short",
        dict(offsets=np.array([0, 2, 4, 4]), leaf_class=np.array([0, 1])),
        oob(2, 2),
    ),
    (
        "class too large",
        dict(leaf_class=np.array([0, 2])),
        "leaf_class entry 2 is not a class id below n_classes = 2",
    ),
    (
        "negative class",
        dict(leaf_class=np.array([-1, 0])),
        "leaf_class entry -1 is not a class id below n_classes = 2",
    ),
    ("row past grad", dict(grad=np.ones((3, 2)), hess=np.ones((3, 2))), oob(3, 3)),
    # Row id 2**63 times two classes wraps to the flat index of row 0: it must
    # fail on the row count instead of reading row 0's values.
    ("wrapping row id", dict(order=np.array([0, -(2**63), 2, 3])), oob(4, 2**63)),
    ("strided linear", dict(linear=np.array([1, 9, 0])[::2]), "linear indices C-contiguous"),
    ("strided leaf_class", dict(leaf_class=np.array([0, 9, 1])[::2]), "leaf_class C-contiguous"),
    (
        "linear before leaf_class",
        dict(linear=np.array([1, 9, 0])[::2], leaf_class=np.array([0, 9, 1])[::2]),
        "linear indices C-contiguous",
    ),
    (
        "totals before layout",
        dict(grad=np.ones((1, 2)), hess=np.ones((1, 2)), leaf_class=np.array([0, 9, 1])[::2]),
        oob(1, 1),
    ),
    (
        "linear leaf past leaf_class",
        dict(offsets=np.array([0, 2, 4, 4]), leaf_class=np.array([0, 1, 0]), linear=np.array([3])),
        oob(3, 3),
    ),
    (
        "linear leaf past offsets",
        dict(leaf_class=np.array([0, 1, 0]), linear=np.array([2])),
        oob(3, 3),
    ),
    ("row past z", dict(z=np.ones((3, 2))), "range end index 8 out of range for slice of length 6"),
    (
        "gram cells overflow",
        dict(
            z=np.zeros((0, 2**31)),
            order=np.zeros(0, np.int64),
            offsets=np.array([0]),
            leaf_class=np.zeros(0, np.int64),
        ),
        "capacity overflow",
    ),
]


FAULTS = [("leaf_linear_stats", single_args, *f) for f in SINGLE_FAULTS] + [
    ("leaf_linear_stats_mc", mc_args, *f) for f in MC_FAULTS
]


@pytest.mark.parametrize(
    "function, args, name, change, message", FAULTS, ids=[f"{f[0]}-{f[2]}" for f in FAULTS]
)
def test_faults(panic_type, function, args, name, change, message):
    expect_fault(panic_type, message, function, **args(**change))
    # A fault leaves nothing behind: the same function on sound input still
    # matches the reference.
    want = getattr(reference, function)(*args().values())
    assert_same_stats(getattr(tn, function)(**args()), want)


def test_wrong_class_in_an_empty_leaf_reads_nothing():
    # The class of a leaf without rows is never used to read, so it is not checked.
    got = tn.leaf_linear_stats_mc(
        **mc_args(
            offsets=np.array([0, 4, 4, 2]),
            leaf_class=np.array([0, 7, -3]),
            linear=np.zeros(0, np.int64),
        )
    )
    assert same_bits(got[0], np.array([4.0, 0.0, 0.0]))


def test_fault_in_a_parallel_slot_ends_the_call(panic_type):
    z, grad, hess, order, offsets, _ = threshold_case(30000, 4)
    with pytest.raises(panic_type) as info:
        tn.leaf_linear_stats(z, grad, hess, order, offsets, np.array([0, 1, 6, 2]))
    assert str(info.value) == oob(7, 7)
