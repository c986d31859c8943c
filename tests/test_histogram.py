"""build_histograms: bit-exact against the reference, which adds in row order."""

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import given, settings
from hypothesis import strategies as st
from reference import PARALLEL_PAIRS
from support import expect_fault, results_in_subprocess, run_native, run_python, same_bits

NOT_CONTIGUOUS = "feature-major binned must be C-contiguous"
ZERO_CHUNK_SERIAL = "chunk size must be non-zero"
ZERO_CHUNK_PARALLEL = "chunk_size must not be zero"


def index_fault(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def bin_fault(n_bins_max, code):
    return index_fault(3 * n_bins_max, 3 * code)


def call(binned, rows, grad, hess, n_bins_max):
    return tn.build_histograms(binned, rows, grad, hess, n_bins_max)


def random_problem(rng, n_features, n_rows, n_sel, n_bins_max):
    binned = rng.integers(0, n_bins_max, size=(n_features, n_rows), dtype=np.uint16)
    rows = rng.integers(0, n_rows, size=n_sel).astype(np.int64)
    grad = rng.standard_normal(n_rows) * 10.0 ** rng.integers(-8, 8, n_rows)
    hess = rng.random(n_rows)
    return binned, rows, grad, hess


# Values whose sums depend on the order of addition.
finite = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, width=64, min_value=-1e300, max_value=1e300),
    st.sampled_from([0.0, -0.0, 1e-310, 1.0, 1e16, -1e16, 3.0]),
)


def view_of(values, dtype, layout):
    """`values` as a contiguous, strided or reversed view of a larger array."""
    values = np.asarray(values, dtype=dtype)
    if layout == "strided":
        base = np.zeros(2 * len(values), dtype=dtype)
        base[::2] = values
        return base[::2]
    if layout == "reversed":
        return np.ascontiguousarray(values[::-1])[::-1]
    return values


layouts = st.sampled_from(["contiguous", "strided", "reversed"])


@st.composite
def problems(draw):
    n_features = draw(st.integers(0, 5))
    n_rows = draw(st.integers(1, 30))
    n_bins_max = draw(st.integers(1, 12))
    codes = draw(
        st.lists(
            st.integers(0, n_bins_max - 1),
            min_size=n_features * n_rows,
            max_size=n_features * n_rows,
        )
    )
    binned = np.array(codes, dtype=np.uint16).reshape(n_features, n_rows)
    kind = draw(st.sampled_from(["random", "consecutive", "all"]))
    if kind == "random":
        rows = draw(st.lists(st.integers(0, n_rows - 1), max_size=3 * n_rows + 40))
    elif kind == "consecutive":
        start = draw(st.integers(0, n_rows - 1))
        rows = list(range(start, draw(st.integers(start, n_rows))))
    else:
        rows = list(range(n_rows))
    extra = draw(st.integers(0, 3))  # grad and hess may be longer than n_rows
    grad = draw(st.lists(finite, min_size=n_rows + extra, max_size=n_rows + extra))
    hess = draw(st.lists(finite, min_size=n_rows + extra, max_size=n_rows + extra))
    return (
        binned,
        view_of(rows, np.int64, draw(layouts)),
        view_of(grad, np.float64, draw(layouts)),
        view_of(hess, np.float64, draw(layouts)),
        n_bins_max,
    )


@settings(max_examples=300, deadline=None)
@given(problems())
def test_matches_reference_bit_for_bit(problem):
    binned, rows, grad, hess, n_bins_max = problem
    hist = call(binned, rows, grad, hess, n_bins_max)
    assert hist.shape == (binned.shape[0], n_bins_max, 3)
    assert hist.flags.c_contiguous and hist.dtype == np.float64
    assert same_bits(hist, reference.build_histograms(binned, rows, grad, hess, n_bins_max))


def test_large_node_matches_reference_with_in_place_and_scratch_passes():
    # 300 rows against 255 and 1000 bins: both ways of accumulating, over
    # sorted, random and consecutive rows, 1 to 9 features (every pass width).
    rng = np.random.default_rng(5)
    for n_features in range(1, 10):
        for n_bins_max in (255, 1000):
            binned, _, grad, hess = random_problem(rng, n_features, 2000, 0, n_bins_max)
            for rows in (
                np.sort(rng.choice(2000, 300, replace=False)),
                rng.integers(0, 2000, 300),
                np.arange(700, 1000),
            ):
                rows = rows.astype(np.int64)
                assert same_bits(
                    call(binned, rows, grad, hess, n_bins_max),
                    reference.build_histograms(binned, rows, grad, hess, n_bins_max),
                )


def test_scratch_passes_overwrite_whatever_the_tensor_memory_held():
    # A node of at least n_bins_max rows gets a tensor that is not cleared
    # first: every cell, empty bins and counted hessians included, must come
    # from the passes. Freed NaN-filled blocks of the tensor's size make the
    # allocator likely to hand back dirty memory.
    rng = np.random.default_rng(12)
    binned, _, grad, hess = random_problem(rng, 5, 3000, 0, 600)
    rows = np.sort(rng.choice(3000, 700, replace=False)).astype(np.int64)
    for h in (hess, np.broadcast_to(1.0, 3000)):
        expected = reference.build_histograms(binned, rows, grad, h, 600)
        for _ in range(5):
            dirty = np.full(expected.size, np.nan)
            del dirty
            assert same_bits(call(binned, rows, grad, h, 600), expected)


# One hessian for every row, broadcast: where adding it up is exact the sums
# come from the counts; elsewhere (0.1, 1 + 2**-52 over two rows, a value
# whose sum overflows, zeros, infinities, NaN) they are added row by row.
# Either way the bits are those of adding in row order.
EACH_HESS = [
    1.0,
    0.5,
    3.0,
    -2.0,
    2.0**-1074,
    0.1,
    1.0 + 2.0**-52,
    2.0**1020,
    0.0,
    -0.0,
    np.inf,
    -np.inf,
    np.nan,
]


@pytest.mark.parametrize("each_hess", EACH_HESS)
@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
def test_broadcast_hessian_matches_reference(each_hess):
    rng = np.random.default_rng(8)
    n_rows = 3000
    binned, _, grad, _ = random_problem(rng, 6, n_rows, 0, 40)
    hess = np.broadcast_to(each_hess, n_rows)
    sorted_rows = np.sort(rng.choice(n_rows, 900, replace=False))
    nodes = (
        np.arange(n_rows),
        np.arange(100, 130),
        sorted_rows,
        sorted_rows[:25],
        rng.integers(0, n_rows, 2000),
        np.repeat(7, 40),
    )
    for rows in nodes:
        rows = rows.astype(np.int64)
        for g in (grad, view_of(grad, np.float64, "strided")):
            assert same_bits(
                call(binned, rows, g, hess, 40),
                reference.build_histograms(binned, rows, g, hess, 40),
            )
    # A single row's hessian is the same for every listed row too.
    single = (
        np.ascontiguousarray(binned[:, :1]),
        np.zeros(50, np.int64),
        grad[:1],
        np.array([each_hess]),
        40,
    )
    assert same_bits(call(*single), reference.build_histograms(*single))


def test_row_order_changes_only_the_addition_order():
    rng = np.random.default_rng(1)
    binned, rows, grad, hess = random_problem(rng, 3, 500, 2000, 7)
    forward = call(binned, rows, grad, hess, 7)
    backward = call(binned, rows[::-1], grad, hess, 7)
    assert same_bits(forward[:, :, 2], backward[:, :, 2])
    np.testing.assert_allclose(forward, backward, rtol=1e-9, atol=1e-6)
    assert same_bits(backward, reference.build_histograms(binned, rows[::-1], grad, hess, 7))


def test_empty_rows_give_zeros():
    hist = call(np.ones((3, 4), np.uint16), np.zeros(0, np.int64), np.ones(4), np.ones(4), 5)
    assert same_bits(hist, np.zeros((3, 5, 3)))


def test_no_features_reads_no_row():
    # Without features no row is reached, so even invalid ids pass.
    hist = call(
        np.zeros((0, 4), np.uint16), np.array([-1, 99], np.int64), np.ones(1), np.ones(1), 6
    )
    assert hist.shape == (0, 6, 3)


def test_duplicate_row_counts_twice():
    hist = call(
        np.array([[1, 0]], np.uint16),
        np.array([0, 0], np.int64),
        np.array([0.25, 9.0]),
        np.array([0.5, 9.0]),
        2,
    )
    assert hist[0, 1].tolist() == [0.5, 1.0, 2.0]
    assert hist[0, 0].tolist() == [0.0, 0.0, 0.0]


def test_last_bin_and_count_channel():
    binned = np.array([[4, 4, 0]], np.uint16)
    hist = call(binned, np.arange(3, dtype=np.int64), np.ones(3), np.ones(3), 5)
    assert hist[0, 4].tolist() == [2.0, 2.0, 2.0]


@pytest.mark.parametrize(
    "binned",
    [
        np.zeros((4, 3), np.uint16).T,  # column-major
        np.zeros((3, 8), np.uint16)[:, ::2],  # strided rows
        np.zeros((3, 4), np.uint16)[::-1],  # reversed features
    ],
)
def test_non_contiguous_binned_fails(panic_type, binned):
    expect_fault(
        panic_type,
        NOT_CONTIGUOUS,
        "build_histograms",
        binned,
        np.zeros(0, np.int64),
        np.ones(8),
        np.ones(8),
        0,
    )


@pytest.mark.parametrize(
    "binned, n_sel, n_bins_max, message",
    [
        (np.zeros((2, 3), np.uint16), 0, 0, ZERO_CHUNK_SERIAL),
        (np.zeros((0, 3), np.uint16), 5, 0, ZERO_CHUNK_SERIAL),
        (np.zeros((2, 0), np.uint16), 0, 4, ZERO_CHUNK_SERIAL),
        (np.zeros((2, 0), np.uint16), 3, 4, ZERO_CHUNK_SERIAL),
        (np.zeros((2, 3), np.uint16), PARALLEL_PAIRS // 2, 0, ZERO_CHUNK_PARALLEL),
        (np.zeros((2, 0), np.uint16), PARALLEL_PAIRS // 2, 4, ZERO_CHUNK_PARALLEL),
        (np.zeros((1, 3), np.uint16), PARALLEL_PAIRS - 1, 0, ZERO_CHUNK_SERIAL),
    ],
)
def test_zero_bins_or_rows_fail_before_any_row(panic_type, binned, n_sel, n_bins_max, message):
    # The ids are invalid, but the check comes first.
    rows = np.full(n_sel, -1, np.int64)
    expect_fault(
        panic_type, message, "build_histograms", binned, rows, np.ones(3), np.ones(3), n_bins_max
    )


def test_tensor_too_large_fails_before_any_row(panic_type):
    expect_fault(
        panic_type,
        "capacity overflow",
        "build_histograms",
        np.zeros((4, 2), np.uint16),
        np.array([-1], np.int64),
        np.ones(2),
        np.ones(2),
        2**62,
    )


@pytest.mark.parametrize(
    "rows, grad_len, hess_len, message",
    [
        ([0, -1], 4, 4, index_fault(4, 2**64 - 1)),
        ([0, 4], 9, 9, index_fault(4, 4)),
        ([1, 3], 3, 9, index_fault(3, 3)),
        ([2, 3], 9, 3, index_fault(3, 3)),
    ],
)
def test_bad_row_id_fails(panic_type, rows, grad_len, hess_len, message):
    binned = np.zeros((2, 4), np.uint16)
    expect_fault(
        panic_type,
        message,
        "build_histograms",
        binned,
        np.array(rows, np.int64),
        np.ones(grad_len),
        np.ones(hess_len),
        1,
    )
    # The module stays usable.
    assert call(binned, np.array([0], np.int64), np.ones(4), np.ones(4), 1)[0, 0, 2] == 1.0


def test_code_at_n_bins_max_fails(panic_type):
    binned = np.array([[0, 3, 2]], np.uint16)
    expect_fault(
        panic_type,
        bin_fault(3, 3),
        "build_histograms",
        binned,
        np.arange(3, dtype=np.int64),
        np.ones(3),
        np.ones(3),
        3,
    )
    # A code outside the listed rows is never read.
    assert call(binned, np.array([0, 2], np.int64), np.ones(3), np.ones(3), 3)[0, 2, 2] == 1.0


@pytest.mark.parametrize("n_features", [3, 6])
def test_faults_are_those_of_a_feature_by_feature_walk(panic_type, n_features):
    # Feature 1 holds a bad code at row 0, feature 0 one at row 5: a walk that
    # finishes feature 0 before starting feature 1 meets code 7 first.
    binned = np.zeros((n_features, 8), np.uint16)
    binned[1, 0] = 9
    binned[0, 5] = 7
    rows = np.arange(8, dtype=np.int64)
    expect_fault(
        panic_type, bin_fault(4, 7), "build_histograms", binned, rows, np.ones(8), np.ones(8), 4
    )
    # A bad id at position 6 comes after feature 0's bad code at position 5.
    expect_fault(
        panic_type,
        bin_fault(4, 7),
        "build_histograms",
        binned,
        np.array([0, 1, 2, 3, 4, 5, 8, 7], np.int64),
        np.ones(8),
        np.ones(8),
        4,
    )
    # Before it, the bad id wins.
    expect_fault(
        panic_type,
        index_fault(8, 8),
        "build_histograms",
        binned,
        np.array([0, 8, 5], np.int64),
        np.ones(8),
        np.ones(8),
        4,
    )


def test_matches_scikit_learn_histograms():
    # scikit-learn's builder also adds each bin's values in row order; fed the
    # same (float32, widened) values, its sums are ours bit for bit.
    histogram = pytest.importorskip("sklearn.ensemble._hist_gradient_boosting.histogram")
    rng = np.random.default_rng(3)
    n_rows, n_features, n_bins = 5000, 5, 256
    binned = rng.integers(0, n_bins, size=(n_features, n_rows), dtype=np.uint16)
    g32 = rng.standard_normal(n_rows).astype(np.float32)
    h32 = rng.random(n_rows).astype(np.float32)
    builder = histogram.HistogramBuilder(
        np.asfortranarray(binned.T.astype(np.uint8)), n_bins, g32, h32, False, 1
    )
    for rows in (np.arange(n_rows), np.sort(rng.choice(n_rows, 700, replace=False))):
        theirs = np.asarray(builder.compute_histograms_brute(rows.astype(np.uint32)))
        ours = call(
            binned, rows.astype(np.int64), g32.astype(np.float64), h32.astype(np.float64), n_bins
        )
        assert same_bits(ours[:, :, 0], theirs["sum_gradients"])
        assert same_bits(ours[:, :, 1], theirs["sum_hessians"])
        assert same_bits(ours[:, :, 2], theirs["count"].astype(np.float64))


# Inputs built the same way in this process and in the subprocesses.
SETUP = """
import numpy as np
import tarnwick_native as tn

def problem(n_features, n_sel, seed, n_bins_max=50, n_rows=3000):
    rng = np.random.default_rng(seed)
    binned = rng.integers(0, n_bins_max, size=(n_features, n_rows), dtype=np.uint16)
    rows = rng.integers(0, n_rows, size=n_sel).astype(np.int64)
    grad = rng.standard_normal(n_rows) * 10.0 ** rng.integers(-8, 8, n_rows)
    hess = rng.random(n_rows)
    return binned, rows, grad, hess, n_bins_max

def strided(values):
    base = np.zeros(2 * len(values), values.dtype)
    base[::2] = values
    return base[::2]

# Ids and gradients through strides: the gather copies both.
def strided_problem(n_features, n_sel, seed):
    binned, rows, grad, hess, n_bins_max = problem(n_features, n_sel, seed)
    return binned, strided(rows), strided(grad), hess, n_bins_max

# Rows scattered thinly over a wide range: their values are gathered once
# instead of being read by id in every pass.
def wide_problem(n_features, n_sel, seed):
    return problem(n_features, n_sel, seed, n_rows=40 * n_sel)

# Sorted rows with one broadcast hessian, as squared error gives: the passes
# leave the hessian out and fill it in from the counts.
def unit_hess_problem(n_features, n_sel, seed):
    binned, rows, grad, hess, n_bins_max = problem(n_features, n_sel, seed)
    return binned, np.sort(rows), grad, np.broadcast_to(1.0, len(hess)), n_bins_max
"""
namespace = {}
exec(SETUP, namespace)
MAKERS = "problem", "strided_problem", "wide_problem", "unit_hess_problem"
problem = namespace["problem"]

# (n_features, n_sel): just below the threshold, at it, and above it; feature
# counts that do not fill passes of four evenly, or whose passes do not
# divide evenly over the threads (12 features: three passes of four, four of
# three on two threads).
BRANCH_CASES = [
    (1, PARALLEL_PAIRS - 1),
    (1, PARALLEL_PAIRS),
    (7, 18725),
    (9, 16384),
    (12, 10923),
    (14, 9363),
]


@pytest.mark.parametrize("n_features, n_sel", BRANCH_CASES)
def test_both_branches_match_reference(n_features, n_sel):
    args = problem(n_features, n_sel, seed=n_features)
    assert same_bits(call(*args), reference.build_histograms(*args))


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_thread_count_does_not_change_bits(threads):
    code = (
        SETUP
        + f"""
result = [tn.build_histograms(*make(f, n, seed=f)) for make in ({", ".join(MAKERS)})
          for f, n in {BRANCH_CASES!r}]
"""
    )
    results = results_in_subprocess(code, threads=threads)
    cases = [(namespace[make], f, n) for make in MAKERS for f, n in BRANCH_CASES]
    for (make, n_features, n_sel), hist in zip(cases, results):
        assert same_bits(
            hist, reference.build_histograms(*make(n_features, n_sel, seed=n_features))
        )


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_fault_inside_a_worker_ends_the_call(threads):
    code = (
        SETUP
        + """
binned, rows, grad, hess, n_bins_max = problem(16, 20000, seed=2)
binned[11, rows[12345]] = n_bins_max + 4
try:
    tn.build_histograms(binned, rows, grad, hess, n_bins_max)
    message = None
except BaseException as exc:
    message = (type(exc).__name__, str(exc))
binned[11, rows[12345]] = 0
result = message, tn.build_histograms(binned, rows, grad, hess, n_bins_max)
"""
    )
    message, hist = results_in_subprocess(code, threads=threads)
    assert message == ("PanicException", bin_fault(50, 54))
    binned, rows, grad, hess, n_bins_max = problem(16, 20000, seed=2)
    binned[11, rows[12345]] = 0
    assert same_bits(hist, reference.build_histograms(binned, rows, grad, hess, n_bins_max))


def test_parallel_branch_under_tracemalloc():
    # Workers must not allocate through the traced allocator: with
    # tracemalloc on it waits for the interpreter lock, which the caller
    # holds until the loop is done.
    code = (
        SETUP
        + """
import tracemalloc
tracemalloc.start()
hist = tn.build_histograms(*problem(16, 20000, seed=4))
assert hist[:, :, 2].sum() == 16 * 20000
leaves = tn.apply_tree(np.zeros((40000, 1)), *[np.zeros(3, np.int32), np.zeros(3),
    np.array([1, 0, 0], np.int32), np.array([2, 0, 0], np.int32), np.array([-1, 4, 5], np.int32),
    np.zeros(3, bool), np.zeros(4, np.int64), np.zeros(0)])
assert (leaves == 4).all()
"""
    )
    proc = run_python(code, threads=2, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")


def test_every_pass_of_every_instruction_set_adds_in_row_order(tmp_path):
    sources = ["src/histogram/pass_table.cpp", "src/lib/cpu_features.cpp"]
    checked = run_native(tmp_path, "histogram_passes.cpp", sources).split()
    assert checked[0] == "baseline", checked
