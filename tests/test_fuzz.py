"""Property-based fuzzing of the seven functions.

Random shapes (zero-length axes included), layouts (offsets, steps, negative
steps, transposes, misaligned buffers, read-only views), NaN and infinities,
out-of-range and negative indices, wrong argument types and huge sizes. Every
call must return what the function's reference (tests/reference.py) computes,
bit for bit, or raise the exception the reference predicts: TypeError or
OverflowError for an argument, MemoryError for a buffer that cannot be had,
PanicException with the reference's message for a broken invariant. The most
crash-prone inputs (extreme indices, impossible sizes, misaligned memory,
cyclic trees) run in a child interpreter, whose exit status tells whether one
of them brought the process down.

Example counts are modest by default; TARNWICK_LONG_FUZZ=1 raises them to a few
thousand per function (scripts/sanitize.sh sets it).
"""

import inspect
import math
import os
import subprocess
import sys

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from reference import I64_MAX, Fault
from support import same_bits

LONG = os.environ.get("TARNWICK_LONG_FUZZ") == "1"
IN_CHILD = os.environ.get("TARNWICK_FUZZ_CHILD") == "1"
FUZZ = settings(
    max_examples=1500 if LONG else 60,
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)
NAN, INF = math.nan, math.inf


# ---------------------------------------------------------------- inputs


def arrange(values, steps, order, pad, misalign, readonly):
    """values in a fresh buffer: logical axis order[k] is storage axis k,
    stepped by steps[axis], with pad spare elements per axis, optionally one
    byte off alignment."""
    shape = values.shape
    store_shape = [shape[ax] * abs(steps[ax]) + pad for ax in order]
    raw = np.zeros(math.prod(store_shape) * values.itemsize + 1, np.uint8)
    store = np.ndarray(store_shape, values.dtype, buffer=raw, offset=1 if misalign else 0)
    view = store[tuple(slice(None, None, steps[ax]) for ax in order)]
    view = view[tuple(slice(0, shape[ax]) for ax in order)].transpose(np.argsort(order))
    view[...] = values
    view.flags.writeable = not readonly
    return view


@st.composite
def laid_out(draw, values, wild, odd=4):
    """values, row-major but for one time in `odd`: then offset, stepped,
    reversed or transposed (arrays that must be C-contiguous use a larger odd)."""
    nd = values.ndim
    if draw(st.integers(1, odd)) > 1:
        steps, order, pad = (1,) * nd, tuple(range(nd)), 0
    else:
        steps = tuple(draw(st.sampled_from([1, 2, -1, -2])) for _ in range(nd))
        order = tuple(draw(st.permutations(range(nd))))
        pad = draw(st.integers(0, 1))
    misalign = wild and draw(st.booleans())
    return arrange(values, steps, order, pad, misalign, draw(st.booleans()))


def huge(dtype, length=2**40):
    """A read-only array of `length` equal elements in one element of memory."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), (length,), (0,), writeable=False)


FINITE = st.one_of(
    st.integers(-4, 4).map(float),
    st.sampled_from([0.5, -0.25, -0.0, 1e-300, 1e300]),
    st.floats(-1e6, 1e6),
)
SPECIAL = st.sampled_from([NAN, INF, -INF])
# Arrays that must be C-contiguous get an unusual layout this rarely.
STRICT = 12
EXTREME_INDICES = st.sampled_from([-(2**63), -1, 2**31, 2**62, I64_MAX])


@st.composite
def floats(draw, shape, wild, odd=4):
    special = draw(st.integers(0, 3)) == 0
    values = draw(
        hnp.arrays(np.float64, shape, elements=st.one_of(FINITE, SPECIAL) if special else FINITE)
    )
    return draw(laid_out(values, wild, odd))


def near(n, draw):
    """n, or now and then one more or one less (never negative)."""
    return max(0, n + (draw(st.sampled_from([-1, 1])) if draw(st.integers(0, 9)) == 0 else 0))


@st.composite
def indices(draw, length, n, wild, odd=4):
    """int64 indices into a sequence of n: valid, or in some arrays also just
    outside it and negative; extremes in wild mode."""
    choices = [st.integers(0, n - 1)] if n else []
    if not n or draw(st.integers(0, 9)) == 0:
        choices.append(st.integers(-2, n + 1))
    if wild:
        choices.append(EXTREME_INDICES)
    values = draw(hnp.arrays(np.int64, length, elements=st.one_of(choices)))
    return draw(laid_out(values, wild, odd)) if odd else values


def small(n, wild, extremes):
    return st.one_of(st.just(n), st.sampled_from(extremes)) if wild else st.just(n)


@st.composite
def histogram_case(draw, wild):
    n_features, n_rows = draw(st.integers(0, 3)), draw(st.integers(0, 8))
    n_bins_max = draw(
        st.integers(0, 6).flatmap(lambda n: small(n, wild, [2**43, 2**61, 2**63, 2**64 - 1]))
    )
    top = min(n_bins_max, 65535)
    if draw(st.integers(0, 7)):
        top = max(top - 1, 0)
    codes = draw(hnp.arrays(np.uint16, (n_features, n_rows), elements=st.integers(0, top)))
    rows = draw(indices(draw(st.integers(0, 10)), n_rows, wild))
    if wild and n_features == 0 and draw(st.booleans()):
        rows = huge(np.int64)
    return (
        draw(laid_out(codes, wild, STRICT)),
        rows,
        draw(floats(near(n_rows, draw), wild)),
        draw(floats(near(n_rows, draw), wild)),
        n_bins_max,
    )


@st.composite
def partition_case(draw, wild):
    n_features, n_rows = draw(st.integers(0, 3)), draw(st.integers(0, 8))
    missing_bin = draw(st.one_of(st.integers(0, 6), st.just(65535)))
    top = min(missing_bin + (draw(st.integers(0, 7)) == 0), 65535)
    codes = draw(hnp.arrays(np.uint16, (n_features, n_rows), elements=st.integers(0, top)))
    feature = draw(
        st.integers(0, max(n_features - 1, 0))
        if draw(st.integers(0, 7))
        else st.integers(0, n_features + 1)
    )
    feature = draw(small(feature, wild, [2**63, 2**64 - 1]))
    bin = draw(st.integers(-2, 8).flatmap(lambda b: small(b, wild, [-(2**63), I64_MAX])))
    categories = None
    if draw(st.booleans()):
        values = draw(
            hnp.arrays(np.int64, draw(st.integers(0, 5)), elements=st.integers(-3, missing_bin + 2))
        )
        categories = draw(laid_out(values, wild))
    rows = draw(indices(draw(st.integers(0, 10)), n_rows, wild))
    if wild and draw(st.integers(0, 3)) == 0:
        rows = huge(np.int64)
    return draw(laid_out(codes, wild, STRICT)), rows, feature, bin, categories, missing_bin


@st.composite
def split_case(draw, wild):
    n_f, n_b = draw(st.integers(0, 3)), draw(st.integers(0, 7))
    n_c = 3 if draw(st.integers(0, 7)) else draw(st.integers(0, 5))
    special = draw(st.integers(0, 3)) == 0
    counts = st.integers(0, 5).map(float)
    elements = st.one_of(counts, st.integers(-4, 4).map(float), *([SPECIAL] if special else []))
    hist = draw(laid_out(draw(hnp.arrays(np.float64, (n_f, n_b, n_c), elements=elements)), wild))
    bins = st.integers(0, max(n_b - 1, 0)) if draw(st.integers(0, 7)) else st.integers(-2, n_b + 1)
    n_bins = draw(
        hnp.arrays(
            np.int64,
            near(n_f, draw),
            elements=st.one_of(bins, *([EXTREME_INDICES] if wild else [])),
        )
    )
    mask = draw(hnp.arrays(np.bool_, near(n_f, draw)))
    ints = st.integers(-1, 4).flatmap(lambda v: small(v, wild, [-(2**63), I64_MAX]))
    reals = st.one_of(st.sampled_from([0.0, 1.0, 0.5, 10.0]), FINITE, SPECIAL)
    return (
        hist,
        draw(laid_out(n_bins, wild)),
        draw(ints),
        draw(reals),
        draw(laid_out(mask, wild)),
        draw(reals),
        draw(ints),
        draw(ints),
    )


@st.composite
def tree_case(draw, wild):
    n_rows, n_cols = draw(st.integers(0, 6)), draw(st.integers(0, 4))
    if wild and draw(st.integers(0, 7)) == 0:
        n_rows, n_cols = 2**40, 0
    n_nodes = draw(st.integers(1, 7))
    proper = draw(st.integers(0, 5)) > 0
    feature, threshold, left, right, leaf_id, missing_left, cats = [], [], [], [], [], [], []
    for i in range(n_nodes):
        is_leaf = i == n_nodes - 1 or draw(st.integers(0, 2)) == 0
        leaf_id.append(draw(st.integers(0, 9)) if is_leaf else draw(st.integers(-3, -1)))
        children = (
            st.integers(i + 1, n_nodes - 1)
            if proper and i + 1 < n_nodes
            else st.integers(-1, n_nodes)
        )
        left.append(draw(children))
        right.append(draw(children))
        columns = st.integers(0, n_cols - 1) if proper and n_cols else st.integers(-1, n_cols)
        feature.append(draw(columns))
        threshold.append(draw(st.one_of(FINITE, SPECIAL)))
        missing_left.append(draw(st.booleans()))
        codes = st.one_of(st.integers(0, 3).map(float), SPECIAL)
        cats.append(draw(st.lists(codes, max_size=3)) if draw(st.integers(0, 2)) == 0 else [])
    offsets = np.cumsum([0] + [len(c) for c in cats]).astype(np.int64)
    if not proper:
        offsets = draw(
            hnp.arrays(
                np.int64, near(n_nodes + 1, draw), elements=st.integers(-1, len(offsets) + 1)
            )
        )
    values = np.array([v for c in cats for v in c], np.float64)
    if n_rows == 2**40:
        x = np.zeros((n_rows, n_cols))
    else:
        x = draw(floats((n_rows, n_cols), wild, STRICT))
    arrays = [
        np.array(feature, np.int32),
        np.array(threshold),
        np.array(left, np.int32),
        np.array(right, np.int32),
        np.array(leaf_id, np.int32),
        np.array(missing_left, np.bool_),
        offsets,
        values,
    ]
    if not proper:
        arrays = [a[: near(len(a), draw)] for a in arrays]
    return (x, *[draw(laid_out(a, wild, STRICT)) for a in arrays])


@st.composite
def leaf_layout(draw, n_rows, wild):
    """order, offsets and linear of a few leaves over n_rows rows."""
    n_leaves = draw(st.integers(0, 4))
    order = draw(indices(draw(st.integers(0, 8)), n_rows, wild, odd=0))
    cuts = sorted(draw(st.lists(st.integers(0, len(order)), min_size=n_leaves, max_size=n_leaves)))
    offsets = np.array([0] + cuts, np.int64)
    if draw(st.integers(0, 7)) == 0:
        offsets = draw(hnp.arrays(np.int64, n_leaves + 1, elements=st.integers(-2, len(order) + 2)))
    linear = draw(indices(draw(st.integers(0, 4)), n_leaves, wild, odd=0))
    order, offsets = (draw(laid_out(a, wild)) for a in (order, offsets))
    linear = draw(laid_out(linear, wild, STRICT))
    if wild:
        which = draw(st.sampled_from(["none", "order", "offsets", "linear"]))
        if which == "order":
            order = huge(np.int64)
        elif which == "offsets":
            offsets = huge(np.int64)
        elif which == "linear":
            linear = huge(np.int64)
    return order, offsets, linear, n_leaves


def embedding(draw, n_rows, wild):
    if wild and draw(st.integers(0, 5)) == 0:
        return np.zeros((0, draw(st.sampled_from([2**20, 2**32, 2**40]))))
    return draw(floats((n_rows, draw(st.integers(0, 3))), wild, STRICT))


@st.composite
def stats_case(draw, wild):
    n_rows = draw(st.integers(0, 6))
    z = embedding(draw, n_rows, wild)
    order, offsets, linear, _ = draw(leaf_layout(n_rows, wild))
    return (
        z,
        draw(floats(near(n_rows, draw), wild)),
        draw(floats(near(n_rows, draw), wild)),
        order,
        offsets,
        linear,
    )


@st.composite
def stats_mc_case(draw, wild):
    n_rows, n_classes = draw(st.integers(0, 6)), draw(st.integers(1, 3))
    if draw(st.integers(0, 7)) == 0:
        n_classes = 0
    z = embedding(draw, n_rows, wild)
    order, offsets, linear, n_leaves = draw(leaf_layout(n_rows, wild))
    classes = draw(indices(near(n_leaves, draw), n_classes, wild, STRICT))
    grad = draw(floats((n_rows, n_classes), wild, STRICT))
    shape = (n_rows, n_classes) if draw(st.integers(0, 7)) else (near(n_rows, draw), n_classes)
    return z, grad, draw(floats(shape, wild, STRICT)), order, offsets, linear, classes


@st.composite
def predict_case(draw, wild):
    n, d, n_leaves = draw(st.integers(0, 6)), draw(st.integers(0, 3)), draw(st.integers(0, 4))
    leaf_idx = draw(indices(n, n_leaves, wild, STRICT))
    z = draw(floats((near(n, draw) + draw(st.integers(0, 1)), d), wild, STRICT))
    a, b = (
        draw(hnp.arrays(np.float64, (n_leaves, d), elements=st.one_of(FINITE, SPECIAL)))
        for _ in range(2)
    )
    low, high = np.fmin(a, b), np.fmax(a, b)
    if draw(st.integers(0, 3)):
        low, high = np.nan_to_num(low, nan=-1.0), np.nan_to_num(high, nan=1.0)
    else:
        low, high = a, b
    tables = [
        draw(floats(near(n_leaves, draw), wild, STRICT)),
        draw(floats((near(n_leaves, draw), d), wild, STRICT)),
        draw(laid_out(low[: near(n_leaves, draw)], wild, STRICT)),
        draw(laid_out(high[: near(n_leaves, draw)], wild, STRICT)),
    ]
    return (leaf_idx, z, *tables, draw(st.booleans()))


# Each function's drawn arguments; its reference is the function of the same
# name in tests/reference.py.
CASES = {
    "build_histograms": histogram_case,
    "partition_rows": partition_case,
    "find_best_split": split_case,
    "leaf_linear_stats": stats_case,
    "leaf_linear_stats_mc": stats_mc_case,
    "predict_linear": predict_case,
    "apply_tree": tree_case,
}
NAMES = list(CASES)


# ---------------------------------------------------------------- properties


def parameter_names(name):
    return list(inspect.signature(getattr(tn, name)).parameters)


def reference_outcome(name, args):
    try:
        return "value", getattr(reference, name)(*args)
    except Fault as fault:
        return "panic", fault.messages
    except MemoryError:
        return "memory", None


def module_outcome(call):
    try:
        return "value", call()
    except MemoryError:
        return "memory", None
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if type(exc).__name__ != "PanicException" or isinstance(exc, Exception):
            raise
        return "panic", str(exc)


def same_values(a, b):
    """Bit for bit, signed zeros included, except that any NaN equals any NaN:
    which operand's NaN an addition passes on is up to the compiler."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype != np.float64:
        return same_bits(a, b)
    both_nan = np.isnan(a) & np.isnan(b)
    return same_bits(np.where(both_nan, NAN, a), np.where(both_nan, NAN, b))


def assert_same(got, want):
    if isinstance(want, np.ndarray):
        assert isinstance(got, np.ndarray) and same_values(got, want), (got, want)
        assert got.flags.c_contiguous and got.flags.writeable and got.flags.aligned
    elif isinstance(want, (tuple, list)):
        assert type(got) is type(want) and len(got) == len(want), (got, want)
        for g, w in zip(got, want):
            assert_same(g, w)
    elif isinstance(want, float):
        assert type(got) is float and same_values(np.float64(got), np.float64(want))
    else:
        assert type(got) is type(want) and got == want, (got, want)


def snapshot(args):
    """Copies of the (small) input arrays, to show that nothing was written."""
    return [(a, a.copy()) for a in args if isinstance(a, np.ndarray) and a.size < 10**6]


def check_call(name, args, data):
    """One call, with a random share of the arguments given by keyword, must
    do what the reference does and leave its inputs as they were."""
    names = parameter_names(name)
    n_positional = data.draw(st.integers(0, len(args)), label="positional")
    keywords = data.draw(st.permutations(names[n_positional:]), label="keywords")
    kwargs = {k: args[names.index(k)] for k in keywords}
    before = snapshot(args)
    got_kind, got = module_outcome(lambda: getattr(tn, name)(*args[:n_positional], **kwargs))
    kind, want = reference_outcome(name, args)
    assert got_kind == kind, (got_kind, got, kind, want)
    if kind == "value":
        assert_same(got, want)
    elif kind == "panic":
        assert got in want, (got, want)
    for a, copy in before:
        assert same_bits(a, copy)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_calls_match_the_reference(name, data):
    check_call(name, data.draw(CASES[name](wild=False), label="args"), data)


@pytest.mark.skipif(not IN_CHILD, reason="runs in a child interpreter")
@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_wild_calls_match_the_reference(name, data):
    check_call(name, data.draw(CASES[name](wild=True), label="args"), data)


@pytest.mark.skipif(IN_CHILD, reason="this is the child")
def test_wild_calls_leave_the_interpreter_alive():
    """Extreme indices, impossible sizes, misaligned memory and cyclic trees, in
    a child interpreter: a crash fails this test instead of the whole run."""
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-x",
            "-p",
            "no:cacheprovider",
            __file__,
            "-k",
            "test_wild_calls_match_the_reference",
        ],
        env={**os.environ, "TARNWICK_FUZZ_CHILD": "1"},
        capture_output=True,
        timeout=3600 if LONG else 600,
    )
    out = proc.stdout.decode(errors="replace")
    assert proc.returncode == 0, out[-6000:] + proc.stderr.decode(errors="replace")[-6000:]
    assert f"{len(NAMES)} passed" in out, out[-2000:]


# Values that no parameter of a kind accepts, with the exception they raise.
BAD_SCALARS = {
    "i64": [
        (1.5, TypeError),
        ("3", TypeError),
        (None, TypeError),
        (2**63, OverflowError),
        (-(2**63) - 1, OverflowError),
    ],
    "usize": [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), (None, TypeError)],
    "u16": [(-1, OverflowError), (65536, OverflowError), (2**70, OverflowError), (1.0, TypeError)],
    "f64": [("x", TypeError), (None, TypeError), ([], TypeError), (10**400, OverflowError)],
    "bool": [
        (1, TypeError),
        (0, TypeError),
        (None, TypeError),
        (np.int64(1), TypeError),
        (1.0, TypeError),
    ],
}
# Parameter kinds: (dtype, ndim) for arrays (None allowed when optional).
KINDS = {
    "build_histograms": [(np.uint16, 2), (np.int64, 1), (np.float64, 1), (np.float64, 1), "usize"],
    "partition_rows": [(np.uint16, 2), (np.int64, 1), "usize", "i64", (np.int64, 1, "opt"), "u16"],
    "find_best_split": [
        (np.float64, 3),
        (np.int64, 1),
        "i64",
        "f64",
        (np.bool_, 1),
        "f64",
        "i64",
        "i64",
    ],
    "leaf_linear_stats": [
        (np.float64, 2),
        (np.float64, 1),
        (np.float64, 1),
        (np.int64, 1),
        (np.int64, 1),
        (np.int64, 1),
    ],
    "leaf_linear_stats_mc": [
        (np.float64, 2),
        (np.float64, 2),
        (np.float64, 2),
        (np.int64, 1),
        (np.int64, 1),
        (np.int64, 1),
        (np.int64, 1),
    ],
    "predict_linear": [
        (np.int64, 1),
        (np.float64, 2),
        (np.float64, 1),
        (np.float64, 2),
        (np.float64, 2),
        (np.float64, 2),
        "bool",
    ],
    "apply_tree": [
        (np.float64, 2),
        (np.int32, 1),
        (np.float64, 1),
        (np.int32, 1),
        (np.int32, 1),
        (np.int32, 1),
        (np.bool_, 1),
        (np.int64, 1),
        (np.float64, 1),
    ],
}
OTHER_DTYPES = [
    np.float32,
    np.float64,
    np.int32,
    np.int64,
    np.uint8,
    np.uint16,
    np.uint64,
    np.bool_,
    np.complex128,
    np.object_,
]


@st.composite
def bad_array(draw, dtype, ndim, optional):
    shape = tuple(draw(st.lists(st.integers(0, 3), min_size=ndim, max_size=ndim)))
    wrong = [d for d in OTHER_DTYPES if np.dtype(d) != np.dtype(dtype)]
    choice = draw(st.sampled_from(["dtype", "ndim", "swapped", "list", "scalar", "none"]))
    if choice == "none" and optional:
        choice = "list"
    if choice == "swapped" and np.dtype(dtype).itemsize == 1:
        choice = "dtype"
    if choice == "dtype":
        return np.zeros(shape, draw(st.sampled_from(wrong)))
    if choice == "ndim":
        return np.zeros(draw(st.sampled_from([(), (2,) * (ndim + 1), (2,) * (ndim - 1)])), dtype)
    if choice == "swapped":
        return np.zeros(shape, np.dtype(dtype).newbyteorder())
    return {"list": [0] * 3, "scalar": dtype(0), "none": None}[choice]


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_bad_arguments_raise_type_or_overflow_errors(name, data):
    args = list(data.draw(CASES[name](wild=False), label="args"))
    i = data.draw(st.integers(0, len(args) - 1), label="position")
    kind = KINDS[name][i]
    if isinstance(kind, str):
        args[i], expected = data.draw(st.sampled_from(BAD_SCALARS[kind]), label="bad")
    else:
        args[i] = data.draw(bad_array(kind[0], kind[1], len(kind) > 2), label="bad")
        expected = TypeError
    with pytest.raises(expected) as info:
        getattr(tn, name)(*args)
    if expected is TypeError:
        assert str(info.value).startswith(f"argument '{parameter_names(name)[i]}': ")
    if kind == "u16" and expected is OverflowError and abs(args[i]) < 2**63:
        assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "call",
    [
        lambda: tn.build_histograms(
            np.zeros((0, 1), np.uint16), np.zeros(0, np.int64), np.zeros(0), np.zeros(0), 2**61
        ),
        lambda: tn.leaf_linear_stats(
            np.zeros((0, 2**32)),
            np.zeros(0),
            np.zeros(0),
            np.zeros(0, np.int64),
            np.zeros(1, np.int64),
            np.zeros(0, np.int64),
        ),
    ],
)
def test_empty_result_with_an_axis_numpy_cannot_describe_is_a_capacity_overflow(call):
    assert module_outcome(call) == ("panic", "capacity overflow")
