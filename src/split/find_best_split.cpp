// The split search as a whole: node totals, the two phases sharing one
// running best, and the winner.
#include <algorithm>
#include <cmath>

#include "frame/fault.hpp"
#include "split/split.hpp"
#include "split/split_search.hpp"

namespace tarnwick {
namespace {

/// Node totals from feature 0 over every bin of the bin axis, missing and
/// trailing bins included, added in ascending bin order.
NodeScore node_score(const Tensor3<double>& hist, const SplitParams& params) {
    double g = 0.0, h = 0.0, c = 0.0;
    if (hist.shape[1] != 0) {
        if (hist.shape[0] == 0 || hist.shape[2] < 3) [[unlikely]]
            array_index_out_of_bounds();
        const char* cell = hist.data;
        const int64_t channel = hist.strides[2];
        for (uint64_t b = 0; b < hist.shape[1]; ++b, cell += hist.strides[1]) {
            g += load_cell(cell);
            h += load_cell(cell + channel);
            c += load_cell(cell + 2 * channel);
        }
    }
    return NodeScore{
        .grad = g,
        .hess = h,
        .count = c,
        .parent = g * g / (h + params.l2),
        .l2 = params.l2,
        .min_samples_leaf = double(params.min_samples_leaf),
    };
}

/// Float count to signed 64-bit: truncation toward zero, saturating at both
/// ends, NaN as 0 (a plain cast would be undefined for those).
int64_t count_to_int(double c) {
    constexpr double two_63 = 9223372036854775808.0;
    if (std::isnan(c)) return 0;
    if (c >= two_63) return INT64_MAX;
    if (c <= -two_63) return INT64_MIN;
    return int64_t(c);
}

}  // namespace

std::optional<Split> find_best_split(const Tensor3<double>& hist,
                                     const Vec<int64_t>& n_bins_per_feature,
                                     const Vec<bool8>& categorical_mask,
                                     const SplitParams& params) {
    const NodeScore score = node_score(hist, params);
    RunningBest best;
    // Numeric candidates are all offered first, so at equal gain a numeric
    // split always beats a categorical one.
    search_numeric(hist, n_bins_per_feature, categorical_mask, score, best, cpu_isa());
    search_categorical(hist, n_bins_per_feature, categorical_mask, score, params.cat_smooth,
                       params.min_data_per_group, params.max_cat_threshold, best);
    if (!best.found) return std::nullopt;

    Split split{
        .feature = best.feature,
        .bin = best.categorical ? -1 : best.bin,
        .gain = best.gain,
        .left_count = count_to_int(best.left_count),
        .right_count = count_to_int(best.right_count),
        .left_categories = std::nullopt,
    };
    if (best.categorical) {
        std::sort(best.categories.begin(), best.categories.end());
        split.left_categories = std::move(best.categories);
    }
    return split;
}

}  // namespace tarnwick
