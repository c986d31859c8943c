// predict_linear: the output of each row's embedded-linear leaf, the leaf's
// bias plus its weights dotted with the row's embedding, optionally clamped
// into the range the leaf saw while it was fitted.
//
// Each row's sum is one chain of additions in column order, so the rows are
// computed four at a time with their chains interleaved: the adder works on
// four independent sums instead of waiting on one.

#include "frame/fault.hpp"
#include "frame/text.hpp"
#include "lib/lanes.hpp"
#include "linear_leaf/linear_leaf.hpp"
#include "parallel/pool.hpp"

namespace tarnwick {
namespace {

constexpr uint64_t serial_limit = 65535;  // rows * d up to this run on the calling thread
constexpr uint64_t chunk_rows = 8192;
constexpr uint64_t block_rows = 4;
constexpr uint64_t prefetch_rows = 32;

/// A flat table read in slices of d values, one slice per row or leaf.
struct Slices {
    const double* values;
    uint64_t count;
    // Slice k lies inside when k < whole: k * d + d <= count is k < count / d
    // for d > 0, without a product that could wrap. With d = 0 every slice is
    // empty and inside; whole is then the largest 64-bit value, which only a
    // leaf of -1 reaches: the row blocks hand that row to predict_row, whose
    // check_slice lets it pass on to the bias check, which fails it.
    uint64_t whole;

    Slices(const Mat<double>& m, uint64_t d)
        : values(m.flat()), count(m.size()), whole(d == 0 ? UINT64_MAX : m.size() / d) {}
};

struct Tables {
    const int64_t* leaf_idx;
    uint64_t n;
    uint64_t d;
    Slices z;
    const double* bias;
    uint64_t n_bias;
    Slices weights;
    Slices z_min;
    Slices z_max;
};

[[noreturn, gnu::cold]] void slice_outside(uint64_t k, uint64_t d, uint64_t count) {
    uint64_t end;
    if (__builtin_mul_overflow(k, d, &end) || __builtin_add_overflow(end, d, &end))
        end = UINT64_MAX;
    range_end_out_of_range(end, count);
}

[[noreturn, gnu::cold]] void guard_failed(double lo, double hi) {
    fault(cat("min > max, or either was NaN. min = ", lo, ", max = ", hi));
}

inline void check_slice(uint64_t k, uint64_t d, const Slices& s) {
    if (k >= s.whole && d != 0) [[unlikely]]
        slice_outside(k, d, s.count);
}

/// The output of row i, with every check in the order the contract gives:
/// row, embedding slice, weight slice, bias, then (clipping) the bound
/// slices and each column's bounds just before the column is used.
template <bool Clip>
double predict_row(uint64_t i, const Tables& t) {
    check_index(i, t.n);
    const uint64_t d = t.d;
    // Unsigned, so a negative leaf fails the checks below.
    const uint64_t l = uint64_t(t.leaf_idx[i]);
    check_slice(i, d, t.z);
    check_slice(l, d, t.weights);
    check_index(l, t.n_bias);
    const double* x = t.z.values + i * d;
    const double* w = t.weights.values + l * d;
    double acc = t.bias[l];
    if constexpr (!Clip) {
        for (uint64_t j = 0; j < d; ++j) acc += x[j] * w[j];
    } else {
        check_slice(l, d, t.z_min);
        check_slice(l, d, t.z_max);
        const double* lo = t.z_min.values + l * d;
        const double* hi = t.z_max.values + l * d;
        for (uint64_t j = 0; j < d; ++j) {
            // Ordered comparison: a NaN bound fails too.
            if (!(lo[j] <= hi[j])) guard_failed(lo[j], hi[j]);
            double c = x[j];
            if (c < lo[j]) c = lo[j];
            if (c > hi[j]) c = hi[j];
            acc += c * w[j];
        }
    }
    return acc;
}

/// The D products c * w of one row into p, two columns at a time, c clamped
/// into [lo, hi] first when clipping. False when a pair of bounds is not
/// ordered (lo > hi, or a NaN).
template <bool Clip, uint64_t D>
[[gnu::always_inline]] inline bool row_products(const double* x, const double* w, const double* lo,
                                                const double* hi, double* p) {
    MaskOf<Lanes2> ordered = {-1, -1};
    for (uint64_t j = 0; j < D; j += 2) {
        Lanes2 c, weight;
        load(c, x + j);
        load(weight, w + j);
        if constexpr (Clip) {
            Lanes2 low, high;
            load(low, lo + j);
            load(high, hi + j);
            ordered &= low <= high;
            // A NaN c stays NaN; a c equal to a bound stays itself.
            c = c < low ? low : c;
            c = c > high ? high : c;
        }
        store(p + j, c * weight);
    }
    return all_lanes(ordered);
}

/// Rows i0 .. i0 + 3 with interleaved sums. Faults nothing: returns false
/// when any check of these rows would fail, and the caller then runs
/// predict_row on them in order, which reports the first failure.
template <bool Clip, uint64_t D>
[[gnu::always_inline]] inline bool predict_block(uint64_t i0, const Tables& t, double* out) {
    const uint64_t d = D != 0 ? D : t.d;
    const double* x[block_rows];
    const double* w[block_rows];
    const double* lo[block_rows];
    const double* hi[block_rows];
    double acc[block_rows];
    bool inside = true;
    for (uint64_t q = 0; q < block_rows; ++q) {
        const uint64_t i = i0 + q;
        const uint64_t l = uint64_t(t.leaf_idx[i]);
        inside &= (i < t.z.whole) & (l < t.weights.whole) & (l < t.n_bias);
        if constexpr (Clip) inside &= (l < t.z_min.whole) & (l < t.z_max.whole);
        if (!inside) return false;
        x[q] = t.z.values + i * d;
        w[q] = t.weights.values + l * d;
        lo[q] = t.z_min.values + l * d;
        hi[q] = t.z_max.values + l * d;
        acc[q] = t.bias[l];
    }
    if constexpr (D != 0 && D % 2 == 0) {
        // Products (and clamps) are per element and run in vectors; only
        // the sums are chains, and the four rows' chains interleave.
        double products[block_rows][D];
        bool ordered = true;
        for (uint64_t q = 0; q < block_rows; ++q)
            ordered &= row_products<Clip, D>(x[q], w[q], lo[q], hi[q], products[q]);
        if (!ordered) return false;
        for (uint64_t j = 0; j < D; ++j)
            for (uint64_t q = 0; q < block_rows; ++q) acc[q] += products[q][j];
    } else {
        bool ordered = true;
        for (uint64_t j = 0; j < d; ++j) {
            for (uint64_t q = 0; q < block_rows; ++q) {
                double c = x[q][j];
                if constexpr (Clip) {
                    const double low = lo[q][j];
                    const double high = hi[q][j];
                    ordered &= low <= high;
                    c = c < low ? low : c;
                    c = c > high ? high : c;
                }
                acc[q] += c * w[q][j];
            }
        }
        if (!ordered) return false;
    }
    for (uint64_t q = 0; q < block_rows; ++q) out[i0 + q] = acc[q];
    return true;
}

template <bool Clip, uint64_t D>
void predict_rows(uint64_t begin, uint64_t end, const Tables& t, double* out) {
    const uint64_t d = D != 0 ? D : t.d;
    // z is read front to back; asking for it a little early keeps the
    // loads from waiting on memory. Prefetches past the end are harmless,
    // so the address is computed as a plain number.
    const uintptr_t z_ahead =
        reinterpret_cast<uintptr_t>(t.z.values) + prefetch_rows * d * sizeof(double);
    uint64_t i = begin;
    for (; i + block_rows <= end; i += block_rows) {
        const uintptr_t ahead = z_ahead + i * d * sizeof(double);
        for (uint64_t byte = 0; byte < block_rows * d * sizeof(double); byte += 64)
            __builtin_prefetch(reinterpret_cast<const void*>(ahead + byte));
        if (!predict_block<Clip, D>(i, t, out)) [[unlikely]]
            for (uint64_t q = 0; q < block_rows; ++q) out[i + q] = predict_row<Clip>(i + q, t);
    }
    for (; i < end; ++i) out[i] = predict_row<Clip>(i, t);
}

using RowsFn = void (*)(uint64_t, uint64_t, const Tables&, double*);

template <bool Clip>
RowsFn rows_for_width(uint64_t d) {
    return with_unrolled_width(d, []<uint64_t D>() -> RowsFn { return predict_rows<Clip, D>; });
}

}  // namespace

Buffer<double> predict_linear(const Vec<int64_t>& leaf_idx, const Mat<double>& z,
                              const Vec<double>& bias, const Mat<double>& weights,
                              const Mat<double>& z_min, const Mat<double>& z_max, bool clip) {
    // Every table is read as flat memory, the bounds even when clip is off.
    require_c_contiguous(leaf_idx, "leaf_idx must be C-contiguous");
    require_c_contiguous(z, "Z must be C-contiguous");
    require_c_contiguous(bias, "bias must be C-contiguous");
    require_c_contiguous(weights, "weights must be C-contiguous");
    require_c_contiguous(z_min, "z_min must be C-contiguous");
    require_c_contiguous(z_max, "z_max must be C-contiguous");

    const uint64_t n = leaf_idx.len();
    const uint64_t d = z.shape[1];
    const Tables t{leaf_idx.flat(),
                   n,
                   d,
                   Slices(z, d),
                   bias.flat(),
                   bias.len(),
                   Slices(weights, d),
                   Slices(z_min, d),
                   Slices(z_max, d)};
    Buffer<double> out = Buffer<double>::zeroed(n);
    const RowsFn rows = clip ? rows_for_width<true>(d) : rows_for_width<false>(d);

    uint64_t work;
    if (!__builtin_mul_overflow(n, d, &work) && work <= serial_limit) {
        rows(0, n, t, out.data());
    } else {
        double* o = out.data();
        parallel_for_each(chunk_count(n, chunk_rows), [&](uint64_t begin, uint64_t end) {
            for (uint64_t c = begin; c < end; ++c) {
                const uint64_t first = c * chunk_rows;
                rows(first, first + chunk_rows < n ? first + chunk_rows : n, t, o);
            }
        });
    }
    return out;
}

}  // namespace tarnwick
