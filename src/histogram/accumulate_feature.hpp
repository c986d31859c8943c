// The per-feature pass of build_histograms over a node's rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "lib/cpu_features.hpp"
#include "lib/lanes.hpp"

namespace tarnwick {

/// How a pass finds a node's rows, in accumulation order, and their values:
///
///   position i:  0      1      2     ...
///   row id:      r0     r1     r2    ...   (row[i], or first_row + i)
///
/// consecutive: r_i = r0 + i (as at the root); the codes are read from r0 on,
///   and the gradients and hessians by position (from r0 on, or gathered).
/// listed: the ids come from row[i], and the gradients and hessians are read
///   by row id where they lie, so that no copy is made.
/// gathered: the ids come from row[i], and the gradients and hessians were
///   copied into position order (their vectors are strided, or the rows are
///   scattered thinly over a wide range of ids).
enum class RowAccess { consecutive, listed, gathered };

/// How a pass finds the hessians:
///
/// summed: read per row (as the gradients are) and added into the bin.
/// counted: every row carries the same hessian, and adding it up to n_sel
///   times is exact, so a bin's hessian sum is its count times that value,
///   bit for bit; the passes leave the hessian out, and it is filled in from
///   the counts afterwards (a broadcast hessian such as squared error's).
enum class Hessians { summed, counted };

/// A node's rows for the passes, their ids validated (below n_rows,
/// len(grad) and len(hess)).
struct PassRows {
    const uint64_t* row;
    const double* grad;
    const double* hess;  // unused when the hessians are counted
    uint64_t n_sel;
    uint64_t first_row;
    RowAccess access;
    Hessians hessians;
    double each_hess;  // every row's hessian, when counted
    // Listed rows lie thinly in their id range: a pass requests their lines
    // ahead. Denser rows walk forward through lines that the hardware sees
    // coming, and the requests would only cost issue slots.
    bool sparse;

    uint64_t id(uint64_t i) const noexcept {
        return access == RowAccess::consecutive ? first_row + i : row[i];
    }
};

/// Features sharing one pass over the rows.
constexpr unsigned features_per_pass = 4;

/// The binned matrix and the histogram tensor, both whole.
struct FeatureBlocks {
    double* hist;
    const uint16_t* codes;
    uint64_t n_rows;
    uint64_t n_bins_max;
};

/// Adds every row of the node to the histograms of features [begin, end) of
/// `blocks`, each feature's block receiving its rows in row order (counted
/// hessians are filled in once the features are done).
void accumulate_features(const FeatureBlocks& blocks, const PassRows& rows, uint64_t begin,
                         uint64_t end);

/// Raises the fault that a feature-by-feature walk in row order meets first,
/// given that a shared pass found code `b`, not below n_bins_max, for feature
/// first + k at row position i: an earlier feature of the pass, or an earlier
/// row of the same feature, may hold a bad code that the walk reaches sooner.
[[noreturn, gnu::cold]] void bin_fault(const FeatureBlocks& blocks, const PassRows& rows,
                                       uint64_t first, uint64_t k, uint64_t i, uint64_t b);

/// One bin while a pass runs: (gradient sum, hessian sum, count, unused),
/// 32-byte aligned, so that a row's three additions are one four-lane add.
using BinQuad = Lanes4;
/// One bin while a pass with counted hessians runs: (gradient sum, count).
/// Half the width of a quad: the bins of a pass take half the cache, and each
/// row's store is narrower.
using BinPair = Lanes2;

/// Where a pass adds: into K runs of n_bins_max scratch bins (quads, or pairs
/// when the hessians are counted; copied to the tensor afterwards), or
/// straight into the tensor's (gradient, hessian, count) triples, which saves
/// clearing and copying the scratch when a node has fewer rows than bins.
enum class Target { quads, tensor };

/// Adds every row of the node to the bins of features [first, first + K) in one
/// pass over the rows. Each bin receives exactly the additions of its own
/// rows in row order: grad + sum, hess + sum, count + 1.0 (lanes of vector
/// adds, which round each lane on its own); counted hessians are left out,
/// as pairs (grad + sum, count + 1.0) or an untouched hessian cell in the
/// tensor. Sharing the pass shares the row and value loads, and the K
/// independent bins per row keep the adder busy while one bin waits for its
/// previous store.
template <unsigned K, RowAccess Access, Target Into, Hessians Hess>
[[gnu::always_inline]] inline void accumulate_feature(const FeatureBlocks& blocks,
                                                      const PassRows& rows, uint64_t first,
                                                      BinQuad* __restrict quads) {
    constexpr bool Consecutive = Access == RowAccess::consecutive;
    constexpr bool ById = Access == RowAccess::listed;
    constexpr bool Summed = Hess == Hessians::summed;
    // Rows ahead whose codes (and values read by id) are requested early: a
    // sparse node's rows lie in lines of their own that the hardware does not
    // see coming.
    constexpr uint64_t prefetch_distance = 32;
    const uint64_t n_bins_max = blocks.n_bins_max;
    const uint64_t n_sel = rows.n_sel;
    const uint64_t* __restrict row = rows.row;
    const double* __restrict grad = rows.grad;
    const double* __restrict hess = rows.hess;
    using Bin = std::conditional_t<Summed, BinQuad, BinPair>;
    const uint16_t* codes[K];
    Bin* bins[K];
    double* out[K];
    for (unsigned k = 0; k < K; ++k) {
        codes[k] = blocks.codes + (first + k) * blocks.n_rows + (Consecutive ? rows.first_row : 0);
        bins[k] = reinterpret_cast<Bin*>(quads) + k * n_bins_max;
        out[k] = blocks.hist + (first + k) * 3 * n_bins_max;
    }
    // Position i of the node's rows; `at` indexes the codes (r_i, or i when
    // the codes already start at r0).
    auto add_row = [&](uint64_t i, uint64_t at) __attribute__((always_inline)) {
        const double g = ById ? grad[at] : grad[i];
        // Counted hessians are never read: their bins have no hessian lane.
        const double h = Summed ? (ById ? hess[at] : hess[i]) : 0.0;
#pragma GCC unroll 8
        for (unsigned k = 0; k < K; ++k) {
            const uint64_t b = codes[k][at];
            if (b >= n_bins_max) [[unlikely]]
                bin_fault(blocks, rows, first, k, i, b);
            if constexpr (Into == Target::quads) {
                if constexpr (Summed)
                    bins[k][b] = BinQuad{g, h, 1.0, 0.0} + bins[k][b];
                else
                    bins[k][b] = BinPair{g, 1.0} + bins[k][b];
            } else {
                double* cell = out[k] + 3 * b;
                if constexpr (Summed) {
                    BinPair sums;
                    std::memcpy(&sums, cell, sizeof sums);
                    sums = BinPair{g, h} + sums;
                    std::memcpy(cell, &sums, sizeof sums);
                } else
                    cell[0] = g + cell[0];
                cell[2] = cell[2] + 1.0;
            }
        }
    };
    if constexpr (Consecutive) {
        for (uint64_t i = 0; i < n_sel; ++i) add_row(i, i);
    } else {
        const uint64_t ahead_end =
            rows.sparse && n_sel > prefetch_distance ? n_sel - prefetch_distance : 0;
        uint64_t i = 0;
        for (; i < ahead_end; ++i) {
            const uint64_t ahead = row[i + prefetch_distance];
#pragma GCC unroll 8
            for (unsigned k = 0; k < K; ++k) __builtin_prefetch(codes[k] + ahead);
            if constexpr (ById) {
                __builtin_prefetch(grad + ahead);
                if constexpr (Summed) __builtin_prefetch(hess + ahead);
            }
            add_row(i, row[i]);
        }
        for (; i < n_sel; ++i) add_row(i, row[i]);
    }
}

/// One pass over the node's rows for some features from `first` on, adding
/// into `quads` (Target::quads) or straight into the tensor.
using Pass = void (*)(const FeatureBlocks& blocks, const PassRows& rows, uint64_t first,
                      BinQuad* quads);

/// The pass for `count` features (1 to features_per_pass) with the hessians
/// and row access of a node, compiled for `isa`: AVX makes each quad add one
/// instruction instead of two, lane by lane the same operation, so every
/// instruction set gives the same sums.
Pass find_pass(Isa isa, Target into, Hessians hessians, RowAccess access, uint64_t count);

}  // namespace tarnwick
