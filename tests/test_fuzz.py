"""Property-based fuzzing of the seven functions.

Random shapes (zero-length axes included), layouts (offsets, steps, negative
steps, transposes, misaligned buffers, read-only views), NaN and infinities,
out-of-range and negative indices, wrong argument types and huge sizes. Every
call must return what a small reference below computes, bit for bit, or raise
the exception the reference predicts: TypeError or OverflowError for an
argument, MemoryError for a buffer that cannot be had, PanicException for a
broken invariant. The most crash-prone inputs (extreme indices, impossible
sizes, misaligned memory, cyclic trees) run in a child interpreter, whose exit
status tells whether one of them brought the process down.

Example counts are modest by default; TARNWICK_LONG_FUZZ=1 raises them to a few
thousand per function (scripts/sanitize.sh sets it).
"""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
import tarnwick_native as tn
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
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
I64_MAX = 2**63 - 1
# Requests at least this large are refused by the allocator on every machine
# this runs on (far beyond memory plus swap); smaller ones are never drawn huge.
UNOBTAINABLE = 2**42


class Fault(Exception):
    """The reference's broken invariant: the module must raise PanicException."""


def u64(v):
    return int(v) % 2**64


def is_c_contiguous(a):
    """Row-major without gaps; a zero-length axis passes, axes of length 1 are not tested."""
    if 0 in a.shape:
        return True
    expected = a.itemsize
    for n, step in zip(reversed(a.shape), reversed(a.strides)):
        if n != 1 and step != expected:
            return False
        expected *= n
    return True


def contiguous(a, message):
    if not is_c_contiguous(a):
        raise Fault(message)


def allocate(*shapes):
    """Outputs of float64 or int64 elements, all sized before any is made:
    "capacity overflow" when one has no signed 64-bit size (or NumPy could not
    describe its shape), MemoryError when no allocator could provide one."""
    for shape in shapes:
        if max(math.prod(shape), math.prod(n for n in shape if n)) * 8 > I64_MAX:
            raise Fault("capacity overflow")
    if any(math.prod(shape) * 8 >= UNOBTAINABLE for shape in shapes):
        raise MemoryError


def check(index, length):
    if u64(index) >= length:
        raise Fault("index out of bounds")


def span(order, s, e):
    """Positions [s, e) of order, all of which must exist (compared unsigned)."""
    s, e = int(s), int(e)
    if s >= e:
        return range(0)
    if s < 0 or e > len(order):
        raise Fault("position of order out of bounds")
    return range(s, e)


# ---------------------------------------------------------------- references


def ref_build_histograms(binned, rows, grad, hess, n_bins_max):
    contiguous(binned, "feature-major binned must be C-contiguous")
    n_features, n_rows = binned.shape
    allocate((n_features, n_bins_max, 3))
    if n_bins_max == 0 or n_rows == 0:
        raise Fault("chunk size must be non-zero")
    out = np.zeros((n_features, n_bins_max, 3))
    for f in range(n_features):
        for r in rows:
            for length in (n_rows, len(grad), len(hess)):
                check(r, length)
            b = int(binned[f, r])
            check(b, n_bins_max)
            out[f, b, 0] = grad[r] + out[f, b, 0]
            out[f, b, 1] = hess[r] + out[f, b, 1]
            out[f, b, 2] = out[f, b, 2] + 1.0
    return out


def ref_partition_rows(binned, rows, feature, bin, left_categories, missing_bin):
    contiguous(binned, "feature-major binned must be C-contiguous")
    n_features, n_rows = binned.shape
    if (feature + 1) * n_rows > n_features * n_rows:
        raise Fault("range end out of range")
    allocate((len(rows),), (len(rows),))
    table = None
    if left_categories is not None:
        table = {int(v) for v in left_categories if 0 <= v <= missing_bin}
    left, right = [], []
    for r in rows:
        check(r, n_rows)
        c = int(binned[feature, r])
        if table is None:
            go_left = c == missing_bin or c <= bin
        else:
            check(c, missing_bin + 1)
            go_left = c == missing_bin or c in table
        (left if go_left else right).append(int(r))
    return np.array(left, np.int64), np.array(right, np.int64)


def to_count(c):
    """Truncation toward zero, saturating; NaN counts 0."""
    if math.isnan(c):
        return 0
    if c >= 2.0**63:
        return I64_MAX
    return max(-(2**63), int(c))


def ref_find_best_split(
    hist,
    n_bins_per_feature,
    min_samples_leaf,
    l2,
    categorical_mask,
    cat_smooth,
    min_data_per_group,
    max_cat_threshold,
):
    n_f, n_b, n_c = hist.shape
    f64 = np.float64

    def at(f, b, c):
        if f >= n_f or b >= n_b or c >= n_c:
            raise Fault("array index out of bounds")
        return f64(hist[f, b, c])

    def bins_of(f):
        check(f, len(n_bins_per_feature))
        return u64(n_bins_per_feature[f])

    def is_categorical(f):
        check(f, len(categorical_mask))
        return bool(categorical_mask[f])

    with np.errstate(all="ignore"):
        l2 = f64(l2)
        totals = [f64(0.0)] * 3
        for b in range(n_b):
            totals = [totals[c] + at(0, b, c) for c in range(3)]
        g_p, h_p, c_p = totals
        parent = g_p * g_p / (h_p + l2)
        msl = f64(min_samples_leaf)
        best = None
        best_gain = f64(1e-12)

        def offer(f, b, g_l, h_l, c_l, cats):
            nonlocal best, best_gain
            c_r = c_p - c_l
            if msl > c_l or msl > c_r:
                return
            g_r, h_r = g_p - g_l, h_p - h_l
            gain = (g_l * g_l / (h_l + l2) + g_r * g_r / (h_r + l2)) - parent
            if np.isfinite(gain) and gain > best_gain:
                best_gain = gain
                best = (
                    f,
                    b,
                    float(gain),
                    to_count(c_l),
                    to_count(c_r),
                    None if cats is None else sorted(cats),
                )

        for f in range(n_f):
            if is_categorical(f):
                continue
            n = bins_of(f)
            if n < 2:
                continue
            missing = [at(f, n, c) for c in range(3)]
            g = h = c = f64(0.0)
            for t in range(n - 1):
                g, h, c = g + at(f, t, 0), h + at(f, t, 1), c + at(f, t, 2)
                offer(f, t, missing[0] + g, missing[1] + h, missing[2] + c, None)

        least = f64(max(1, min_data_per_group))
        for f in range(n_f):
            if not is_categorical(f):
                continue
            n = bins_of(f)
            if n == 0:
                continue
            if n > n_b:
                raise Fault("array index out of bounds")
            eligible = [b for b in range(n) if at(f, b, 2) >= least]
            if len(eligible) < 2:
                continue
            ratio = {b: at(f, b, 0) / (at(f, b, 1) + f64(cat_smooth)) for b in eligible}
            if any(np.isnan(v) for v in ratio.values()):
                raise Fault("finite sort ratios")
            ordered = sorted(eligible, key=lambda b: ratio[b])
            missing = [at(f, n, c) for c in range(3)]
            k_max = min(max(max_cat_threshold, 0), len(eligible) - 1)
            for scan in (ordered, ordered[::-1]):
                g = h = c = f64(0.0)
                for k in range(k_max):
                    b = scan[k]
                    g, h, c = g + at(f, b, 0), h + at(f, b, 1), c + at(f, b, 2)
                    offer(f, -1, missing[0] + g, missing[1] + h, missing[2] + c, scan[: k + 1])
    return best


def ref_apply_tree(
    x, feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values
):
    arrays = {
        "X": x,
        "feature": feature,
        "threshold": threshold,
        "left": left,
        "right": right,
        "leaf_id": leaf_id,
        "missing_left": missing_left,
        "cat_offsets": cat_offsets,
        "cat_values": cat_values,
    }
    for name, a in arrays.items():
        contiguous(a, f"{name} must be C-contiguous")
    n_rows, n_cols = x.shape
    allocate((n_rows,))
    flat = x.reshape(-1)
    out = np.zeros(n_rows, np.int64)
    for r in range(n_rows):
        node, visited = 0, 0
        while True:
            check(node, len(leaf_id))
            if leaf_id[node] >= 0:
                out[r] = leaf_id[node]
                break
            visited += 1
            if visited > len(leaf_id):
                raise Fault("cycle")
            check(node, len(feature))
            k = int(feature[node])
            if not 0 <= k < n_cols:
                raise Fault("column outside x")
            v = flat[r * n_cols + k]
            if math.isnan(v):
                check(node, len(missing_left))
                go_left = bool(missing_left[node])
            else:
                check(node + 1, len(cat_offsets))
                lo, hi = u64(cat_offsets[node]), u64(cat_offsets[node + 1])
                if lo < hi:
                    if hi > len(cat_values):
                        raise Fault("range end out of range")
                    go_left = bool(np.any(cat_values[lo:hi] == v))
                else:
                    check(node, len(threshold))
                    go_left = bool(v <= threshold[node])
            child = left if go_left else right
            check(node, len(child))
            node = u64(child[node])
    return out


def accumulate_rows(d, rows):
    """The five blocks of one linear slot from (g, h, x) in row order."""
    hz, gz = np.zeros(d), np.zeros(d)
    gram = np.zeros((d, d))
    lo, hi = np.full(d, INF), np.full(d, -INF)
    with np.errstate(all="ignore"):
        for g, h, x in rows:
            w = h * x
            hz = hz + w
            gz = gz + g * x
            lo = np.where(x < lo, x, lo)
            hi = np.where(x > hi, x, hi)
            gram = gram + np.outer(w, x)
    upper = np.triu(np.ones((d, d), bool))
    return np.where(upper, gram, gram.T), hz, gz, lo, hi


def leaf_stats(z, order, offsets, linear, column_of, each_leaf=lambda l: None):
    """The totals and output sizes of both leaf-statistics functions;
    column_of(l) gives leaf l's (grad, hess) as functions of a row id, checking
    what it must; each_leaf(l) checks what every leaf needs."""
    if len(offsets) == 0:
        raise Fault("offsets must hold at least one entry")
    n_leaves = len(offsets) - 1
    n_rows, d = z.shape
    allocate((n_leaves,), (n_leaves,))
    totals = np.zeros((2, n_leaves))
    for l in range(n_leaves):
        each_leaf(l)
        positions = span(order, offsets[l], offsets[l + 1])
        if positions:
            grad, hess = column_of(l)
            for j in positions:
                r = order[j]
                totals[0, l] += grad(r)
                totals[1, l] += hess(r)
    n_linear = len(linear)
    allocate((n_linear, d), (n_linear, d, d), (n_linear, d), (n_linear, d), (n_linear, d))
    return totals, n_leaves, n_linear, n_rows, d


def slots(z, order, offsets, linear, columns, n_linear, n_rows, d):
    blocks = [
        np.zeros((n_linear, d, d)),
        np.zeros((n_linear, d)),
        np.zeros((n_linear, d)),
        np.full((n_linear, d), INF),
        np.full((n_linear, d), -INF),
    ]
    for k in range(n_linear):
        leaf = u64(linear[k])
        grad, hess = columns(leaf)
        check(leaf, len(offsets))
        check(leaf + 1, len(offsets))
        rows = []
        for j in span(order, offsets[leaf], offsets[leaf + 1]):
            r = order[j]
            g, h = grad(r), hess(r)
            check(r, n_rows)
            rows.append((g, h, z[u64(r)]))
        for block, value in zip(blocks, accumulate_rows(d, rows)):
            block[k] = value
    gram, hz, gz, lo, hi = blocks
    return hz, gram, gz, lo, hi


def ref_leaf_linear_stats(z, grad, hess, order, offsets, linear):
    contiguous(z, "Z must be C-contiguous")

    def by_row(values):
        def read(r):
            check(r, len(grad))
            check(r, len(hess))
            return values[r]

        return read

    columns = lambda leaf: (by_row(grad), by_row(hess))  # noqa: E731
    totals, n_leaves, n_linear, n_rows, d = leaf_stats(z, order, offsets, linear, columns)
    if d == 0:
        return (
            totals[0],
            totals[1],
            np.zeros((n_linear, 0)),
            np.zeros((n_linear, 0, 0)),
            np.zeros((n_linear, 0)),
            np.zeros((n_linear, 0)),
            np.zeros((n_linear, 0)),
        )
    contiguous(linear, "linear indices must be C-contiguous")
    return (totals[0], totals[1]) + slots(z, order, offsets, linear, columns, n_linear, n_rows, d)


def ref_leaf_linear_stats_mc(z, grad, hess, order, offsets, linear, leaf_class):
    contiguous(z, "Z must be C-contiguous")
    contiguous(grad, "grad must be C-contiguous")
    contiguous(hess, "hess must be C-contiguous")
    if grad.shape != hess.shape:
        raise Fault("hess must have the same shape as grad")
    n_classes = grad.shape[1]

    def class_columns(leaf):
        check(leaf, len(leaf_class))
        c = u64(leaf_class[leaf])
        check(c, n_classes)

        def reader(values):
            def read(r):
                check(r, values.shape[0])
                return values[u64(r), c]

            return read

        return reader(grad), reader(hess)

    totals, n_leaves, n_linear, n_rows, d = leaf_stats(
        z, order, offsets, linear, class_columns, lambda l: check(l, len(leaf_class))
    )
    if n_linear == 0 or d == 0:
        return (
            totals[0],
            totals[1],
            np.zeros((n_linear, d)),
            np.zeros((n_linear, d, d)),
            np.zeros((n_linear, d)),
            np.full((n_linear, d), INF),
            np.full((n_linear, d), -INF),
        )
    contiguous(linear, "linear indices C-contiguous")
    contiguous(leaf_class, "leaf_class C-contiguous")
    return (totals[0], totals[1]) + slots(
        z, order, offsets, linear, class_columns, n_linear, n_rows, d
    )


def ref_predict_linear(leaf_idx, z, bias, weights, z_min, z_max, clip):
    for name, a in (
        ("leaf_idx", leaf_idx),
        ("Z", z),
        ("bias", bias),
        ("weights", weights),
        ("z_min", z_min),
        ("z_max", z_max),
    ):
        contiguous(a, f"{name} must be C-contiguous")
    n = len(leaf_idx)
    d = z.shape[1]
    allocate((n,))
    flat_z, w, lo, hi = (a.reshape(-1) for a in (z, weights, z_min, z_max))
    out = np.zeros(n)
    for i in range(n):
        l = u64(leaf_idx[i])
        if (i + 1) * d > flat_z.size or (l + 1) * d > w.size:
            raise Fault("range end out of range")
        check(l, len(bias))
        if clip and ((l + 1) * d > lo.size or (l + 1) * d > hi.size):
            raise Fault("range end out of range")
        acc = float(bias[l])
        for j in range(d):
            c = float(flat_z[i * d + j])
            if clip:
                low, high = float(lo[l * d + j]), float(hi[l * d + j])
                if not low <= high:
                    raise Fault("min > max, or either was NaN.")
                if c < low:
                    c = low
                if c > high:
                    c = high
            acc = acc + c * float(w[l * d + j])
        out[i] = acc
    return out


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


CASES = {
    "build_histograms": (
        histogram_case,
        ref_build_histograms,
        ["binned", "rows", "grad", "hess", "n_bins_max"],
    ),
    "partition_rows": (
        partition_case,
        ref_partition_rows,
        ["binned", "rows", "feature", "bin", "left_categories", "missing_bin"],
    ),
    "find_best_split": (
        split_case,
        ref_find_best_split,
        [
            "hist",
            "n_bins_per_feature",
            "min_samples_leaf",
            "l2",
            "categorical_mask",
            "cat_smooth",
            "min_data_per_group",
            "max_cat_threshold",
        ],
    ),
    "leaf_linear_stats": (
        stats_case,
        ref_leaf_linear_stats,
        ["z", "grad", "hess", "order", "offsets", "linear"],
    ),
    "leaf_linear_stats_mc": (
        stats_mc_case,
        ref_leaf_linear_stats_mc,
        ["z", "grad", "hess", "order", "offsets", "linear", "leaf_class"],
    ),
    "predict_linear": (
        predict_case,
        ref_predict_linear,
        ["leaf_idx", "z", "bias", "weights", "z_min", "z_max", "clip"],
    ),
    "apply_tree": (
        tree_case,
        ref_apply_tree,
        [
            "x",
            "feature",
            "threshold",
            "left",
            "right",
            "leaf_id",
            "missing_left",
            "cat_offsets",
            "cat_values",
        ],
    ),
}
NAMES = list(CASES)


# ---------------------------------------------------------------- properties


def reference_outcome(name, args):
    try:
        with np.errstate(all="ignore"):
            return "value", CASES[name][1](*args)
    except Fault:
        return "panic", None
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
        return "panic", exc


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
    names = CASES[name][2]
    n_positional = data.draw(st.integers(0, len(args)), label="positional")
    keywords = data.draw(st.permutations(names[n_positional:]), label="keywords")
    kwargs = {k: args[names.index(k)] for k in keywords}
    before = snapshot(args)
    got_kind, got = module_outcome(lambda: getattr(tn, name)(*args[:n_positional], **kwargs))
    kind, want = reference_outcome(name, args)
    assert got_kind == kind, (got_kind, got, kind)
    if kind == "value":
        assert_same(got, want)
    for a, copy in before:
        assert same_bits(a, copy)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_calls_match_the_reference(name, data):
    check_call(name, data.draw(CASES[name][0](wild=False), label="args"), data)


@pytest.mark.skipif(not IN_CHILD, reason="runs in a child interpreter")
@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_wild_calls_match_the_reference(name, data):
    check_call(name, data.draw(CASES[name][0](wild=True), label="args"), data)


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
    args = list(data.draw(CASES[name][0](wild=False), label="args"))
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
        assert str(info.value).startswith(f"argument '{CASES[name][2][i]}': ")
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
    kind, exc = module_outcome(call)
    assert kind == "panic" and str(exc) == "capacity overflow"
