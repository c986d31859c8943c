"""One slow, plain reference per function of the module, shared by the kernel
tests and the fuzz tests.

Each takes the module function's arguments (any layout: strided, reversed,
misaligned, read-only) and returns what the module must return, bit for bit,
or raises what it must raise: Fault carrying the exact message of the
PanicException, or MemoryError for a buffer that no allocator can provide.
Checks come in the order the module makes them: layouts first, then the
buffers the pass needs, then every read as the pass reaches it, and last the
conversion of the results into arrays. (A result shape that NumPy cannot
describe only arises where the pass has nothing left to read, so the
references check it just before they make their own arrays.)
"""

import math

import numpy as np

U64 = 2**64
U64_MAX = U64 - 1
I64_MAX = 2**63 - 1
INF = math.inf
# Requests at least this large are refused by the allocator on every machine
# this runs on (far beyond memory plus swap); the tests draw no smaller huge ones.
UNOBTAINABLE = 2**42
# Row-feature pairs from which build_histograms takes its parallel branch.
PARALLEL_PAIRS = 131072
# Features in one item of build_histograms' parallel branch.
FEATURES_PER_PASS = 4
# Rows from which apply_tree takes its parallel branch.
PARALLEL_ROWS = 16384
# Rows of one item of the parallel branches of apply_tree and predict_linear.
CHUNK_ROWS = 8192
# Work (columns times rows) above which the leaf statistics and
# predict_linear take their parallel branches.
SERIAL_WORK = 65535


class Fault(Exception):
    """A broken invariant: the module raises PanicException with this message,
    or with one of `others`: in a parallel branch every item runs on its own,
    and the fault reported is that of whichever faulting item fails first."""

    def __init__(self, message, others=()):
        super().__init__(message)
        self.messages = {message, *others}


# ---------------------------------------------------------------- checks


def u64(v):
    """v as the module reads an index: unsigned, so a negative one is huge."""
    return int(v) % U64


def index_fault(length, index):
    return Fault(f"index out of bounds: the len is {length} but the index is {u64(index)}")


def check(index, length):
    """Index `index` into a sequence of `length`, compared unsigned."""
    if u64(index) >= length:
        raise index_fault(length, index)


def range_end_fault(end, length):
    return Fault(f"range end index {end} out of range for slice of length {length}")


def slice_end(start, count):
    """start + count, or the largest 64-bit value where that does not fit."""
    return min(start + count, U64_MAX)


def check_slice(k, d, flat_size):
    """Slice k of d values in a flat table of flat_size values."""
    end = slice_end(k * d, d)
    if end > flat_size:
        raise range_end_fault(end, flat_size)


def run_items(items, run, parallel):
    """run(item) for every item in order. Serially the first fault ends the
    call; in a parallel branch any item's fault may be the one reported."""
    faults = []
    for item in items:
        try:
            run(item)
        except Fault as fault:
            if not parallel:
                raise
            faults.append(str(fault))
    if faults:
        raise Fault(faults[0], faults[1:])


def chunks(n, size):
    """[begin, end) of consecutive pieces of `size` (the last may be shorter)."""
    return [(begin, min(begin + size, n)) for begin in range(0, n, size)]


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


def require_c_contiguous(a, message):
    if not is_c_contiguous(a):
        raise Fault(message)


def buffers(*counts):
    """Native buffers of `counts` 8-byte elements, all sized before any is
    allocated: "capacity overflow" for one whose size in bytes does not fit a
    signed 64-bit size, MemoryError for one that cannot be had."""
    for n in counts:
        if n * 8 > I64_MAX:
            raise Fault("capacity overflow")
    if any(n * 8 >= UNOBTAINABLE for n in counts):
        raise MemoryError


def results(*shapes):
    """Result arrays of 8-byte elements: NumPy describes an array only if the
    element size times its non-zero axes fits a signed 64-bit size."""
    for shape in shapes:
        if math.prod(n for n in shape if n) * 8 > I64_MAX:
            raise Fault("capacity overflow")


def format_double(v):
    """The shortest form that reads back to v, as the module writes doubles:
    "1.0", "1e-5", "1e16", "inf", "-inf", "NaN"."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    text = repr(float(v))
    if "e" in text:
        mantissa, exponent = text.split("e")
        return f"{mantissa}e{int(exponent)}"
    return text


# ---------------------------------------------------------------- histograms


def build_histograms(binned, rows, grad, hess, n_bins_max):
    """Feature by feature, rows in order: sum = grad + sum, hess + sum,
    count + 1.0. np.add.at is unbuffered and applies the indices in order, so
    repeated bins receive their additions in row order. Every row id is
    checked first (against binned, grad and hess), and a bad one is reported
    unless feature 0 holds a code not below n_bins_max at an earlier row; then
    each item (a feature, or a pass of four in parallel) reports its first bad
    code."""
    require_c_contiguous(binned, "feature-major binned must be C-contiguous")
    n_features, n_rows = binned.shape
    n_cells = n_features * n_bins_max * 3
    if n_features * n_bins_max > I64_MAX or n_cells > I64_MAX:
        raise Fault("capacity overflow")
    buffers(n_cells)
    parallel = n_features * len(rows) >= PARALLEL_PAIRS
    if n_bins_max == 0 or n_rows == 0:
        raise Fault("chunk_size must not be zero" if parallel else "chunk size must be non-zero")
    results((n_features, n_bins_max, 3))
    out = np.zeros((n_features, n_bins_max, 3))
    if n_features == 0 or len(rows) == 0:
        return out
    ids = np.asarray(rows).astype(np.uint64)
    bad = np.flatnonzero(ids >= min(n_rows, len(grad), len(hess)))

    def check_codes(f, n):
        """Feature f's codes of the first n rows."""
        codes = binned[f, ids[:n].astype(np.int64)]
        outside = np.flatnonzero(codes >= n_bins_max)
        if len(outside):
            raise index_fault(3 * n_bins_max, 3 * int(codes[outside[0]]))
        return codes

    if len(bad):
        check_codes(0, bad[0])
        for length in (n_rows, len(grad), len(hess)):
            check(ids[bad[0]], length)
    size = FEATURES_PER_PASS if parallel else 1
    run_items(
        chunks(n_features, size),
        lambda item: [check_codes(f, len(ids)) for f in range(*item)],
        parallel,
    )
    valid = ids.astype(np.int64)
    with np.errstate(all="ignore"):
        for f in range(n_features):
            codes = binned[f, valid]
            np.add.at(out[f, :, 0], codes, grad[valid])
            np.add.at(out[f, :, 1], codes, hess[valid])
            np.add.at(out[f, :, 2], codes, 1.0)
    return out


# ---------------------------------------------------------------- split search


def to_count(c):
    """Truncation toward zero, saturating at both ends; NaN counts 0."""
    if math.isnan(c):
        return 0
    if c >= 2.0**63:
        return I64_MAX
    if c <= -(2.0**63):
        return -(2**63)
    return int(c)


def ratio_less(a, b):
    if math.isnan(a[0]) or math.isnan(b[0]):
        raise Fault("finite sort ratios")
    return a[0] < b[0]


def insertion_sort(items):
    items = list(items)
    for i in range(1, len(items)):
        j = i
        while j > 0 and ratio_less(items[j], items[j - 1]):
            items[j], items[j - 1] = items[j - 1], items[j]
            j -= 1
    return items


def merge_sort(items):
    if len(items) <= 1:
        return list(items)
    mid = len(items) // 2
    left, right = merge_sort(items[:mid]), merge_sort(items[mid:])
    out = []
    i = j = 0
    while i < len(left) and j < len(right):
        if ratio_less(right[j], left[i]):
            out.append(right[j])
            j += 1
        else:
            out.append(left[i])
            i += 1
    return out + left[i:] + right[j:]


def sort_by_ratio(items):
    """A stable sort of (ratio, code) pairs by ratio, comparison by comparison."""
    return insertion_sort(items) if len(items) <= 20 else merge_sort(items)


def find_best_split(
    hist,
    n_bins_per_feature,
    min_samples_leaf,
    l2,
    categorical_mask,
    cat_smooth,
    min_data_per_group,
    max_cat_threshold,
):
    """The best numeric threshold, then category subset, in the module's
    operation order; None when no candidate beats the floor."""
    F = np.float64
    hist = np.array(hist, dtype=np.float64)
    n_bins = [u64(v) for v in n_bins_per_feature]
    mask = [bool(v) for v in categorical_mask]
    n_features, n_bin_axis, channels = hist.shape
    l2 = F(l2)
    with np.errstate(all="ignore"):
        gp = hp = cp = F(0.0)
        if n_bin_axis == 0:
            parent = F(0.0) / (l2 + F(0.0))
        else:
            if n_features == 0 or channels < 3:
                raise Fault("array index out of bounds")
            for b in range(n_bin_axis):
                gp += hist[0, b, 0]
                hp += hist[0, b, 1]
                cp += hist[0, b, 2]
            parent = gp * gp / (hp + l2)
        msl = F(float(min_samples_leaf))
        best = {"gain": F(1e-12), "result": None}

        def offer(f, b, gl, hl, cl, cats):
            cr = cp - cl
            if msl > cl or msl > cr:
                return
            gr = gp - gl
            hr = hp - hl
            gain = (gl * gl / (hl + l2) + gr * gr / (hr + l2)) - parent
            if np.isfinite(gain) and gain > best["gain"]:
                best["gain"] = gain
                best["result"] = (
                    f,
                    b,
                    float(gain),
                    to_count(cl),
                    to_count(cr),
                    None if cats is None else sorted(cats),
                )

        def feature_count(f):
            check(f, len(n_bins))
            return n_bins[f]

        def is_categorical(f):
            check(f, len(mask))
            return mask[f]

        for f in range(n_features):
            if is_categorical(f):
                continue
            n = feature_count(f)
            if n < 2:
                continue
            if n >= n_bin_axis:
                raise Fault("array index out of bounds")
            gm, hm, cm = hist[f, n, 0], hist[f, n, 1], hist[f, n, 2]
            g = h = c = F(0.0)
            for t in range(n - 1):
                g += hist[f, t, 0]
                h += hist[f, t, 1]
                c += hist[f, t, 2]
                offer(f, t, gm + g, hm + h, cm + c, None)

        min_count = F(float(max(1, min_data_per_group)))
        for f in range(n_features):
            if not is_categorical(f):
                continue
            n = feature_count(f)
            if n == 0:
                continue
            if channels < 3:
                raise Fault("array index out of bounds")
            eligible = []
            for b in range(n):
                if b >= n_bin_axis:
                    raise Fault("array index out of bounds")
                if hist[f, b, 2] >= min_count:
                    eligible.append(b)
            if len(eligible) < 2:
                continue
            ordered = [
                code
                for _, code in sort_by_ratio(
                    [(hist[f, b, 0] / (hist[f, b, 1] + F(cat_smooth)), b) for b in eligible]
                )
            ]
            if n >= n_bin_axis:
                raise Fault("array index out of bounds")
            gm, hm, cm = hist[f, n, 0], hist[f, n, 1], hist[f, n, 2]
            steps = min(max(max_cat_threshold, 0), len(eligible) - 1)
            for order in (ordered, ordered[::-1]):
                g = h = c = F(0.0)
                for k in range(1, steps + 1):
                    b = order[k - 1]
                    g += hist[f, b, 0]
                    h += hist[f, b, 1]
                    c += hist[f, b, 2]
                    offer(f, -1, gm + g, hm + h, cm + c, order[:k])
    return best["result"]


# ---------------------------------------------------------------- routing


def partition_rows(binned, rows, feature, bin, left_categories, missing_bin):
    """The rows whose code goes left, and the others, each in input order: a
    code goes left when it is the missing bin, or at most `bin` (numeric), or
    listed (categorical; a code above the missing bin is then a fault)."""
    require_c_contiguous(binned, "feature-major binned must be C-contiguous")
    n_features, n_rows = binned.shape
    end = slice_end(feature * n_rows, n_rows)
    if end > n_features * n_rows:
        raise range_end_fault(end, n_features * n_rows)
    buffers(len(rows), len(rows))
    ids = np.asarray(rows, dtype=np.int64)
    bad = np.flatnonzero(ids.astype(np.uint64) >= n_rows)
    n_valid = int(bad[0]) if len(bad) else len(ids)
    valid = ids[:n_valid]
    codes = binned[feature, valid].astype(np.int64) if n_valid else np.zeros(0, np.int64)
    if left_categories is None:
        go_left = (codes == missing_bin) | (codes <= bin)
    else:
        outside = np.flatnonzero(codes > missing_bin)
        if len(outside):
            raise index_fault(missing_bin + 1, codes[outside[0]])
        table = np.zeros(missing_bin + 1, dtype=bool)
        listed = np.asarray(left_categories, dtype=np.int64)
        table[listed[(listed >= 0) & (listed <= missing_bin)]] = True
        table[missing_bin] = True
        go_left = table[codes]
    if n_valid < len(ids):
        raise index_fault(n_rows, ids[n_valid])
    return valid[go_left], valid[~go_left]


def apply_tree(x, feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values):
    """Leaf ids of all rows, each row's walk reading every entry checked
    against its own array; the first failing row's fault."""
    arrays = (x, feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values)
    names = "X feature threshold left right leaf_id missing_left cat_offsets cat_values".split()
    for name, a in zip(names, arrays):
        require_c_contiguous(a, f"{name} must be C-contiguous")
    n_rows, n_cols = x.shape
    buffers(n_rows)
    tree = (feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values)
    out = np.zeros(n_rows, np.int64)

    def route_chunk(chunk):
        for r in range(*chunk):
            out[r] = route_row(x, r, tree)

    run_items(chunks(n_rows, CHUNK_ROWS), route_chunk, n_rows >= PARALLEL_ROWS)
    results((n_rows,))
    return out


def route_row(x, r, tree):
    """The leaf id that row r of x reaches."""
    feature, threshold, left, right, leaf_id, missing_left, cat_offsets, cat_values = tree

    def read(array, i):
        check(i, len(array))
        return array[i]

    n_cols = x.shape[1]
    node, visited = 0, 0
    while True:
        read(leaf_id, node)
        visited += 1
        if visited > len(leaf_id):
            raise Fault(
                f"tree walk of row {r} visited more than {len(leaf_id)} nodes: "
                "the child links form a cycle"
            )
        if leaf_id[node] >= 0:
            return int(leaf_id[node])
        column = int(read(feature, node))
        check(column, n_cols)
        v = x[r, column]
        if math.isnan(v):
            go_left = bool(read(missing_left, node))
        else:
            lo = u64(read(cat_offsets, node))
            hi = u64(read(cat_offsets, node + 1))
            if lo < hi:
                if hi > len(cat_values):
                    raise range_end_fault(hi, len(cat_values))
                go_left = any(v == c for c in cat_values[lo:hi])
            else:
                go_left = v <= read(threshold, node)
        node = int(read(left if go_left else right, node))


# ---------------------------------------------------------------- linear leaves


def leaf_span(order, s, e):
    """The positions of a leaf's rows, each checked against order as the
    pass reaches it: none when s >= e, and unsigned, so a negative start is
    outside."""
    s, e = int(s), int(e)
    for t in range(max(e - s, 0)):
        j = u64(s + t)
        check(j, len(order))
        yield j


def leaf_totals(order, offsets, n_leaves, column_of):
    """Gradient and hessian totals of every leaf, each added in row order from
    +0.0; column_of(l) gives leaf l's (grad, hess) readers, or None for a
    leaf whose rows are never read."""
    totals = np.zeros((2, n_leaves))
    for l in range(n_leaves):
        columns = column_of(l)
        if columns is None:
            continue
        grad, hess = columns
        g_sum = h_sum = 0.0
        for j in leaf_span(order, offsets[l], offsets[l + 1]):
            r = int(order[j])
            g_sum += grad(r)
            h_sum += hess(r)
        totals[:, l] = g_sum, h_sum
    return totals


def slot_buffers(n_linear, d):
    """The five slot outputs, every size checked before the first exists."""
    cells = n_linear * d * d
    if n_linear * d > I64_MAX or cells > I64_MAX or cells * 8 > I64_MAX:
        raise Fault("capacity overflow")
    buffers(n_linear * d, cells, n_linear * d, n_linear * d, n_linear * d)


def empty_slots(n_linear, d):
    """hz_sum, gram, gz_sum, z_min and z_max holding their initial values."""
    return (
        np.zeros((n_linear, d)),
        np.zeros((n_linear, d, d)),
        np.zeros((n_linear, d)),
        np.full((n_linear, d), INF),
        np.full((n_linear, d), -INF),
    )


def fill_slot(slots, k, leaf, z, order, offsets, grad, hess):
    """Linear slot k from the rows of leaf `leaf`, element by element in row
    order; each row's reads are checked in the order grad, hess, z."""
    check(leaf, len(offsets))
    check(leaf + 1, len(offsets))
    n_rows, d = z.shape
    hz, gz = [0.0] * d, [0.0] * d
    lo, hi = [INF] * d, [-INF] * d
    gram = [[0.0] * d for _ in range(d)]
    for j in leaf_span(order, offsets[leaf], offsets[leaf + 1]):
        r = u64(order[j])
        g, h = grad(r), hess(r)
        if r >= n_rows:
            raise range_end_fault(slice_end(r * d, d), n_rows * d)
        x = z[r].tolist()
        for i in range(d):
            w = h * x[i]
            hz[i] += w
            gz[i] += g * x[i]
            # Strict tests: a NaN never enters, and of equal values the first stays.
            if x[i] < lo[i]:
                lo[i] = x[i]
            if x[i] > hi[i]:
                hi[i] = x[i]
            for jj in range(i, d):
                gram[i][jj] += x[jj] * w
    for i in range(1, d):
        for c in range(i):
            gram[i][c] = gram[c][i]
    for block, values in zip(slots, (hz, gram, gz, lo, hi)):
        block[k] = values


def slots_in_parallel(n_linear, d, order):
    """Whether the linear slots go to the pool, one slot per item."""
    return n_linear >= 2 and d * len(order) > SERIAL_WORK


def column_reader(values, column=None):
    """Row r's value of a 1-D vector, or of one column of a matrix, each read
    checked against the vector's row count."""

    def read(r):
        check(r, values.shape[0])
        return float(values[u64(r)] if column is None else values[u64(r), column])

    return read


def leaf_linear_stats(z, grad, hess, order, offsets, linear):
    """Leaf totals of every leaf, then the five blocks of every linear slot."""
    require_c_contiguous(z, "Z must be C-contiguous")
    if len(offsets) == 0:
        raise Fault("offsets must hold at least one entry")
    n_leaves, n_linear, d = len(offsets) - 1, len(linear), z.shape[1]
    columns = (column_reader(grad), column_reader(hess))
    buffers(n_leaves, n_leaves)
    totals = leaf_totals(order, offsets, n_leaves, lambda l: columns)
    slot_buffers(n_linear, d)
    if d:
        require_c_contiguous(linear, "linear indices must be C-contiguous")
    results((n_leaves,), (n_linear, d), (n_linear, d, d))
    slots = empty_slots(n_linear, d)
    if d:

        def fill(k):
            fill_slot(slots, k, u64(linear[k]), z, order, offsets, *columns)

        run_items(range(n_linear), fill, slots_in_parallel(n_linear, d, order))
    return (totals[0], totals[1], *slots)


def leaf_linear_stats_mc(z, grad, hess, order, offsets, linear, leaf_class):
    """leaf_linear_stats pooled over class trees: leaf l reads column
    leaf_class[l] of the (n_rows, n_classes) grad and hess."""
    require_c_contiguous(z, "Z must be C-contiguous")
    require_c_contiguous(grad, "grad must be C-contiguous")
    require_c_contiguous(hess, "hess must be C-contiguous")
    if grad.shape != hess.shape:
        raise Fault("hess must have the same shape as grad")
    n_classes = grad.shape[1]
    if len(offsets) == 0:
        raise Fault("offsets must hold at least one entry")
    n_leaves, n_linear, d = len(offsets) - 1, len(linear), z.shape[1]

    def class_columns(leaf):
        c = int(leaf_class[leaf])
        if u64(c) >= n_classes:
            raise Fault(f"leaf_class entry {c} is not a class id below n_classes = {n_classes}")
        return column_reader(grad, u64(c)), column_reader(hess, u64(c))

    def totals_columns(l):
        # Every leaf needs a class entry; only a leaf with rows reads it.
        check(l, len(leaf_class))
        return class_columns(l) if int(offsets[l]) < int(offsets[l + 1]) else None

    buffers(n_leaves, n_leaves)
    totals = leaf_totals(order, offsets, n_leaves, totals_columns)
    slot_buffers(n_linear, d)
    if n_linear and d:
        require_c_contiguous(linear, "linear indices C-contiguous")
        require_c_contiguous(leaf_class, "leaf_class C-contiguous")
    results((n_leaves,), (n_linear, d), (n_linear, d, d))
    slots = empty_slots(n_linear, d)
    if n_linear and d:

        def fill(k):
            leaf = u64(linear[k])
            check(leaf, len(leaf_class))
            fill_slot(slots, k, leaf, z, order, offsets, *class_columns(leaf))

        run_items(range(n_linear), fill, slots_in_parallel(n_linear, d, order))
    return (totals[0], totals[1], *slots)


def predict_linear(leaf_idx, z, bias, weights, z_min, z_max, clip):
    """bias[l] plus row i's embedding dotted with leaf l's weights, l =
    leaf_idx[i], each term added in column order; with clip, each value is
    first clamped into [z_min, z_max] of its leaf, whose bounds must be ordered."""
    for name, a in (
        ("leaf_idx", leaf_idx),
        ("Z", z),
        ("bias", bias),
        ("weights", weights),
        ("z_min", z_min),
        ("z_max", z_max),
    ):
        require_c_contiguous(a, f"{name} must be C-contiguous")
    n, d = len(leaf_idx), z.shape[1]
    buffers(n)
    flat_z, w, lo, hi = (a.reshape(-1).tolist() for a in (z, weights, z_min, z_max))
    b = bias.tolist()
    out = np.zeros(n)

    def predict_row(i, l):
        check_slice(i, d, len(flat_z))
        check_slice(l, d, len(w))
        check(l, len(b))
        if clip:
            check_slice(l, d, len(lo))
            check_slice(l, d, len(hi))
        acc = b[l]
        for j in range(d):
            c = flat_z[i * d + j]
            if clip:
                low, high = lo[l * d + j], hi[l * d + j]
                if not low <= high:
                    raise Fault(
                        f"min > max, or either was NaN. min = {format_double(low)}, "
                        f"max = {format_double(high)}"
                    )
                if c < low:
                    c = low
                if c > high:
                    c = high
            acc += c * w[l * d + j]
        out[i] = acc

    leaves = [u64(v) for v in leaf_idx.tolist()]

    def predict_chunk(chunk):
        for i in range(*chunk):
            predict_row(i, leaves[i])

    run_items(chunks(n, CHUNK_ROWS), predict_chunk, n * d > SERIAL_WORK)
    results((n,))
    return out
