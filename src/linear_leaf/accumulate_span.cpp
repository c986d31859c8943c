// The row loop of one linear slot, the hot loop of fitting linear leaves.
//
// Every row adds its hessian-weighted embedding, its gradient projection,
// its column range and the upper triangle of its weighted outer product into
// the slot's blocks. Each element takes its terms in position order; elements
// are independent of each other, so the loops over columns work on vectors of
// neighbouring elements (never on several terms of one element), and two rows
// are added in one sweep over the block, the first row's term before the
// second's, which halves the loads and stores of the block.
//
// Widths 8, 16 and 32 get their own unrolled copies, and every copy exists
// for two vector widths: two lanes on the baseline instruction set and four
// with AVX2, chosen at run time. Products and sums are the same IEEE
// operations in both (no fused multiply-add), so the bits do not depend on
// the choice; the one freedom left is which NaN survives where two NaNs of
// different payload meet in a sum, which IEEE leaves open.
#include <cstring>

#include "frame/fault.hpp"
#include "lib/lanes.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {
namespace {

// Rows ahead whose embedding is requested early: a leaf's rows are scattered
// over z, so each embedding row is a cache miss, and the loop would otherwise
// wait for memory on every row.
constexpr uint64_t prefetch_distance = 12;

/// The slot's blocks and the rows of one sweep.
template <int R>
struct Sweep {
    double* __restrict gram;
    double* __restrict hz;
    double* __restrict gz;
    double* __restrict zmin;
    double* __restrict zmax;
    const double* x[R];
    double g[R];
    double h[R];
};

/// Column statistics of elements [i, i + lane_count<V>) for the R rows, in row
/// order; V is a lane vector, or double for a single element.
template <class V, int R>
[[gnu::always_inline]] inline void add_columns_at(Sweep<R>& s, uint64_t i) {
    V hz, gz, lo, hi;
    load(hz, s.hz + i);
    load(gz, s.gz + i);
    load(lo, s.zmin + i);
    load(hi, s.zmax + i);
    for (int q = 0; q < R; ++q) {
        V v;
        load(v, s.x[q] + i);
        hz = hz + s.h[q] * v;
        gz = gz + s.g[q] * v;
        // Strict tests: a NaN never enters, and of equal values the first stays.
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    store(s.hz + i, hz);
    store(s.gz + i, gz);
    store(s.zmin + i, lo);
    store(s.zmax + i, hi);
}

/// Column statistics of every column, a vector of columns at a time.
template <class V, uint64_t D, int R>
[[gnu::always_inline]] inline void add_columns(Sweep<R>& s, uint64_t d_runtime) {
    constexpr uint64_t L = lane_count<V>;
    const uint64_t d = D != 0 ? D : d_runtime;
    uint64_t i = 0;
    for (; i + L <= d; i += L) add_columns_at<V>(s, i);
    if constexpr (D == 0 || D % L != 0)
        for (; i < d; ++i) add_columns_at<double>(s, i);
}

/// gram[i][j .. j + lane_count<V>) of a width without its own copy, the R
/// rows' terms in row order; V is a lane vector, or double for one element.
template <class V, int R>
[[gnu::always_inline]] inline void add_gram_at(const Sweep<R>& s, const double (&w)[R], double* row,
                                               uint64_t j) {
    V sum;
    load(sum, row + j);
    for (int q = 0; q < R; ++q) {
        V x;
        load(x, s.x[q] + j);
        sum = sum + x * w[q];
    }
    store(row + j, sum);
}

/// The upper triangle of a width without its own copy: gram[i][j] +=
/// x[j] * (h * x[i]) for j >= i, the product h * x[i] rounded first.
template <class V, int R>
[[gnu::always_inline]] inline void add_gram_any(Sweep<R>& s, uint64_t d) {
    constexpr uint64_t L = lane_count<V>;
    for (uint64_t i = 0; i < d; ++i) {
        double w[R];
        for (int q = 0; q < R; ++q) w[q] = s.h[q] * s.x[q][i];
        double* row = s.gram + i * d;
        uint64_t j = i;
        for (; j < d && j % L != 0; ++j) add_gram_at<double>(s, w, row, j);
        for (; j + L <= d; j += L) add_gram_at<V>(s, w, row, j);
        for (; j < d; ++j) add_gram_at<double>(s, w, row, j);
    }
}

/// The upper triangle of width D, a multiple of the vector width. The rows'
/// embedding vectors are loaded once and serve every Gram row; each row of
/// the block is unrolled, so its start and lane mask are constants.
template <class V, uint64_t D, int R>
[[gnu::always_inline]] inline void add_gram_fixed(Sweep<R>& s) {
    constexpr uint64_t L = lane_count<V>;
    constexpr uint64_t n_vectors = D / L;
    V x[R][n_vectors];
    for (int q = 0; q < R; ++q)
        for (uint64_t v = 0; v < n_vectors; ++v) load(x[q][v], s.x[q] + v * L);
    V lane;
    for (uint64_t k = 0; k < L; ++k) lane[k] = double(k);
#pragma GCC unroll 32
    for (uint64_t i = 0; i < D; ++i) {
        double w[R];
        for (int q = 0; q < R; ++q) w[q] = s.h[q] * s.x[q][i];
        double* row = s.gram + i * D;
        // The vector holding column i may start left of it; those lanes
        // (lower triangle) keep their values unchanged.
        for (uint64_t v = i / L; v < n_vectors; ++v) {
            V old, sum;
            load(old, row + v * L);
            sum = old;
            for (int q = 0; q < R; ++q) sum = sum + x[q][v] * w[q];
            if (v == i / L && i % L != 0) sum = lane >= double(i % L) ? sum : old;
            store(row + v * L, sum);
        }
    }
}

template <class V, uint64_t D, int R>
[[gnu::always_inline]] inline void add_rows(Sweep<R>& s, uint64_t d_runtime) {
    add_columns<V, D, R>(s, d_runtime);
    if constexpr (D != 0 && D % lane_count<V> == 0)
        add_gram_fixed<V, D, R>(s);
    else
        add_gram_any<V, R>(s, D != 0 ? D : d_runtime);
}

[[noreturn, gnu::cold]] void embedding_row_outside(uint64_t r, uint64_t d, uint64_t count) {
    uint64_t end;
    if (__builtin_mul_overflow(r, d, &end) || __builtin_add_overflow(end, d, &end))
        end = UINT64_MAX;
    range_end_out_of_range(end, count);
}

/// The checked reads of the row at one position: position, row id against
/// grad, hess and z, in that order.
struct RowFetch {
    const char* order;
    int64_t order_stride;
    uint64_t order_len;
    RowColumn grad;
    RowColumn hess;
    const double* z;
    uint64_t z_count;
    uint64_t z_rows;
    uint64_t d;

    [[gnu::always_inline]] uint64_t row_at(uint64_t j) const {
        int64_t r;
        std::memcpy(&r, order + int64_t(j) * order_stride, sizeof r);
        return uint64_t(r);
    }

    template <int R>
    [[gnu::always_inline]] void fetch(Sweep<R>& s, int q, uint64_t j) const {
        check_index(j, order_len);
        const uint64_t r = row_at(j);
        check_index(r, grad.len);
        check_index(r, hess.len);
        // r * d + d <= n_rows * d is r < n_rows, without the product that could wrap.
        if (r >= z_rows) [[unlikely]]
            embedding_row_outside(r, d, z_count);
        s.g[q] = grad[r];
        s.h[q] = hess[r];
        s.x[q] = z + r * d;
    }

    /// Asks for the embedding, gradient and hessian of the row at position j
    /// ahead of their use; positions from `readable` on are not read.
    [[gnu::always_inline]] void prefetch(uint64_t j, uint64_t readable) const {
        if (j >= readable) return;
        const uint64_t r = row_at(j);
        if (r >= z_rows || r >= grad.len || r >= hess.len) return;
        const char* row = reinterpret_cast<const char*>(z + r * d);
        for (uint64_t byte = 0; byte < d * sizeof(double); byte += 64)
            __builtin_prefetch(row + byte);
        __builtin_prefetch(row + d * sizeof(double) - 1);
        __builtin_prefetch(grad.data + int64_t(r) * grad.stride);
        __builtin_prefetch(hess.data + int64_t(r) * hess.stride);
    }
};

template <class V, uint64_t D>
[[gnu::always_inline]] inline void span_loop(const SlotBlocks& out, const Embedding& z,
                                             const Vec<int64_t>& order, int64_t s, int64_t e,
                                             RowColumn grad, RowColumn hess) {
    if (s >= e) return;
    const uint64_t d = D != 0 ? D : z.d;
    const RowFetch rows{order.data, order.strides[0], order.len(), grad, hess,
                        z.values,   z.count,          z.count / d, d};
    // Positions compare unsigned, so a negative start fails the first check.
    const uint64_t first = uint64_t(s);
    const uint64_t count = uint64_t(e) - uint64_t(s);
    const uint64_t readable = uint64_t(e) < rows.order_len ? uint64_t(e) : rows.order_len;
    Sweep<2> pair{out.gram, out.hz, out.gz, out.zmin, out.zmax, {}, {}, {}};
    uint64_t t = 0;
    for (; t + 2 <= count; t += 2) {
        const uint64_t j = first + t;
        rows.fetch(pair, 0, j);
        rows.fetch(pair, 1, j + 1);
        rows.prefetch(j + prefetch_distance, readable);
        rows.prefetch(j + prefetch_distance + 1, readable);
        add_rows<V, D, 2>(pair, d);
    }
    if (t < count) {
        Sweep<1> one{out.gram, out.hz, out.gz, out.zmin, out.zmax, {}, {}, {}};
        rows.fetch(one, 0, first + t);
        add_rows<V, D, 1>(one, d);
    }
}

/// The row loop in two-lane vectors, which every x86-64 processor has.
void span_lanes2(const SlotBlocks& out, const Embedding& z, const Vec<int64_t>& order, int64_t s,
                 int64_t e, RowColumn grad, RowColumn hess) {
    with_unrolled_width(z.d, [&]<uint64_t D>() __attribute__((always_inline)) {
        span_loop<Lanes2, D>(out, z, order, s, e, grad, hess);
    });
}

/// The row loop in four-lane vectors, compiled for AVX2.
[[TARNWICK_TARGET_AVX2]] void span_lanes4(const SlotBlocks& out, const Embedding& z,
                                          const Vec<int64_t>& order, int64_t s, int64_t e,
                                          RowColumn grad, RowColumn hess) {
    with_unrolled_width(z.d, [&]<uint64_t D>() __attribute__((always_inline)) {
        span_loop<Lanes4, D>(out, z, order, s, e, grad, hess);
    });
}

}  // namespace

void accumulate_span(const SlotBlocks& out, const Embedding& z, const Vec<int64_t>& order,
                     int64_t s, int64_t e, RowColumn grad, RowColumn hess, Isa isa) {
    if (isa >= Isa::avx2)
        span_lanes4(out, z, order, s, e, grad, hess);
    else
        span_lanes2(out, z, order, s, e, grad, hess);
}

}  // namespace tarnwick
