// Gradient histograms of a tree node over the feature-major binned matrix.
#pragma once

#include <cstdint>

#include "frame/buffer.hpp"
#include "frame/view.hpp"

namespace tarnwick {

/// Per feature and bin: gradient sum, hessian sum and row count over `rows`,
/// as a flat (n_features, n_bins_max, 3) tensor.
/// in binned: (n_features, n_rows) bin codes, feature-major.
Buffer<double> build_histograms(const Mat<uint16_t>& binned, const Vec<int64_t>& rows,
                                const Vec<double>& grad, const Vec<double>& hess,
                                uint64_t n_bins_max);

}  // namespace tarnwick
