"""apply_tree: leaf ids against the reference walk, layouts, faults and branches."""

import numpy as np
import pytest
import reference
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from reference import Fault
from support import expect_fault, results_in_subprocess, same_bits

CONTIGUITY_MESSAGES = [
    f"{name} must be C-contiguous"
    for name in "X feature threshold left right leaf_id missing_left cat_offsets cat_values".split()
]
DTYPES = [
    np.float64,
    np.int32,
    np.float64,
    np.int32,
    np.int32,
    np.int32,
    np.bool_,
    np.int64,
    np.float64,
]
U64 = 2**64


def index_fault(length, index):
    return f"index out of bounds: the len is {length} but the index is {index % U64}"


def cycle_fault(row, n_nodes):
    return f"tree walk of row {row} visited more than {n_nodes} nodes: the child links form a cycle"


def contiguous_tree(tree):
    return [np.ascontiguousarray(a, dtype=d) for a, d in zip(tree, DTYPES[1:])]


def apply(x, tree):
    return tn.apply_tree(x, *contiguous_tree(tree))


def reference_leaves(x, tree):
    """The reference's leaf ids, for the arrays that apply passes."""
    return reference.apply_tree(x, *contiguous_tree(tree))


def expect_tree_fault(panic_type, message, x, tree):
    expect_fault(panic_type, message, "apply_tree", x, *contiguous_tree(tree))


def assert_matches_reference(panic_type, x, tree):
    try:
        expected = reference_leaves(x, tree)
    except Fault as fault:
        expect_tree_fault(panic_type, str(fault), x, tree)
        return
    result = apply(x, tree)
    assert result.dtype == np.int64 and result.flags.c_contiguous
    assert same_bits(result, expected)


# Values that meet thresholds and category codes exactly, from either side.
VALUES = [0.0, -0.0, 1.0, 1.5, np.nextafter(1.5, 2.0), 2.0, 2.5, -3.0, np.inf, -np.inf, np.nan]


@st.composite
def trees(draw, n_cols):
    """A random tree (node 0 the root, nodes numbered in a random order)."""
    n_internal = draw(st.integers(0, 12))
    n_nodes = 2 * n_internal + 1
    order = [0] + draw(st.permutations(range(1, n_nodes)))
    feature = np.zeros(n_nodes, np.int32)
    threshold = np.zeros(n_nodes)
    left = np.zeros(n_nodes, np.int32)
    right = np.zeros(n_nodes, np.int32)
    leaf_id = np.zeros(n_nodes, np.int32)
    missing_left = np.zeros(n_nodes, bool)
    categories = [[] for _ in range(n_nodes)]
    # Grow by splitting a random leaf; order[] renumbers the nodes.
    leaves, used = [0], 1
    for _ in range(n_internal):
        split = leaves.pop(draw(st.integers(0, len(leaves) - 1)))
        node = order[split]
        feature[node] = draw(st.integers(0, n_cols - 1))
        left[node], right[node] = order[used], order[used + 1]
        leaves += [used, used + 1]
        used += 2
        missing_left[node] = draw(st.booleans())
        leaf_id[node] = draw(st.integers(-5, -1))
        if draw(st.booleans()):
            categories[node] = draw(st.lists(st.sampled_from(VALUES), min_size=1, max_size=11))
        else:
            threshold[node] = draw(st.sampled_from(VALUES))
    for leaf in leaves:
        leaf_id[order[leaf]] = draw(st.integers(0, 40))
    cat_offsets = np.concatenate([[0], np.cumsum([len(c) for c in categories])])
    cat_values = np.array([v for c in categories for v in c], np.float64)
    return [feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values]


@st.composite
def problems(draw):
    n_cols = draw(st.integers(1, 4))
    n_rows = draw(st.integers(0, 40))
    x = np.array(
        draw(st.lists(st.sampled_from(VALUES), min_size=n_rows * n_cols, max_size=n_rows * n_cols)),
        np.float64,
    ).reshape(n_rows, n_cols)
    return x, draw(trees(n_cols))


# panic_type only looks up the exception class, so sharing it across examples is safe.
FIXTURE_OK = [HealthCheck.function_scoped_fixture]


@settings(max_examples=300, deadline=None, suppress_health_check=FIXTURE_OK)
@given(problems())
def test_matches_reference(panic_type, problem):
    assert_matches_reference(panic_type, *problem)


@st.composite
def broken_trees(draw):
    """A valid tree with one entry spoiled or one array cut short."""
    x, tree = draw(problems())
    tree = [a.copy() for a in tree]
    which = draw(st.integers(0, 7))
    if draw(st.booleans()) and len(tree[which]) > 0:
        tree[which] = tree[which][: draw(st.integers(0, len(tree[which]) - 1))]
    elif len(tree[which]) > 0:
        i = draw(st.integers(0, len(tree[which]) - 1))
        spoiled = {
            0: [-1, x.shape[1], 100],
            2: [-1, 0, len(tree[4]), 2**31 - 1],
            3: [-1, 0, len(tree[4])],
            6: [-1, 2**40, len(tree[7]) + 1],
        }
        if which in spoiled:
            tree[which][i] = draw(st.sampled_from(spoiled[which]))
    return x, tree


@settings(max_examples=300, deadline=None, suppress_health_check=FIXTURE_OK)
@given(broken_trees())
def test_broken_trees_fault_as_the_reference_walk(panic_type, problem):
    assert_matches_reference(panic_type, *problem)


def numeric_stump(threshold=1.5, missing_left=False, column=0):
    """Root tests `column`; leaf 7 on the left, leaf 9 on the right."""
    return [
        np.array([column, 0, 0]),
        np.array([threshold, 0, 0]),
        np.array([1, 0, 0]),
        np.array([2, 0, 0]),
        np.array([-1, 7, 9]),
        np.array([missing_left, 0, 0]),
        np.zeros(4),
        np.zeros(0),
    ]


def categorical_stump(codes, missing_left=False):
    tree = numeric_stump(missing_left=missing_left)
    tree[6] = np.array([0, len(codes), len(codes), len(codes)])
    tree[7] = np.array(codes, np.float64)
    return tree


def test_numeric_threshold_sends_ties_left():
    x = np.array([[1.5], [np.nextafter(1.5, 2.0)], [-np.inf], [np.inf]])
    assert apply(x, numeric_stump()).tolist() == [7, 9, 7, 9]


def test_nan_threshold_sends_every_value_right():
    x = np.array([[1.0], [-np.inf], [np.nan]])
    assert apply(x, numeric_stump(threshold=np.nan, missing_left=True)).tolist() == [9, 9, 7]


@pytest.mark.parametrize("missing_left, leaf", [(True, 7), (False, 9)])
def test_nan_goes_where_the_node_says(missing_left, leaf):
    x = np.array([[np.nan]])
    assert apply(x, numeric_stump(missing_left=missing_left)).tolist() == [leaf]
    # Even when the categories hold a NaN.
    tree = categorical_stump([np.nan, 2.0], missing_left=missing_left)
    assert apply(x, tree).tolist() == [leaf]


def test_categories_match_by_ieee_equality():
    x = np.array([[2.0], [2.5], [-0.0], [0.0], [np.inf]])
    tree = categorical_stump([5.0, 2.0, 0.0, np.nan])
    assert apply(x, tree).tolist() == [7, 9, 7, 7, 9]


@pytest.mark.parametrize("n_codes", [7, 8, 9, 16, 17, 30])
def test_membership_over_long_category_lists(n_codes):
    codes = np.arange(n_codes, dtype=np.float64) * 2.0
    x = np.arange(-1, 2 * n_codes + 1, dtype=np.float64)[:, None]
    expected = [7 if v in codes else 9 for v in x[:, 0]]
    assert apply(x, categorical_stump(codes)).tolist() == expected


def test_root_leaf_reads_no_column():
    tree = [
        np.zeros(0),
        np.zeros(0),
        np.zeros(0),
        np.zeros(0),
        np.array([5]),
        np.zeros(0),
        np.zeros(0),
        np.zeros(0),
    ]
    assert apply(np.zeros((4, 0)), tree).tolist() == [5] * 4


def test_no_rows_reads_no_tree():
    empty = [np.zeros(0)] * 8
    result = apply(np.zeros((0, 3)), empty)
    assert result.dtype == np.int64 and result.shape == (0,)


def test_leaf_id_is_widened():
    tree = [
        np.zeros(1),
        np.zeros(1),
        np.zeros(1),
        np.zeros(1),
        np.array([2**31 - 1]),
        np.zeros(1),
        np.zeros(2),
        np.zeros(0),
    ]
    assert apply(np.zeros((2, 1)), tree).tolist() == [2**31 - 1] * 2


@pytest.mark.parametrize("which", range(9))
@pytest.mark.parametrize("layout", ["reversed", "strided"])
def test_non_contiguous_arrays_fail_in_argument_order(panic_type, which, layout):
    arrays = [np.zeros((3, 2))] + contiguous_tree(numeric_stump())
    arrays[5][:] = [5, 5, 5]
    # Every later array is broken too; the first one is reported.
    for i in range(which, 9):
        a = arrays[i]
        if layout == "reversed":
            arrays[i] = np.ascontiguousarray(a[::-1])[::-1] if a.ndim == 1 else a[::-1]
        else:
            doubled = np.repeat(a, 2, axis=-1)
            arrays[i] = doubled[..., ::2]
        if a.ndim == 1 and len(a) < 2:
            arrays[i] = np.zeros(4, a.dtype)[::2]
    with pytest.raises(panic_type, match=f"^{CONTIGUITY_MESSAGES[which]}$"):
        tn.apply_tree(*arrays)
    # Column-major x is the classic case.
    if which == 0:
        with pytest.raises(panic_type, match="^X must be C-contiguous$"):
            tn.apply_tree(np.zeros((3, 2), order="F"), *contiguous_tree(numeric_stump()))


def test_short_arrays_pass_while_their_entries_are_not_read():
    # Only NaN rows reach node 0, so its threshold and categories are never read.
    tree = [
        np.array([0]),
        np.zeros(0),
        np.array([1, 0, 0]),
        np.array([2, 0, 0]),
        np.array([-1, 7, 9]),
        np.array([True]),
        np.zeros(0),
        np.zeros(0),
    ]
    assert apply(np.full((20, 1), np.nan), tree).tolist() == [7] * 20


FAULT_CASES = {
    "negative child": (numeric_stump(), 3, -1, index_fault(3, -1)),
    "child past the tree": (numeric_stump(), 3, 3, index_fault(3, 3)),
    "column past the row": (numeric_stump(), 0, 2, index_fault(2, 2)),
    "negative column": (numeric_stump(), 0, -1, index_fault(2, -1)),
    "cycle": (numeric_stump(), 3, 0, cycle_fault(0, 3)),
    "category range past the codes": (
        categorical_stump([1.0]),
        6,
        5,
        "range end index 5 out of range for slice of length 1",
    ),
}


@pytest.mark.parametrize("case", FAULT_CASES)
@pytest.mark.parametrize("n_rows", [1, 20])  # fewer rows than nodes, and more
def test_faults_end_in_panic_and_the_next_call_works(panic_type, case, n_rows):
    tree, which, value, message = FAULT_CASES[case]
    tree = [np.array(a) for a in tree]
    tree[which][1 if which == 6 else 0] = value
    x = np.array([[3.0, 0.0]] * n_rows)
    expect_tree_fault(panic_type, message, x, tree)
    assert apply(x, numeric_stump()).tolist() == [9] * n_rows


def test_empty_leaf_id_fails_once_there_is_a_row(panic_type):
    tree = numeric_stump()
    tree[4] = np.zeros(0)
    expect_tree_fault(panic_type, index_fault(0, 0), np.zeros((1, 1)), tree)


def test_first_failing_row_is_reported(panic_type):
    # Row 0 reaches a child of -1, row 1 an out-of-range column; with many
    # rows descending at once, row 0's fault is still the one reported.
    tree = [
        np.array([0, 99, 0]),
        np.array([0.0, 0.0, 0.0]),
        np.array([1, 0, 0]),
        np.array([2, 0, -1]),
        np.array([-1, -1, -1]),
        np.zeros(3, bool),
        np.zeros(4),
        np.zeros(0),
    ]
    x = np.array([[1.0], [-1.0]] * 40)
    expect_tree_fault(panic_type, index_fault(3, -1), x, tree)
    expect_tree_fault(panic_type, index_fault(1, 99), x[1:], tree)


# Inputs built the same way in this process and in the subprocesses: a
# depth-6 tree with categorical nodes and NaN in x.
SETUP = """
import numpy as np
import tarnwick_native as tn

def problem(n_rows, seed=0):
    rng = np.random.default_rng(seed)
    n_cols, n_internal = 5, 40
    n_nodes = 2 * n_internal + 1
    feature = rng.integers(0, n_cols, n_nodes).astype(np.int32)
    threshold = rng.standard_normal(n_nodes)
    left = np.zeros(n_nodes, np.int32)
    right = np.zeros(n_nodes, np.int32)
    leaf_id = np.arange(n_nodes, dtype=np.int32)
    leaves = [0]
    for i in range(n_internal):
        node = leaves.pop(rng.integers(len(leaves)))
        left[node], right[node] = 2 * i + 1, 2 * i + 2
        leaf_id[node] = -1
        leaves += [2 * i + 1, 2 * i + 2]
    missing_left = rng.random(n_nodes) < 0.5
    counts = np.where((rng.random(n_nodes) < 0.3) & (leaf_id < 0), rng.integers(1, 12, n_nodes), 0)
    cat_offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    cat_values = rng.integers(0, 6, cat_offsets[-1]).astype(np.float64)
    x = rng.standard_normal((n_rows, n_cols))
    x[:, :2] = rng.integers(0, 6, (n_rows, 2))
    x[rng.random((n_rows, n_cols)) < 0.05] = np.nan
    return x, [feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values]
"""
namespace = {}
exec(SETUP, namespace)
problem = namespace["problem"]

ROW_COUNTS = [16383, 16384, 20000]


@pytest.mark.parametrize("n_rows", ROW_COUNTS)
def test_both_branches_match_reference(n_rows):
    x, tree = problem(n_rows)
    assert same_bits(apply(x, tree), reference_leaves(x, tree))


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_thread_count_does_not_change_results(threads):
    code = (
        SETUP + f"result = [tn.apply_tree(*((x,) + tuple(t))) for x, t in "
        f"(problem(n) for n in {ROW_COUNTS!r})]"
    )
    for n_rows, result in zip(ROW_COUNTS, results_in_subprocess(code, threads=threads)):
        x, tree = problem(n_rows)
        assert same_bits(result, reference_leaves(x, tree))


@pytest.mark.parametrize("threads", [1, 2, 3, 7])
def test_fault_inside_a_worker_ends_the_call(threads):
    # Only row 17001 (in the third chunk) takes the root's missing-value
    # branch, whose child is past the tree.
    code = (
        SETUP
        + """
x, tree = problem(20000)
root_column = tree[0][0]
x[:, root_column] = np.nan_to_num(x[:, root_column])
saved = x[17001, root_column]
x[17001, root_column] = np.nan
tree[2 if tree[5][0] else 3][0] = 10**6
try:
    tn.apply_tree(x, *tree)
    message = None
except BaseException as exc:
    message = (type(exc).__name__, str(exc))
x[17001, root_column] = saved
result = message, tn.apply_tree(x, *problem(20000)[1])
"""
    )
    message, leaves = results_in_subprocess(code, threads=threads)
    x, tree = problem(20000)
    assert message == ("PanicException", index_fault(len(tree[4]), 10**6))
    root_column = tree[0][0]
    x[:, root_column] = np.nan_to_num(x[:, root_column])
    assert same_bits(leaves, reference_leaves(x, tree))
