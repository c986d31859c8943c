// Runs the per-feature passes of a range of features: a few features per pass,
// through the widest add the processor offers, into scratch bins that are
// copied to the tensor once a pass is done.
#include "histogram/accumulate_feature.hpp"

#include <algorithm>
#include <vector>

#include "frame/fault.hpp"

namespace tarnwick {

namespace {

using Pass = void (*)(const FeatureBlocks&, const PassRows&, uint64_t, BinQuad*);

template <unsigned K, Target Into, Hessians Hess>
[[gnu::always_inline]] inline void dispatch_access(const FeatureBlocks& blocks,
                                                   const PassRows& rows, uint64_t first,
                                                   BinQuad* quads) {
    switch (rows.access) {
        case RowAccess::consecutive:
            return accumulate_feature<K, RowAccess::consecutive, Into, Hess>(blocks, rows, first,
                                                                             quads);
        case RowAccess::listed:
            return accumulate_feature<K, RowAccess::listed, Into, Hess>(blocks, rows, first, quads);
        case RowAccess::gathered:
            return accumulate_feature<K, RowAccess::gathered, Into, Hess>(blocks, rows, first,
                                                                          quads);
    }
}

template <unsigned K, Target Into>
[[gnu::always_inline]] inline void dispatch_rows(const FeatureBlocks& blocks, const PassRows& rows,
                                                 uint64_t first, BinQuad* quads) {
    if (rows.hessians == Hessians::counted)
        dispatch_access<K, Into, Hessians::counted>(blocks, rows, first, quads);
    else
        dispatch_access<K, Into, Hessians::summed>(blocks, rows, first, quads);
}

template <unsigned K, Target Into>
void pass(const FeatureBlocks& blocks, const PassRows& rows, uint64_t first, BinQuad* quads) {
    dispatch_rows<K, Into>(blocks, rows, first, quads);
}

// Indexed by the number of features in the pass.
template <Target Into>
constexpr Pass baseline_passes[] = {nullptr, pass<1, Into>, pass<2, Into>, pass<3, Into>,
                                    pass<4, Into>};
static_assert(std::size(baseline_passes<Target::quads>) == features_per_pass + 1);

#if defined(__x86_64__)
// The same body compiled for AVX: each quad add is one instruction instead of
// two, lane by lane the same operation, so the sums are bitwise the same.
template <unsigned K, Target Into>
[[gnu::target("avx")]] void pass_avx(const FeatureBlocks& blocks, const PassRows& rows,
                                     uint64_t first, BinQuad* quads) {
    dispatch_rows<K, Into>(blocks, rows, first, quads);
}

template <Target Into>
constexpr Pass avx_passes[] = {nullptr, pass_avx<1, Into>, pass_avx<2, Into>, pass_avx<3, Into>,
                               pass_avx<4, Into>};

template <Target Into>
const Pass* choose_passes() {
    return __builtin_cpu_supports("avx") ? avx_passes<Into> : baseline_passes<Into>;
}
#else
template <Target Into>
const Pass* choose_passes() {
    return baseline_passes<Into>;
}
#endif

/// A counted hessian's sums: each occupied bin's count times the value. An
/// empty bin keeps its +0.0, which the product would not give for a
/// negative value.
void fill_counted_hessians(const FeatureBlocks& blocks, double each_hess, uint64_t begin,
                           uint64_t end) {
    double* cell = blocks.hist + begin * 3 * blocks.n_bins_max;
    double* const cells_end = blocks.hist + end * 3 * blocks.n_bins_max;
    for (; cell != cells_end; cell += 3)
        if (cell[2] != 0.0) cell[1] = cell[2] * each_hess;
}

/// Passes over fewer rows than bins add straight into the tensor.
void accumulate_in_place(const FeatureBlocks& blocks, const PassRows& rows, uint64_t begin,
                         uint64_t end) {
    const Pass* passes = choose_passes<Target::tensor>();
    for (uint64_t first = begin; first < end;) {
        const uint64_t count = std::min<uint64_t>(features_per_pass, end - first);
        passes[count](blocks, rows, first, nullptr);
        first += count;
    }
}

/// Passes over at least as many rows as bins add into scratch bins, copied
/// to the tensor after each pass.
void accumulate_in_quads(const FeatureBlocks& blocks, const PassRows& rows, uint64_t begin,
                         uint64_t end) {
    const uint64_t n_bins_max = blocks.n_bins_max;
    const Pass* passes = choose_passes<Target::quads>();
    const uint64_t n_quads = checked_size(features_per_pass, n_bins_max);
    // One quad more than needed, so that the run can start 32-byte aligned.
    // Plain heap memory: this runs on a worker, where the traced raw
    // allocator would wait for the interpreter lock that the caller holds.
    std::vector<double> scratch(checked_size(n_quads + 1, 4));
    const uintptr_t base = reinterpret_cast<uintptr_t>(scratch.data());
    BinQuad* quads = reinterpret_cast<BinQuad*>((base + 31) & ~uintptr_t(31));
    for (uint64_t first = begin; first < end;) {
        const uint64_t count = std::min<uint64_t>(features_per_pass, end - first);
        passes[count](blocks, rows, first, quads);
        // Copies the sums out and clears the scratch bins for the next pass.
        double* out = blocks.hist + first * 3 * n_bins_max;
        if (rows.hessians == Hessians::counted) {
            BinPair* pairs = reinterpret_cast<BinPair*>(quads);
            for (uint64_t q = 0; q < count * n_bins_max; ++q) {
                out[3 * q] = pairs[q][0];
                out[3 * q + 2] = pairs[q][1];
                pairs[q] = BinPair{};
            }
        } else
            for (uint64_t q = 0; q < count * n_bins_max; ++q) {
                for (int c = 0; c < 3; ++c) out[3 * q + c] = quads[q][c];
                quads[q] = BinQuad{};
            }
        first += count;
    }
}

}  // namespace

void accumulate_features(const FeatureBlocks& blocks, const PassRows& rows, uint64_t begin,
                         uint64_t end) {
    if (rows.n_sel < blocks.n_bins_max)
        accumulate_in_place(blocks, rows, begin, end);
    else
        accumulate_in_quads(blocks, rows, begin, end);
    if (rows.hessians == Hessians::counted)
        fill_counted_hessians(blocks, rows.each_hess, begin, end);
}

void bin_fault(const FeatureBlocks& blocks, const PassRows& rows, uint64_t first, uint64_t k,
               uint64_t i, uint64_t b) {
    for (uint64_t f = first; f <= first + k; ++f) {
        const uint16_t* codes = blocks.codes + f * blocks.n_rows;
        const uint64_t end = f < first + k ? rows.n_sel : i;
        for (uint64_t j = 0; j < end; ++j) {
            const uint64_t code = codes[rows.id(j)];
            if (code >= blocks.n_bins_max) index_out_of_bounds(3 * blocks.n_bins_max, 3 * code);
        }
    }
    index_out_of_bounds(3 * blocks.n_bins_max, 3 * b);
}

}  // namespace tarnwick
