// Embedded-linear leaves: the per-leaf sums that the caller's linear solves
// need, and the prediction of the fitted leaves.
#pragma once

#include <cstdint>

#include "frame/buffer.hpp"
#include "frame/view.hpp"

namespace tarnwick {

/// The seven outputs, in result order. Items 0 and 1 have n_leaves entries;
/// hz_sum, gz_sum, z_min, z_max are (n_linear, d) and gram (n_linear, d, d).
struct LeafStats {
    uint64_t n_leaves = 0;
    uint64_t n_linear = 0;
    uint64_t d = 0;
    Buffer<double> leaf_grad_sum;
    Buffer<double> leaf_hess_sum;
    Buffer<double> hz_sum;
    Buffer<double> gram;
    Buffer<double> gz_sum;
    Buffer<double> z_min;
    Buffer<double> z_max;
};

/// Statistics of every leaf and of every linear slot of one tree.
LeafStats leaf_linear_stats(const Mat<double>& z, const Vec<double>& grad, const Vec<double>& hess,
                            const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                            const Vec<int64_t>& linear);

/// The same statistics pooled over the class trees of one multiclass round;
/// leaf l reads column leaf_class[l] of grad and hess.
LeafStats leaf_linear_stats_mc(const Mat<double>& z, const Mat<double>& grad,
                               const Mat<double>& hess, const Vec<int64_t>& order,
                               const Vec<int64_t>& offsets, const Vec<int64_t>& linear,
                               const Vec<int64_t>& leaf_class);

/// bias[l] + z[i] . weights[l] per row i of leaf l = leaf_idx[i], with z
/// clamped into [z_min[l], z_max[l]] when clip is set.
Buffer<double> predict_linear(const Vec<int64_t>& leaf_idx, const Mat<double>& z,
                              const Vec<double>& bias, const Mat<double>& weights,
                              const Mat<double>& z_min, const Mat<double>& z_max, bool clip);

}  // namespace tarnwick
