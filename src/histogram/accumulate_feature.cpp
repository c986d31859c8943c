// Runs the per-feature passes of a range of features: a few features per pass,
// through the widest add the processor offers, into scratch bins that are
// copied to the tensor once a pass is done.
#include "histogram/accumulate_feature.hpp"

#include <algorithm>
#include <vector>

#include "frame/fault.hpp"

namespace tarnwick {

namespace {

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
                         uint64_t end, Isa isa) {
    for (uint64_t first = begin; first < end;) {
        const uint64_t count = std::min<uint64_t>(features_per_pass, end - first);
        find_pass(isa, Target::tensor, rows.hessians, rows.access, count)(blocks, rows, first,
                                                                          nullptr);
        first += count;
    }
}

/// Passes over at least as many rows as bins add into scratch bins, copied
/// over every cell of the tensor after each pass (the counted hessians as
/// +0.0, filled in afterwards).
void accumulate_in_quads(const FeatureBlocks& blocks, const PassRows& rows, uint64_t begin,
                         uint64_t end, Isa isa) {
    const uint64_t n_bins_max = blocks.n_bins_max;
    const uint64_t n_quads = checked_size(features_per_pass, n_bins_max);
    // One quad more than needed, so that the run can start 32-byte aligned.
    // Plain heap memory: this runs on a worker, where the traced raw
    // allocator would wait for the interpreter lock that the caller holds.
    std::vector<double> scratch(checked_size(n_quads + 1, 4));
    BinQuad* quads = first_aligned<BinQuad>(scratch.data(), sizeof(BinQuad));
    for (uint64_t first = begin; first < end;) {
        const uint64_t count = std::min<uint64_t>(features_per_pass, end - first);
        find_pass(isa, Target::quads, rows.hessians, rows.access, count)(blocks, rows, first,
                                                                         quads);
        // Copies the sums out and clears the scratch bins for the next pass.
        double* out = blocks.hist + first * 3 * n_bins_max;
        if (rows.hessians == Hessians::counted) {
            BinPair* pairs = reinterpret_cast<BinPair*>(quads);
            for (uint64_t q = 0; q < count * n_bins_max; ++q) {
                out[3 * q] = pairs[q][0];
                out[3 * q + 1] = 0.0;
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
        accumulate_in_place(blocks, rows, begin, end, cpu_isa());
    else
        accumulate_in_quads(blocks, rows, begin, end, cpu_isa());
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
