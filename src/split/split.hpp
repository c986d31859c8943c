// Best split of a tree node from its histogram tensor: numeric thresholds,
// then subsets of categories.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "frame/view.hpp"

namespace tarnwick {

struct SplitParams {
    int64_t min_samples_leaf;
    double l2;
    double cat_smooth;
    int64_t min_data_per_group;
    int64_t max_cat_threshold;
};

/// The winning candidate. A numeric split sends bins 0..bin left; a
/// categorical one has bin -1 and sends left_categories (ascending) left.
/// The missing bin goes left in both cases.
struct Split {
    uint64_t feature;
    int64_t bin;
    double gain;
    int64_t left_count;
    int64_t right_count;
    std::optional<std::vector<int64_t>> left_categories;
};

/// The best split over all features, or nothing when no candidate beats the floor.
/// in hist: (n_features, n_bins, channels) with gradient, hessian, count first.
std::optional<Split> find_best_split(const Tensor3<double>& hist,
                                     const Vec<int64_t>& n_bins_per_feature,
                                     const Vec<bool8>& categorical_mask, const SplitParams& params);

}  // namespace tarnwick
