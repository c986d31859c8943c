"""partition_rows against the reference, a boolean-mask partition of the same rows."""

import ctypes
import os
import platform
import sys
import tracemalloc

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from reference import Fault
from support import expect_fault, same_bits

NOT_C_CONTIGUOUS = "feature-major binned must be C-contiguous"
# The panic_type fixture only looks up a class; sharing it across examples is safe.
FIXTURE_OK = [HealthCheck.function_scoped_fixture]


def assert_partition(result, expected):
    left, right = result
    for got, want in zip((left, right), expected):
        assert got.dtype == np.int64 and got.ndim == 1
        assert got.flags.c_contiguous and got.flags.writeable
        assert type(got.base).__name__ == "PySliceContainer"
        assert same_bits(got, np.asarray(want, dtype=np.int64))


def assert_still_works():
    binned = np.array([[0, 1, 2, 3]], dtype=np.uint16)
    left, right = tn.partition_rows(binned, np.arange(4), 0, 1, None, 3)
    assert left.tolist() == [0, 1, 3] and right.tolist() == [2]


def expect_panic(panic_type, message, *args):
    expect_fault(panic_type, message, "partition_rows", *args)
    assert_still_works()


def strided_rows(rows, layout):
    if layout == "reversed":
        return rows[::-1].copy()[::-1]
    if layout == "gapped":
        big = np.full(2 * len(rows) + 1, -9, dtype=np.int64)
        big[1::2] = rows
        return big[1::2]
    return rows


@st.composite
def partition_inputs(draw):
    n_features = draw(st.integers(1, 3))
    n_rows = draw(st.integers(1, 40))
    missing_bin = draw(st.sampled_from([0, 1, 3, 7, 65535]))
    top = min(missing_bin, 9)
    binned = draw(arrays(np.uint16, (n_features, n_rows), elements=st.integers(0, top)))
    rows = np.array(draw(st.lists(st.integers(0, n_rows - 1), max_size=60)), dtype=np.int64)
    feature = draw(st.integers(0, n_features - 1))
    if draw(st.booleans()):
        left_categories = None
    else:
        left_categories = np.array(
            draw(st.lists(st.one_of(st.integers(0, top), st.integers(-3, 70000)), max_size=6)),
            dtype=np.int64,
        )
        left_categories = strided_rows(left_categories, draw(st.sampled_from(["c", "reversed"])))
    bin = draw(st.one_of(st.integers(-2, top + 1), st.sampled_from([-(2**63), 2**63 - 1])))
    layout = draw(st.sampled_from(["c", "reversed", "gapped"]))
    return binned, strided_rows(rows, layout), feature, bin, left_categories, missing_bin


@settings(max_examples=300, deadline=None)
@given(partition_inputs())
def test_matches_mask_partition(inputs):
    assert_partition(tn.partition_rows(*inputs), reference.partition_rows(*inputs))


@settings(max_examples=100, deadline=None, suppress_health_check=FIXTURE_OK)
@given(partition_inputs(), st.integers(-3, 50), st.integers(0, 11))
def test_faults_where_the_reference_does(panic_type, inputs, row, code):
    binned, rows, feature, bin, left_categories, missing_bin = inputs
    binned = binned.copy()
    rows = np.append(rows, row)
    binned[feature, min(max(row, 0), binned.shape[1] - 1)] = code
    try:
        expected = reference.partition_rows(
            binned, rows, feature, bin, left_categories, missing_bin
        )
    except Fault as fault:
        expect_panic(
            panic_type, str(fault), binned, rows, feature, bin, left_categories, missing_bin
        )
    else:
        assert_partition(
            tn.partition_rows(binned, rows, feature, bin, left_categories, missing_bin), expected
        )


def test_rows_keep_their_order_and_repeats():
    binned = np.arange(12, dtype=np.uint16).reshape(1, 12)
    binned[0, [2, 9]] = 0
    result = tn.partition_rows(binned, np.array([5, 2, 9, 2]), 0, 0, None, 11)
    assert_partition(result, ([2, 9, 2], [5]))
    result = tn.partition_rows(binned, np.array([5, 2, 9, 2]), 0, 99, np.array([0]), 11)
    assert_partition(result, ([2, 9, 2], [5]))


@pytest.mark.parametrize(
    "bin, expected_left",
    [
        (-1, [3]),
        (-(2**63), [3]),
        (0, [0, 3]),
        (2, [0, 1, 2, 3]),
        (65534, [0, 1, 2, 3]),
        (65535, [0, 1, 2, 3, 4]),
        (2**63 - 1, [0, 1, 2, 3, 4]),
    ],
)
def test_numeric_threshold_keeps_its_full_width(bin, expected_left):
    binned = np.array([[0, 1, 2, 7, 65535]], dtype=np.uint16)
    result = tn.partition_rows(binned, np.arange(5), 0, bin, None, 7)
    assert_partition(result, (expected_left, sorted(set(range(5)) - set(expected_left))))


@pytest.mark.parametrize("left_categories", [None, np.array([], np.int64), np.array([0, 1, 2])])
def test_missing_code_always_goes_left(left_categories):
    binned = np.array([[4, 0, 4, 1]], dtype=np.uint16)
    left, _ = tn.partition_rows(binned, np.arange(4), 0, -1, left_categories, 4)
    assert {0, 2} <= set(left.tolist())


def test_empty_category_list_differs_from_none():
    binned = np.array([[0, 5, 1, 2]], dtype=np.uint16)
    rows = np.arange(4)
    assert_partition(
        tn.partition_rows(binned, rows, 0, 1, np.array([], np.int64), 5), ([1], [0, 2, 3])
    )
    assert_partition(tn.partition_rows(binned, rows, 0, 1, None, 5), ([0, 1, 2], [3]))


def test_categories_outside_the_table_have_no_effect():
    binned = np.array([[0, 1, 2, 3, 3]], dtype=np.uint16)
    listed = np.array([-3, 4, 2**63 - 1, -(2**63), 1])
    assert_partition(tn.partition_rows(binned, np.arange(5), 0, 0, listed, 3), ([1, 3, 4], [0, 2]))


def test_code_above_missing_bin_faults_only_under_the_categorical_rule(panic_type):
    binned = np.array([[0, 9, 1]], dtype=np.uint16)
    rows = np.arange(3)
    assert_partition(tn.partition_rows(binned, rows, 0, 0, None, 2), ([0], [1, 2]))
    expect_panic(
        panic_type,
        "index out of bounds: the len is 3 but the index is 9",
        binned,
        rows,
        0,
        0,
        np.array([0]),
        2,
    )


def test_strided_rows_and_categories():
    binned = np.array([[0, 1, 2, 3, 4, 5]], dtype=np.uint16)
    rows = np.array([5, 0, 4, 1, 3, 2, 2, 3])[::-2]
    listed = np.array([0, 9, 3, 9, 2])[::2]
    assert_partition(tn.partition_rows(binned, rows, 0, 0, listed, 6), ([3, 2, 0], [1]))


def test_reads_only_the_chosen_feature():
    binned = np.array([[0, 0, 0], [5, 1, 5], [9, 9, 9]], dtype=np.uint16)
    assert_partition(tn.partition_rows(binned, np.arange(3), 1, 1, None, 9), ([1], [0, 2]))


def test_large_node_on_huge_page_backed_outputs():
    # Outputs of several MiB are backed by huge pages where the system allows.
    rng = np.random.default_rng(8)
    binned = rng.integers(0, 9, (2, 1_200_000), dtype=np.uint16)
    rows = np.flatnonzero(rng.random(1_200_000) < 0.9)
    for _ in range(3):
        result = tn.partition_rows(binned, rows, 1, 3, None, 8)
        assert_partition(result, reference.partition_rows(binned, rows, 1, 3, None, 8))


def freed_by_dropping(holder, key):
    """Bytes that tracemalloc sees released when holder[key], the only
    reference to an array, is dropped."""
    before = tracemalloc.get_traced_memory()[0]
    del holder[key]
    return before - tracemalloc.get_traced_memory()[0]


def malloc_usable_size(array):
    """The allocator's own size of the block under an array's data."""
    libc = ctypes.CDLL(None)
    libc.malloc_usable_size.restype = ctypes.c_size_t
    libc.malloc_usable_size.argtypes = [ctypes.c_void_p]
    return libc.malloc_usable_size(array.ctypes.data)


# Raw allocations come straight from malloc (no debug hooks in front of the block).
PLAIN_MALLOC = os.environ.get("PYTHONMALLOC", "") in ("", "malloc", "pymalloc")


@pytest.mark.skipif(
    platform.libc_ver()[0] != "glibc",
    reason="outputs shrink in place only where the allocator is known to do so without a copy",
)
@pytest.mark.parametrize("left_categories", [None, np.array([0, 4], np.int64)])
@pytest.mark.parametrize("layout", ["contiguous", "gapped"])
@pytest.mark.parametrize(
    "n_rows, share_left",
    # Small outputs, and outputs of 4 MiB and more (backed by huge pages).
    [(1000, 0.1), (600_000, 0.1), (600_000, 0.97), (300, 0.0), (300, 1.0)],
)
def test_each_child_owns_memory_for_its_rows_only(n_rows, share_left, layout, left_categories):
    rng = np.random.default_rng(n_rows)
    # Code 0 goes left under both rules (bin 0; categories 0 and 4), code 2 right.
    codes = np.where(rng.random(n_rows) < share_left, 0, 2).astype(np.uint16)
    binned = np.stack([codes, codes[::-1]])
    rows = strided_rows(rng.permutation(n_rows).astype(np.int64), layout)
    tracemalloc.start()
    try:
        left, right = tn.partition_rows(binned, rows, 0, 0, left_categories, 9)
        want = reference.partition_rows(binned, rows, 0, 0, left_categories, 9)
        assert_partition((left, right), want)
        if PLAIN_MALLOC:
            sizes = [(c.nbytes, malloc_usable_size(c)) for c in (left, right)]
            assert all(n <= usable < n + 4096 for n, usable in sizes)
        children = {"left": left, "right": right}
        del left, right
        for key in ("left", "right"):
            data_bytes = max(children[key].nbytes, 1)
            # The data, the array object and its container.
            assert data_bytes <= freed_by_dropping(children, key) < data_bytes + 1024
    finally:
        tracemalloc.stop()


def test_empty_rows_give_empty_children():
    binned = np.zeros((2, 3), dtype=np.uint16)
    assert_partition(tn.partition_rows(binned, np.zeros(0, np.int64), 1, 0, None, 1), ([], []))


def test_empty_row_axis_accepts_any_feature():
    binned = np.zeros((2, 0), dtype=np.uint16)
    rows = np.zeros(0, np.int64)
    assert_partition(tn.partition_rows(binned, rows, 2**64 - 1, 0, None, 1), ([], []))


def test_column_major_binned_faults(panic_type):
    binned = np.asfortranarray(np.zeros((2, 3), dtype=np.uint16))
    expect_panic(panic_type, NOT_C_CONTIGUOUS, binned, np.arange(3), 0, 0, None, 1)


@pytest.mark.parametrize(
    "feature, message",
    [
        (2, "range end index 12 out of range for slice of length 8"),
        (5, "range end index 24 out of range for slice of length 8"),
        (2**62, "range end index 18446744073709551615 out of range for slice of length 8"),
        (2**64 - 1, "range end index 18446744073709551615 out of range for slice of length 8"),
    ],
)
def test_feature_outside_the_matrix_faults(panic_type, feature, message):
    binned = np.zeros((2, 4), dtype=np.uint16)
    expect_panic(panic_type, message, binned, np.arange(4), feature, 0, None, 1)


@pytest.mark.parametrize("left_categories", [None, np.array([1])])
@pytest.mark.parametrize("row, index", [(4, 4), (-1, 2**64 - 1), (-(2**63), 2**63)])
def test_row_outside_the_matrix_faults(panic_type, left_categories, row, index):
    binned = np.zeros((1, 4), dtype=np.uint16)
    expect_panic(
        panic_type,
        f"index out of bounds: the len is 4 but the index is {index}",
        binned,
        np.array([0, 1, row, 2]),
        0,
        0,
        left_categories,
        1,
    )


@pytest.mark.parametrize("missing_bin", [65536, -1])
def test_missing_bin_must_fit_sixteen_bits(missing_bin):
    binned = np.zeros((1, 2), dtype=np.uint16)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tn.partition_rows(binned, np.arange(2), 0, 0, None, missing_bin)
    assert_still_works()


def test_largest_missing_bin_is_accepted():
    binned = np.array([[65535, 3, 0]], dtype=np.uint16)
    assert_partition(
        tn.partition_rows(binned, np.arange(3), 0, 0, np.array([3]), 65535), ([0, 1], [2])
    )


def test_category_list_must_be_an_array():
    binned = np.zeros((1, 2), dtype=np.uint16)
    with pytest.raises(TypeError, match="^argument 'left_categories'"):
        tn.partition_rows(binned, np.arange(2), 0, 0, [1], 3)
    assert_still_works()


def test_faults_leave_inputs_untouched_and_references_balanced(panic_type):
    binned = np.array([[0, 1, 7, 2]], dtype=np.uint16)
    rows = np.array([0, 1, 2, 3])
    listed = np.array([1])
    before = [sys.getrefcount(a) for a in (binned, rows, listed)]
    copies = [a.copy() for a in (binned, rows, listed)]
    for _ in range(50):
        with pytest.raises(panic_type):
            tn.partition_rows(binned, rows, 0, 0, listed, 3)
    assert [sys.getrefcount(a) for a in (binned, rows, listed)] == before
    assert all(np.array_equal(a, c) for a, c in zip((binned, rows, listed), copies))
