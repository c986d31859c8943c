"""Repeated calls leak nothing: after a warm-up, thousands of calls of each
function, on its success path and on every kind of error path (conversion
errors, contiguity faults, index faults, faults inside workers of the pool,
impossible sizes), leave the reference counts of the inputs unchanged and keep
Python's allocated blocks, the traced memory, the C heap and the resident
memory flat.
"""

import ctypes
import gc
import os
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest
import tarnwick_native as tn
from support import run_python

CALLS = 2000
WARM_UP = 100
TIME_LIMIT = 180
# AddressSanitizer's quarantine keeps freed memory from being reused, so
# resident memory grows and caches keyed by address (the interpreter's type
# attribute cache) fill with fresh entries: under it only reference counts
# are compared; memory errors are its own business.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_function():
    """glibc's mallinfo2, which covers what C++ new and malloc hand out; None
    elsewhere."""
    try:
        f = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    f.restype = MallInfo2
    return f


MALLINFO2 = heap_function()


def heap_in_use():
    if MALLINFO2 is None:
        return 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def outcome(call):
    try:
        call()
        return None
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        return type(exc).__name__ if is_panic(exc) or isinstance(exc, Exception) else exc


def assert_flat(call, inputs, expected, calls=CALLS):
    """call() ends as `expected` (None for a result, else an exception name)
    every time, and `calls` more calls change no reference count of the
    inputs and grow no memory."""
    for _ in range(WARM_UP):
        assert outcome(call) == expected
    gc.collect()
    refs = [sys.getrefcount(x) for x in inputs]
    tracemalloc.start()
    try:
        blocks, heap, rss = sys.getallocatedblocks(), heap_in_use(), resident()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            outcome(call)
        gc.collect()
        grown_traced = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    grown = (sys.getallocatedblocks() - blocks, heap_in_use() - heap, resident() - rss)
    assert [sys.getrefcount(x) for x in inputs] == refs
    if UNDER_ASAN:
        return
    # Budgets far below one leaked object, block or buffer per call.
    assert grown[0] < calls // 10, f"{grown[0]} Python blocks more after {calls} calls"
    assert grown_traced < 16 * calls, f"{grown_traced} traced bytes more after {calls} calls"
    # The floor absorbs the C heap settling (a worker's allocator cache).
    assert grown[1] < max(8 * calls, 8192), f"{grown[1]} heap bytes more after {calls} calls"
    assert grown[2] < 4 << 20, f"{grown[2]} resident bytes more after {calls} calls"


def index(v):
    """An integer argument whose reference count can be watched (small ints are immortal)."""
    return np.int64(v)


def histogram_args(n_features=3, n_rows=40, n_bins=8, bad_row=None):
    rng = np.random.default_rng(1)
    binned = rng.integers(0, n_bins, (n_features, n_rows)).astype(np.uint16)
    rows = np.arange(n_rows, dtype=np.int64)
    if bad_row is not None:
        rows[bad_row] = n_rows
    return [binned, rows, rng.standard_normal(n_rows), rng.random(n_rows), index(n_bins)]


def partition_args(categories=None, bad=False):
    binned = np.array([[0, 1, 2, 3, 1, 0, 3, 2]] * 2, np.uint16)
    rows = np.arange(8, dtype=np.int64)[::-1].copy()
    if bad:
        rows[5] = -1
    return [binned, rows, index(1), index(1), categories, index(3)]


def split_args(categorical=False, nan_ratio=False):
    hist = np.zeros((2, 6, 3))
    hist[:, :5, 0] = [[1.0, -2.0, 0.5, 3.0, -1.0]] * 2
    hist[:, :5, 1] = 1.0
    hist[:, :5, 2] = 4.0
    if nan_ratio:
        hist[1, 2, :2] = 0.0
    mask = np.array([False, categorical])
    return [
        hist,
        np.array([5, 5], np.int64),
        index(1),
        float("0.5"),
        mask,
        float("0.0") if nan_ratio else float("1.0"),
        index(1),
        index(4),
    ]


def stats_args(n_rows=50, d=3, bad=None, mc=False):
    rng = np.random.default_rng(2)
    z = rng.standard_normal((n_rows, d))
    shape = (n_rows, 2) if mc else (n_rows,)
    grad, hess = rng.standard_normal(shape), rng.random(shape)
    order = rng.permutation(n_rows).astype(np.int64)
    offsets = np.array([0, n_rows // 3, n_rows // 2, n_rows], np.int64)
    linear = np.array([2, 0, 1], np.int64)
    if bad == "row":
        order[-1] = n_rows
    args = [z, grad, hess, order, offsets, linear]
    if mc:
        args.append(np.array([1, 0, 1], np.int64))
    return args


def predict_args(n=40, d=3, bad=None, clip=True):
    rng = np.random.default_rng(3)
    leaf_idx = rng.integers(0, 4, n).astype(np.int64)
    if bad == "leaf":
        leaf_idx[-1] = 4
    z_min, z_max = np.full((4, d), -0.5), np.full((4, d), 0.5)
    if bad == "guard":
        z_min[leaf_idx[-1], 0] = np.nan
    return [
        leaf_idx,
        rng.standard_normal((n, d)),
        rng.standard_normal(4),
        rng.standard_normal((4, d)),
        z_min,
        z_max,
        clip,
    ]


def tree_args(n_rows=40, bad=None):
    x = np.random.default_rng(4).standard_normal((n_rows, 2))
    x[::7, 0] = np.nan
    left = np.array([1, 3, 0, 0, 0], np.int32)
    if bad == "child":
        left[1] = 9
    return [
        x,
        np.array([0, 1, 0, 0, 0], np.int32),
        np.array([0.0, 0.25, 0, 0, 0]),
        left,
        np.array([2, 4, 0, 0, 0], np.int32),
        np.array([-1, -1, 5, 6, 7], np.int32),
        np.array([True, False, False, False, False]),
        np.zeros(6, np.int64),
        np.zeros(0),
    ]


def replaced(args, i, value):
    out = list(args)
    out[i] = value
    return out


def transposed(a):
    return np.asfortranarray(a) if a.ndim == 2 else a[::-1]


# (function, arguments, expected outcome): every success and error path.
CASES = {
    "histogram": ("build_histograms", histogram_args(), None),
    "histogram, parallel": ("build_histograms", histogram_args(4, 40000), None),
    "histogram, wrong dtype of hess": (
        "build_histograms",
        replaced(histogram_args(), 3, np.zeros(40, np.float32)),
        "TypeError",
    ),
    "histogram, negative n_bins_max": (
        "build_histograms",
        replaced(histogram_args(), 4, -1),
        "OverflowError",
    ),
    "histogram, column-major binned": (
        "build_histograms",
        replaced(histogram_args(), 0, transposed(histogram_args()[0])),
        "PanicException",
    ),
    "histogram, bad row": ("build_histograms", histogram_args(bad_row=30), "PanicException"),
    "histogram, bad row in a worker": (
        "build_histograms",
        histogram_args(4, 40000, bad_row=39000),
        "PanicException",
    ),
    "histogram, capacity overflow": (
        "build_histograms",
        replaced(histogram_args(), 4, 2**62),
        "PanicException",
    ),
    "histogram, no memory": (
        "build_histograms",
        replaced(histogram_args(), 4, 2**42),
        "MemoryError",
    ),
    "partition": ("partition_rows", partition_args(), None),
    "partition, categorical": ("partition_rows", partition_args(np.array([0, 2], np.int64)), None),
    "partition, bad row": ("partition_rows", partition_args(bad=True), "PanicException"),
    "partition, bad categories dtype": (
        "partition_rows",
        partition_args(np.array([0, 2], np.int32)),
        "TypeError",
    ),
    "partition, missing_bin out of range": (
        "partition_rows",
        replaced(partition_args(), 5, 70000),
        "OverflowError",
    ),
    "split, numeric": ("find_best_split", split_args(), None),
    "split, categorical": ("find_best_split", split_args(categorical=True), None),
    "split, NaN sort ratio": (
        "find_best_split",
        split_args(True, nan_ratio=True),
        "PanicException",
    ),
    "split, short n_bins_per_feature": (
        "find_best_split",
        replaced(split_args(), 1, np.array([5], np.int64)),
        "PanicException",
    ),
    "split, text for l2": ("find_best_split", replaced(split_args(), 3, "x"), "TypeError"),
    "stats": ("leaf_linear_stats", stats_args(), None),
    "stats, parallel": ("leaf_linear_stats", stats_args(30000), None),
    "stats, bad row in a worker": (
        "leaf_linear_stats",
        stats_args(30000, bad="row"),
        "PanicException",
    ),
    "stats, column-major z": (
        "leaf_linear_stats",
        replaced(stats_args(), 0, transposed(stats_args()[0])),
        "PanicException",
    ),
    "stats, list for linear": ("leaf_linear_stats", replaced(stats_args(), 5, [0]), "TypeError"),
    "stats mc": ("leaf_linear_stats_mc", stats_args(mc=True), None),
    "stats mc, parallel": ("leaf_linear_stats_mc", stats_args(30000, mc=True), None),
    "stats mc, bad row in a worker": (
        "leaf_linear_stats_mc",
        stats_args(30000, bad="row", mc=True),
        "PanicException",
    ),
    "stats mc, strided leaf_class": (
        "leaf_linear_stats_mc",
        replaced(stats_args(mc=True), 6, np.array([1, 0, 1, 0, 1])[::2]),
        "PanicException",
    ),
    "predict": ("predict_linear", predict_args(), None),
    "predict, parallel": ("predict_linear", predict_args(30000), None),
    "predict, bad leaf in a worker": (
        "predict_linear",
        predict_args(30000, bad="leaf"),
        "PanicException",
    ),
    "predict, NaN guard in a worker": (
        "predict_linear",
        predict_args(30000, bad="guard"),
        "PanicException",
    ),
    "predict, int for clip": ("predict_linear", predict_args(clip=1), "TypeError"),
    "tree": ("apply_tree", tree_args(), None),
    "tree, parallel": ("apply_tree", tree_args(20000), None),
    "tree, bad child in a worker": ("apply_tree", tree_args(20000, bad="child"), "PanicException"),
    "tree, reversed threshold": (
        "apply_tree",
        replaced(tree_args(), 2, tree_args()[2][::-1]),
        "PanicException",
    ),
    "tree, float32 x": (
        "apply_tree",
        replaced(tree_args(), 0, np.zeros((2, 2), np.float32)),
        "TypeError",
    ),
}


def check_case(case):
    name, args, expected = CASES[case]
    fn = getattr(tn, name)
    big = any(isinstance(a, np.ndarray) and a.size > 10_000 for a in args)
    assert_flat(lambda: fn(*args), args, expected, calls=CALLS // 4 if big else CALLS)


CHILD = """
import sys
sys.path.insert(0, {tests!r})
import test_leaks
test_leaks.check_case({case!r})
print("flat")
"""


@pytest.mark.parametrize("case", list(CASES))
def test_repeated_calls_leak_nothing(case):
    # In a child interpreter with a time limit: a call that deadlocks (a
    # worker waiting for the interpreter lock that its caller holds, as
    # tracemalloc's allocator hooks make it) fails this case, not the run.
    code = CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)), case=case)
    try:
        proc = run_python(code, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: no answer within {TIME_LIMIT} s (deadlock?)")
    assert proc.returncode == 0 and proc.stdout.split() == [b"flat"], proc.stderr.decode(
        errors="replace"
    )[-4000:]


@pytest.mark.parametrize("case", [c for c in CASES if CASES[c][2] is None])
def test_results_hold_no_extra_references(case):
    name, args, _ = CASES[case]
    result = getattr(tn, name)(*args)
    # Each object is held once (by `result` or by the tuple) plus the argument
    # of getrefcount; each array's memory owner only by its array. (Counted
    # outside the asserts, whose rewriting keeps temporaries alive.)
    counts = [sys.getrefcount(result)]
    if isinstance(result, np.ndarray):
        counts.append(sys.getrefcount(result.base))
    for i in range(len(result) if isinstance(result, tuple) else 0):
        if isinstance(result[i], (np.ndarray, list)):
            counts.append(sys.getrefcount(result[i]))
        if isinstance(result[i], np.ndarray):
            counts.append(sys.getrefcount(result[i].base))
    assert counts == [2] * len(counts)
