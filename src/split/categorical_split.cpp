// Categorical phase of the split search: prefixes of a feature's eligible
// categories, ordered by smoothed gradient-to-hessian ratio, taken from both
// ends of that order.
#include <algorithm>
#include <cmath>

#include "frame/fault.hpp"
#include "split/split_search.hpp"

namespace tarnwick {
namespace {

/// An eligible category and the ratio that orders it.
struct Category {
    double ratio;
    int64_t code;
};

/// Offers the first k = 1 .. steps categories of [first, first + steps) as
/// left sets, the missing bin added to each prefix sum as its last term.
template <class It>
void scan_prefixes(const Tensor3<double>& hist, uint64_t f, It first, int64_t steps,
                   double g_missing, double h_missing, double c_missing, const NodeScore& s,
                   RunningBest& best) {
    const int64_t channel = hist.strides[2];
    double g = 0.0, h = 0.0, c = 0.0;
    for (int64_t k = 1; k <= steps; ++k) {
        const char* cell =
            hist.data + int64_t(f) * hist.strides[0] + first[k - 1].code * hist.strides[1];
        g += load_cell(cell);
        h += load_cell(cell + channel);
        c += load_cell(cell + 2 * channel);
        const double c_left = c_missing + c;
        const double g_left = g_missing + g;
        const double h_left = h_missing + h;
        const double c_right = s.count - c_left;
        if (!passes_leaf_guards(s, c_left, c_right)) continue;
        const double gain = split_gain(s, g_left, h_left);
        if (beats(best, gain)) {
            best.gain = gain;
            best.found = true;
            best.categorical = true;
            best.feature = f;
            best.left_count = c_left;
            best.right_count = c_right;
            best.categories.clear();
            for (It it = first; it != first + k; ++it) best.categories.push_back(it->code);
        }
    }
}

}  // namespace

void search_categorical(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                        const Vec<bool8>& categorical_mask, const NodeScore& score,
                        double cat_smooth, int64_t min_data_per_group, int64_t max_cat_threshold,
                        RunningBest& best) {
    // An empty category is never eligible, whatever the caller asks for.
    const double min_count = double(std::max<int64_t>(1, min_data_per_group));
    const int64_t max_left = std::max<int64_t>(max_cat_threshold, 0);
    std::vector<Category> eligible;
    for (uint64_t f = 0; f < hist.shape[0]; ++f) {
        check_index(f, categorical_mask.len());
        if (!categorical_mask[f]) continue;
        check_index(f, n_bins_per_feature.len());
        // Unsigned: a negative count is a huge one and fails the bound below.
        const uint64_t n = uint64_t(n_bins_per_feature[f]);
        if (n == 0) continue;
        // The eligibility scan reads bins 0 .. n-1, so n itself may equal the
        // bin axis length; a missing bin is only needed once there are two
        // eligible categories. (A non-empty bin axis already has its three
        // channels: the node totals checked them.)
        if (n > hist.shape[1]) [[unlikely]]
            array_index_out_of_bounds();

        const char* row = hist.data + int64_t(f) * hist.strides[0];
        const int64_t channel = hist.strides[2];
        eligible.clear();
        for (uint64_t b = 0; b < n; ++b) {
            const char* cell = row + int64_t(b) * hist.strides[1];
            if (load_cell(cell + 2 * channel) >= min_count)
                eligible.push_back(
                    {load_cell(cell) / (load_cell(cell + channel) + cat_smooth), int64_t(b)});
        }
        if (eligible.size() < 2) continue;

        // Every eligible category meets at least one other in any sort, so
        // one NaN ratio always makes the order undefined.
        for (const Category& cat : eligible)
            if (std::isnan(cat.ratio)) [[unlikely]]
                fault("finite sort ratios");
        // Codes are distinct and ascending in the list, so ordering equal
        // ratios by code is exactly the order of a stable sort by ratio.
        std::sort(eligible.begin(), eligible.end(), [](const Category& a, const Category& b) {
            return a.ratio < b.ratio || (!(b.ratio < a.ratio) && a.code < b.code);
        });

        if (n >= hist.shape[1]) [[unlikely]]
            array_index_out_of_bounds();
        const char* missing = row + int64_t(n) * hist.strides[1];
        const double g_missing = load_cell(missing);
        const double h_missing = load_cell(missing + channel);
        const double c_missing = load_cell(missing + 2 * channel);

        const int64_t steps = std::min(max_left, int64_t(eligible.size()) - 1);
        scan_prefixes(hist, f, eligible.cbegin(), steps, g_missing, h_missing, c_missing, score,
                      best);
        // Reversed, equal ratios meet the higher code first.
        scan_prefixes(hist, f, eligible.crbegin(), steps, g_missing, h_missing, c_missing, score,
                      best);
    }
}

}  // namespace tarnwick
