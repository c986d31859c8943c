"""The module's boundary under hostile input: Python code that changes an
array while later arguments are converted, misaligned views (broadcasts of
any length included), and keyword names and messages that are not plain
ASCII text."""

import gc
import inspect
import multiprocessing
import pickle
import tracemalloc

import numpy as np
import pytest
import tarnwick_native as tn
from support import run_python, same_bits

# ----------------------------------------------------- arrays changed mid-call


class Meddler:
    """A scalar argument whose conversion runs `change` first: the Python
    code a caller's __index__ or __float__ may run between two conversions."""

    def __init__(self, value, change):
        self.value = value
        self.change = change

    def __index__(self):
        self.change()
        return self.value

    def __float__(self):
        self.change()
        return float(self.value)


def resize(array, shape):
    # refcheck=False: the call holds references to the array; NumPy then
    # reallocates its memory in place of the old block.
    return lambda: array.resize(shape, refcheck=False)


def owned(array):
    """A fresh array that owns its memory, so that resize() may move it."""
    return np.array(array, copy=True)


def histogram_case(rng, scalar_of):
    binned = owned(rng.integers(0, 6, size=(3, 64), dtype=np.uint16))
    arrays = dict(
        binned=binned,
        rows=owned(rng.permutation(64)[:40].astype(np.int64)),
        grad=owned(rng.normal(size=64)),
        hess=owned(rng.uniform(0.5, 1.5, size=64)),
    )
    return arrays, dict(n_bins_max=scalar_of("n_bins_max", 8))


def split_case(rng, scalar_of):
    hist = np.zeros((4, 6, 3))
    hist[:, :, 0] = rng.normal(size=(4, 6))
    hist[:, :, 1] = rng.uniform(0.5, 1.5, size=(4, 6))
    hist[:, :, 2] = rng.integers(1, 30, size=(4, 6))
    arrays = dict(
        hist=owned(hist),
        n_bins_per_feature=owned(np.full(4, 5, np.int64)),
        categorical_mask=owned(np.array([False, True, False, False])),
    )
    scalars = dict(
        min_samples_leaf=scalar_of("min_samples_leaf", 1),
        l2=scalar_of("l2", 0.5),
        cat_smooth=scalar_of("cat_smooth", 1.0),
        min_data_per_group=scalar_of("min_data_per_group", 1),
        max_cat_threshold=scalar_of("max_cat_threshold", 4),
    )
    return arrays, scalars


def partition_case(rng, scalar_of):
    arrays = dict(
        binned=owned(rng.integers(0, 6, size=(2, 64), dtype=np.uint16)),
        rows=owned(rng.permutation(64)[:40].astype(np.int64)),
    )
    scalars = dict(
        feature=scalar_of("feature", 1),
        bin=scalar_of("bin", 2),
        left_categories=None,
        missing_bin=scalar_of("missing_bin", 5),
    )
    return arrays, scalars


# (function, case builder, the scalar that meddles, the array it changes, new shape)
RESIZES = [
    # Fewer rows: a view taken before the change would read 40 ids from freed memory.
    ("build_histograms", histogram_case, "n_bins_max", "rows", (7,)),
    # A longer gradient moves its memory; the new entries read as zero.
    ("build_histograms", histogram_case, "n_bins_max", "grad", (1 << 16,)),
    ("build_histograms", histogram_case, "n_bins_max", "binned", (2, 64)),
    ("find_best_split", split_case, "l2", "hist", (2, 6, 3)),
    ("find_best_split", split_case, "l2", "hist", (9, 6, 3)),
    ("find_best_split", split_case, "cat_smooth", "categorical_mask", (4096,)),
    ("find_best_split", split_case, "max_cat_threshold", "n_bins_per_feature", (2,)),
    ("partition_rows", partition_case, "missing_bin", "rows", (5,)),
    # The same codes laid out over rows of another length: feature 1's run moves.
    ("partition_rows", partition_case, "feature", "binned", (2, 70)),
]


def call(name, arrays, scalars):
    """The function called with the arguments by position, in its signature's order."""
    fn = getattr(tn, name)
    args = {**arrays, **scalars}
    return fn(*(args[p] for p in inspect.signature(fn).parameters))


def outcome(panic_type, name, arrays, scalars):
    """The call's result as comparable values, or the fault it raised."""
    try:
        result = call(name, arrays, scalars)
    except panic_type as exc:
        return ("fault", str(exc))
    if isinstance(result, np.ndarray):
        return ("array", result.dtype.str, result.shape, result.tobytes())
    if isinstance(result, tuple) and isinstance(result[0], np.ndarray):
        return ("arrays", [(r.dtype.str, r.shape, r.tobytes()) for r in result])
    return ("value", result)


@pytest.mark.parametrize("name, case, meddling, target, shape", RESIZES)
def test_an_array_resized_by_a_later_scalar_is_read_as_it_stands(
    panic_type, name, case, meddling, target, shape
):
    rng = np.random.default_rng(7)
    holder = {}

    def scalar_of(param, value):
        if param != meddling:
            return value
        return Meddler(value, lambda: resize(holder["arrays"][target], shape)())

    arrays, scalars = case(rng, scalar_of)
    holder["arrays"] = arrays
    got = outcome(panic_type, name, arrays, scalars)
    assert arrays[target].shape == shape
    plain = {k: (v.value if isinstance(v, Meddler) else v) for k, v in scalars.items()}
    assert got == outcome(panic_type, name, {k: v.copy() for k, v in arrays.items()}, plain)


def test_a_resize_that_leaves_rows_outside_the_gradients_is_a_clean_fault(panic_type):
    grad = owned(np.ones(64))
    n_bins_max = Meddler(8, resize(grad, (3,)))
    rows = np.arange(10, dtype=np.int64)
    with pytest.raises(panic_type) as e:
        tn.build_histograms(np.zeros((2, 64), np.uint16), rows, grad, np.ones(64), n_bins_max)
    assert str(e.value) == "index out of bounds: the len is 3 but the index is 3"


# Assigning a dtype is deprecated, not gone: callers may still do it.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize(
    "change, name",
    [
        # ndarray.resize may change the number of dimensions in place ...
        (lambda a: a["hist"].resize((72,), refcheck=False), "hist"),
        # ... and assigning a dtype changes the element type in place.
        (lambda a: setattr(a["n_bins_per_feature"], "dtype", np.float64), "n_bins_per_feature"),
    ],
)
def test_an_array_retyped_by_a_later_scalar_is_a_conversion_error(change, name):
    rng = np.random.default_rng(3)
    holder = {}

    def scalar_of(param, value):
        return Meddler(value, lambda: change(holder["arrays"])) if param == "l2" else value

    arrays, scalars = split_case(rng, scalar_of)
    holder["arrays"] = arrays
    with pytest.raises(TypeError) as e:
        call("find_best_split", arrays, scalars)
    assert str(e.value) == f"argument '{name}': 'ndarray' object cannot be converted to " + (
        "'PyArray<T, D>'"
    )


def test_a_later_conversion_error_still_comes_first():
    # The meddling scalar changes hist, then a later scalar fails: the error
    # is the later scalar's, as if no array had been looked at again.
    holder = {}

    def scalar_of(param, value):
        if param == "l2":
            return Meddler(value, lambda: holder["arrays"]["hist"].resize((72,), refcheck=False))
        return "x" if param == "max_cat_threshold" else value

    arrays, scalars = split_case(np.random.default_rng(4), scalar_of)
    holder["arrays"] = arrays
    with pytest.raises(TypeError) as e:
        call("find_best_split", arrays, scalars)
    assert str(e.value).startswith("argument 'max_cat_threshold': ")


# ------------------------------------------------------------ misaligned views


def misaligned(values):
    """A copy of `values` whose data starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + values.itemsize + 1, np.uint8)
    start = (1 - raw.ctypes.data) % values.itemsize
    out = raw[start : start + values.nbytes].view(values.dtype).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


LAYOUTS = {
    "contiguous": lambda a: a,
    "reversed": lambda a: a[::-1],
    "every other": lambda a: a[::2],
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", ["rows", "grad", "hess"])
def test_misaligned_histogram_vectors_read_the_same_values(name, layout):
    rng = np.random.default_rng(11)
    args = dict(
        binned=rng.integers(0, 9, size=(3, 200), dtype=np.uint16),
        # Twice the entries that the 200 rows need, so that every other one still covers them.
        rows=rng.integers(0, 200, size=400, dtype=np.int64),
        grad=rng.normal(size=400),
        hess=rng.uniform(0.1, 2.0, size=400),
        n_bins_max=10,
    )
    aligned = LAYOUTS[layout](args[name])
    expected = tn.build_histograms(**{**args, name: aligned})
    got = tn.build_histograms(**{**args, name: LAYOUTS[layout](misaligned(args[name]))})
    assert same_bits(got, expected)


def test_misaligned_binned_matrix_reads_the_same_codes():
    rng = np.random.default_rng(12)
    binned = rng.integers(0, 9, size=(3, 50), dtype=np.uint16)
    rows = np.arange(50, dtype=np.int64)
    grad, hess = rng.normal(size=50), np.ones(50)
    expected = tn.build_histograms(binned, rows, grad, hess, 10)
    assert same_bits(tn.build_histograms(misaligned(binned), rows, grad, hess, 10), expected)
    parts = tn.partition_rows(misaligned(binned), rows, 2, 4, None, 9)
    for got, want in zip(parts, tn.partition_rows(binned, rows, 2, 4, None, 9)):
        assert same_bits(got, want)


def test_a_misaligned_transposed_matrix_is_still_not_c_contiguous(panic_type):
    binned = misaligned(np.zeros((4, 3), np.uint16)).T
    with pytest.raises(panic_type) as e:
        tn.build_histograms(binned, np.arange(2, dtype=np.int64), np.ones(4), np.ones(4), 2)
    assert str(e.value) == "feature-major binned must be C-contiguous"
    x = misaligned(np.zeros((3, 2))).T
    tree = dict(
        feature=np.zeros(1, np.int32),
        threshold=np.zeros(1),
        left=np.zeros(1, np.int32),
        right=np.zeros(1, np.int32),
        leaf_id=np.zeros(1, np.int32),
        missing_left=np.zeros(1, bool),
        cat_offsets=np.zeros(2, np.int64),
        cat_values=np.zeros(0),
    )
    with pytest.raises(panic_type) as e:
        tn.apply_tree(x, **tree)
    assert str(e.value) == "X must be C-contiguous"


def test_misaligned_split_inputs_and_broadcast_histogram_axes():
    rng = np.random.default_rng(13)
    hist = np.zeros((3, 5, 3))
    hist[:, :, 0] = rng.normal(size=(3, 5))
    hist[:, :, 1] = rng.uniform(0.5, 1.5, size=(3, 5))
    hist[:, :, 2] = rng.integers(1, 30, size=(3, 5))
    counts = np.full(3, 4, np.int64)
    mask = np.zeros(3, bool)
    expected = tn.find_best_split(hist, counts, 1, 0.5, mask, 1.0, 1, 4)
    assert tn.find_best_split(misaligned(hist), misaligned(counts), 1, 0.5, mask, 1.0, 1, 4) == (
        expected
    )
    # One feature's histogram broadcast over the feature axis (stride 0) and
    # the same tensor written out in full give the same split.
    one = hist[:1]
    wide = np.broadcast_to(misaligned(one), (6, 5, 3))
    full = np.repeat(one, 6, axis=0)
    assert tn.find_best_split(
        wide, np.full(6, 4, np.int64), 1, 0.5, np.zeros(6, bool), 1.0, 1, 4
    ) == (tn.find_best_split(full, np.full(6, 4, np.int64), 1, 0.5, np.zeros(6, bool), 1.0, 1, 4))


def test_a_long_misaligned_broadcast_costs_one_element():
    n = 2**27
    grad = np.broadcast_to(misaligned(np.array([0.75])), (n,))
    hess = np.broadcast_to(misaligned(np.array([1.0])), (n,))
    assert grad.strides == (0,) and not grad.flags.aligned
    rng = np.random.default_rng(14)
    binned = rng.integers(0, 4, size=(2, 64), dtype=np.uint16)
    rows = rng.permutation(64)[:8].astype(np.int64)

    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        hist = tn.build_histograms(binned, rows, grad, hess, 5)
        peak = tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()
    # The result (2 x 5 x 3 floats) and a few objects; a copy of the logical
    # length would be 1 GiB.
    assert peak < 64 << 10

    aligned = tn.build_histograms(binned, rows, np.full(64, 0.75), np.ones(64), 5)
    assert same_bits(hist, aligned)
    codes = binned[:, rows]
    for f in range(2):
        counts = np.bincount(codes[f], minlength=5).astype(np.float64)
        assert same_bits(hist[f, :, 2], counts)
        assert same_bits(hist[f, :, 0], counts * 0.75)


# ------------------------------------------------------- keywords and messages


def hist_args():
    return dict(
        binned=np.zeros((2, 4), np.uint16),
        rows=np.arange(4, dtype=np.int64),
        grad=np.ones(4),
        hess=np.ones(4),
        n_bins_max=3,
    )


@pytest.mark.parametrize(
    "key",
    [
        "\udc80",  # not valid UTF-8: a lone surrogate
        "bin\x00ned",
        "n_bins_max\x00",  # a parameter name, then a NUL
        "n_bïns_max",
        "\x00",
    ],
)
def test_keyword_names_that_match_nothing_are_reported_whole(key):
    args = hist_args()
    del args["n_bins_max"]
    with pytest.raises(TypeError) as e:
        tn.build_histograms(**args, **{key: 3})
    assert str(e.value) == f"build_histograms() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize("text", ["no\x00index", "bad \udc80 value", "\x00"])
def test_inner_messages_keep_their_whole_text(text):
    class Bad:
        def __index__(self):
            raise TypeError(text)

    with pytest.raises(TypeError) as e:
        tn.build_histograms(**{**hist_args(), "n_bins_max": Bad()})
    assert str(e.value) == f"argument 'n_bins_max': {text}"


@pytest.mark.parametrize("qualname", ["Odd\x00Type", "Odd\udc80Type"])
def test_type_names_in_messages_keep_their_whole_text(qualname):
    class Odd:
        pass

    Odd.__qualname__ = qualname
    with pytest.raises(TypeError) as e:
        tn.build_histograms(**{**hist_args(), "rows": Odd()})
    assert str(e.value) == (
        f"argument 'rows': '{qualname}' object cannot be converted to 'PyArray<T, D>'"
    )


def test_a_failed_numpy_import_reports_its_whole_message():
    # A stand-in numpy whose every attribute fails, in a fresh interpreter
    # (NumPy's interface is fetched once per process).
    code = """
        import sys, types

        class Broken(types.ModuleType):
            def __getattr__(self, name):
                raise ImportError("no\\x00numpy \\udc80here")

        sys.modules["numpy"] = Broken("numpy")
        import tarnwick_native as tn

        try:
            tn.build_histograms(None, None, None, None, 1)
        except BaseException as exc:
            print(ascii(str(exc)))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    # The surrogate, which UTF-8 cannot carry, as its escape.
    message = "Failed to access NumPy array API capsule: ImportError: no\x00numpy \\udc80here"
    assert proc.stdout.decode().strip() == ascii(message)


# ---------------------------------------------------- PanicException in a pool


def faulting_task(_):
    """The pattern the README gives for process pools: inside the task the
    fault becomes an error that pickles."""
    try:
        binned = np.zeros((3, 2), np.uint16).T
        return tn.partition_rows(binned, np.zeros(0, np.int64), 0, 0, None, 1)
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        raise RuntimeError(f"tarnwick_native fault: {exc}") from None


def test_panic_exception_cannot_be_pickled(panic_type):
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(panic_type("X must be C-contiguous"))


def test_a_pool_task_that_turns_the_fault_into_a_picklable_error_reports_it():
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        with pytest.raises(RuntimeError) as e:
            pool.map_async(faulting_task, range(2)).get(timeout=120)
    assert str(e.value) == "tarnwick_native fault: feature-major binned must be C-contiguous"
