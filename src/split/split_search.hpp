// Pieces shared by the numeric and categorical phases of the split search:
// the node totals, the gain of a candidate and the running best.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "frame/view.hpp"
#include "lib/cpu_features.hpp"

namespace tarnwick {

/// What every candidate of one node is scored against.
struct NodeScore {
    double grad;    // G_P, feature 0 summed over all of its bins
    double hess;    // H_P
    double count;   // C_P
    double parent;  // G_P * G_P / (H_P + l2), computed once
    double l2;
    double min_samples_leaf;  // counts are compared as floats
};

/// The best candidate so far. Its gain starts at the floor, so a candidate has
/// to beat 1e-12 to be kept at all.
struct RunningBest {
    double gain = 1e-12;
    bool found = false;
    bool categorical = false;
    uint64_t feature = 0;
    int64_t bin = 0;
    double left_count = 0.0;
    double right_count = 0.0;
    // The left categories of a categorical best, in scan order; sorted by
    // code once the search is over.
    std::vector<int64_t> categories;
};

/// Gain of a split whose left side holds (g_left, h_left); the right side is
/// always the node totals minus the left side, never a second sum.
inline double split_gain(const NodeScore& s, double g_left, double h_left) {
    double g_right = s.grad - g_left;
    double h_right = s.hess - h_left;
    return (g_left * g_left / (h_left + s.l2) + g_right * g_right / (h_right + s.l2)) - s.parent;
}

/// Both sides hold at least min_samples_leaf rows; a NaN count passes, since
/// the guard only rejects on a true comparison.
inline bool passes_leaf_guards(const NodeScore& s, double c_left, double c_right) {
    return !(s.min_samples_leaf > c_left) && !(s.min_samples_leaf > c_right);
}

/// A candidate replaces the best only with a finite gain strictly above it.
/// The best is finite and positive, so only +inf has to be excluded
/// explicitly; NaN already fails the comparison.
inline bool beats(const RunningBest& best, double gain) {
    return gain > best.gain && gain < std::numeric_limits<double>::infinity();
}

/// One element of the histogram at a byte address.
inline double load_cell(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Runs the numeric phase over every feature not marked categorical, in the
/// lane vectors of `isa` (two lanes on the baseline, four with AVX2, which
/// the processor must have). Every lane performs the scalar operations, so
/// each instruction set gives the same bits.
void search_numeric(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                    const Vec<bool8>& categorical_mask, const NodeScore& score, RunningBest& best,
                    Isa isa);

/// Runs the categorical phase over every feature marked categorical.
void search_categorical(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                        const Vec<bool8>& categorical_mask, const NodeScore& score,
                        double cat_smooth, int64_t min_data_per_group, int64_t max_cat_threshold,
                        RunningBest& best);

}  // namespace tarnwick
