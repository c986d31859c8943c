// The row loop of one linear slot, the hot loop of fitting linear leaves.
//
// Every row adds its hessian-weighted embedding, its gradient projection,
// its column range and the upper triangle of its weighted outer product into
// the slot's blocks. Each element takes its terms in position order; elements
// are independent of each other, so the loops over columns run several
// elements at a time (never several terms of one element), and two rows are
// added in one sweep over the block, the first row's term before the second's.
//
// Widths 8, 16 and 32 get their own unrolled copies, and every copy exists
// twice: for the baseline instruction set and for AVX2, chosen at run time.
// Products and sums are the same IEEE operations in both (no fused
// multiply-add), so the bits do not depend on the choice.
#include "frame/fault.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {
namespace {

// Rows ahead whose embedding is requested early: a leaf's rows are scattered
// over z, so each embedding row is a cache miss, and the loop would otherwise
// wait for memory on every row.
constexpr uint64_t prefetch_distance = 6;

[[noreturn, gnu::cold]] void embedding_row_outside(uint64_t r, uint64_t d, uint64_t count) {
    uint64_t end;
    if (__builtin_mul_overflow(r, d, &end) || __builtin_add_overflow(end, d, &end))
        end = UINT64_MAX;
    range_end_out_of_range(end, count);
}

/// One row at a time: the slot's blocks take x's terms.
template <uint64_t D>
[[gnu::always_inline]] inline void add_row(uint64_t d_runtime, const double* __restrict x,
                                           double g, double h, double* __restrict gram,
                                           double* __restrict hz, double* __restrict gz,
                                           double* __restrict zmin, double* __restrict zmax) {
    const uint64_t d = D != 0 ? D : d_runtime;
    for (uint64_t i = 0; i < d; ++i) {
        const double xi = x[i];
        hz[i] += h * xi;
        gz[i] += g * xi;
        // Strict tests: a NaN never enters, and of equal values the first stays.
        zmin[i] = xi < zmin[i] ? xi : zmin[i];
        zmax[i] = xi > zmax[i] ? xi : zmax[i];
    }
    for (uint64_t i = 0; i < d; ++i) {
        // The Gram term is x[j] * (h * x[i]), with h * x[i] rounded first.
        const double w = h * x[i];
        double* __restrict row = gram + i * d;
        for (uint64_t j = i; j < d; ++j) row[j] += x[j] * w;
    }
}

/// Two consecutive rows a then b in one sweep: every element adds a's term,
/// then b's, exactly as two calls of add_row would, with half the loads and
/// stores of the blocks.
template <uint64_t D>
[[gnu::always_inline]] inline void add_row_pair(uint64_t d_runtime, const double* __restrict xa,
                                                double ga, double ha,
                                                const double* __restrict xb, double gb,
                                                double hb, double* __restrict gram,
                                                double* __restrict hz, double* __restrict gz,
                                                double* __restrict zmin,
                                                double* __restrict zmax) {
    const uint64_t d = D != 0 ? D : d_runtime;
    for (uint64_t i = 0; i < d; ++i) {
        const double a = xa[i];
        const double b = xb[i];
        hz[i] = (hz[i] + ha * a) + hb * b;
        gz[i] = (gz[i] + ga * a) + gb * b;
        double lo = a < zmin[i] ? a : zmin[i];
        zmin[i] = b < lo ? b : lo;
        double hi = a > zmax[i] ? a : zmax[i];
        zmax[i] = b > hi ? b : hi;
    }
    for (uint64_t i = 0; i < d; ++i) {
        const double wa = ha * xa[i];
        const double wb = hb * xb[i];
        double* __restrict row = gram + i * d;
        for (uint64_t j = i; j < d; ++j) row[j] = (row[j] + xa[j] * wa) + xb[j] * wb;
    }
}

/// The checked fetch of the row at position j: position, row id against
/// grad, hess and z, in that order.
struct RowFetch {
    const Vec<int64_t>& order;
    uint64_t order_len;
    RowColumn grad;
    RowColumn hess;
    const double* z;
    uint64_t z_count;
    uint64_t z_rows;
    uint64_t d;

    [[gnu::always_inline]] const double* operator()(uint64_t j, double& g, double& h) const {
        check_index(j, order_len);
        const uint64_t r = uint64_t(order[j]);
        check_index(r, grad.len);
        check_index(r, hess.len);
        // r * d + d <= n_rows * d is r < n_rows, without the product that could wrap.
        if (r >= z_rows) [[unlikely]]
            embedding_row_outside(r, d, z_count);
        g = grad[r];
        h = hess[r];
        return z + r * d;
    }

    /// Asks for the embedding, gradient and hessian of the row at position j
    /// (below `readable`, so order itself is in range) ahead of their use.
    [[gnu::always_inline]] void prefetch(uint64_t j, uint64_t readable) const {
        if (j >= readable) return;
        const uint64_t r = uint64_t(order[j]);
        if (r >= z_rows || r >= grad.len || r >= hess.len) return;
        const char* row = reinterpret_cast<const char*>(z + r * d);
        for (uint64_t byte = 0; byte < d * sizeof(double); byte += 64)
            __builtin_prefetch(row + byte);
        __builtin_prefetch(row + d * sizeof(double) - 1);
        __builtin_prefetch(grad.data + int64_t(r) * grad.stride);
        __builtin_prefetch(hess.data + int64_t(r) * hess.stride);
    }
};

template <uint64_t D>
[[gnu::always_inline]] inline void span_loop(const SlotBlocks& out, const Embedding& z,
                                             const Vec<int64_t>& order, int64_t s, int64_t e,
                                             RowColumn grad, RowColumn hess) {
    if (s >= e) return;
    const uint64_t d = D != 0 ? D : z.d;
    const RowFetch fetch{order, order.len(), grad, hess, z.values, z.count, z.count / d, d};
    // Positions compare unsigned, so a negative start fails the first check.
    const uint64_t first = uint64_t(s);
    const uint64_t count = uint64_t(e) - uint64_t(s);
    const uint64_t readable = uint64_t(e) < fetch.order_len ? uint64_t(e) : fetch.order_len;
    uint64_t t = 0;
    for (; t + 2 <= count; t += 2) {
        const uint64_t j = first + t;
        double ga, ha, gb, hb;
        const double* xa = fetch(j, ga, ha);
        const double* xb = fetch(j + 1, gb, hb);
        fetch.prefetch(j + prefetch_distance, readable);
        fetch.prefetch(j + prefetch_distance + 1, readable);
        add_row_pair<D>(d, xa, ga, ha, xb, gb, hb, out.gram, out.hz, out.gz, out.zmin, out.zmax);
    }
    if (t < count) {
        double g, h;
        const double* x = fetch(first + t, g, h);
        add_row<D>(d, x, g, h, out.gram, out.hz, out.gz, out.zmin, out.zmax);
    }
}

using SpanFn = void (*)(const SlotBlocks&, const Embedding&, const Vec<int64_t>&, int64_t,
                        int64_t, RowColumn, RowColumn);

void span_baseline(const SlotBlocks& out, const Embedding& z, const Vec<int64_t>& order,
                   int64_t s, int64_t e, RowColumn grad, RowColumn hess) {
    switch (z.d) {
        case 8: return span_loop<8>(out, z, order, s, e, grad, hess);
        case 16: return span_loop<16>(out, z, order, s, e, grad, hess);
        case 32: return span_loop<32>(out, z, order, s, e, grad, hess);
        default: return span_loop<0>(out, z, order, s, e, grad, hess);
    }
}

[[gnu::target("avx2")]] void span_avx2(const SlotBlocks& out, const Embedding& z,
                                       const Vec<int64_t>& order, int64_t s, int64_t e,
                                       RowColumn grad, RowColumn hess) {
    switch (z.d) {
        case 8: return span_loop<8>(out, z, order, s, e, grad, hess);
        case 16: return span_loop<16>(out, z, order, s, e, grad, hess);
        case 32: return span_loop<32>(out, z, order, s, e, grad, hess);
        default: return span_loop<0>(out, z, order, s, e, grad, hess);
    }
}

SpanFn choose_span() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? span_avx2 : span_baseline;
}

}  // namespace

void accumulate_span(const SlotBlocks& out, const Embedding& z, const Vec<int64_t>& order,
                     int64_t s, int64_t e, RowColumn grad, RowColumn hess) {
    static const SpanFn span = choose_span();
    span(out, z, order, s, e, grad, hess);
}

}  // namespace tarnwick
