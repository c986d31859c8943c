// Numeric phase of the split search: every bin threshold of every feature not
// marked categorical, with the missing bin always on the left.
#include <algorithm>
#include <limits>

#include "frame/fault.hpp"
#include "split/split_search.hpp"

namespace tarnwick {
namespace {

// Thresholds are scored in blocks: the running sums are a serial chain, but
// the gains of a block are independent of each other and can be computed
// several at a time, which keeps the divider busy. The block lives on the
// stack, so the phase allocates nothing.
constexpr uint64_t block_len = 64;

/// Left sides of up to block_len consecutive thresholds, and their gains.
struct ThresholdBlock {
    alignas(64) double grad[block_len];
    alignas(64) double hess[block_len];
    alignas(64) double count[block_len];
    alignas(64) double gain[block_len];
};

/// Gains of the first m thresholds of a block; a threshold that fails a leaf
/// guard gets NaN, which the acceptance rule never takes. Each lane follows
/// the scalar formula operation for operation, so vector width cannot change
/// a bit.
[[gnu::always_inline]] inline void score_block_body(const NodeScore& s, ThresholdBlock& b,
                                                    uint64_t m) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (uint64_t i = 0; i < m; ++i) {
        double c_left = b.count[i];
        double c_right = s.count - c_left;
        double gain = split_gain(s, b.grad[i], b.hess[i]);
        b.gain[i] = passes_leaf_guards(s, c_left, c_right) ? gain : nan;
    }
}

void score_block_baseline(const NodeScore& s, ThresholdBlock& b, uint64_t m) {
    score_block_body(s, b, m);
}

[[gnu::target("avx2")]] void score_block_avx2(const NodeScore& s, ThresholdBlock& b, uint64_t m) {
    score_block_body(s, b, m);
}

using ScoreBlock = void (*)(const NodeScore&, ThresholdBlock&, uint64_t);

/// Offers every threshold t = 0 .. n-2 of feature f; n is below hist.shape[1].
void scan_numeric_feature(const Tensor3<double>& hist, uint64_t f, uint64_t n,
                          const NodeScore& s, ScoreBlock score_block, ThresholdBlock& block,
                          RunningBest& best) {
    const char* row = hist.data + int64_t(f) * hist.strides[0];
    const int64_t bin_stride = hist.strides[1];
    const int64_t channel = hist.strides[2];
    const char* missing = row + int64_t(n) * bin_stride;
    const double g_missing = load_cell(missing);
    const double h_missing = load_cell(missing + channel);
    const double c_missing = load_cell(missing + 2 * channel);

    // The missing bin joins each prefix sum as its last term rather than as
    // its starting value: the two orders round differently.
    double g = 0.0, h = 0.0, c = 0.0;
    const char* cell = row;
    for (uint64_t start = 0; start < n - 1; start += block_len) {
        const uint64_t m = std::min(block_len, n - 1 - start);
        for (uint64_t i = 0; i < m; ++i, cell += bin_stride) {
            g += load_cell(cell);
            h += load_cell(cell + channel);
            c += load_cell(cell + 2 * channel);
            block.grad[i] = g_missing + g;
            block.hess[i] = h_missing + h;
            block.count[i] = c_missing + c;
        }
        score_block(s, block, m);
        for (uint64_t i = 0; i < m; ++i) {
            if (beats(best, block.gain[i])) [[unlikely]] {
                best.gain = block.gain[i];
                best.found = true;
                best.feature = f;
                best.bin = int64_t(start + i);
                best.left_count = block.count[i];
                best.right_count = s.count - block.count[i];
            }
        }
    }
}

}  // namespace

void search_numeric(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                    const Vec<bool8>& categorical_mask, const NodeScore& score,
                    RunningBest& best) {
    const ScoreBlock score_block =
        __builtin_cpu_supports("avx2") ? score_block_avx2 : score_block_baseline;
    ThresholdBlock block;
    for (uint64_t f = 0; f < hist.shape[0]; ++f) {
        check_index(f, categorical_mask.len());
        if (categorical_mask[f]) continue;
        check_index(f, n_bins_per_feature.len());
        // Unsigned, so a negative count is not skipped but fails the bound below.
        const uint64_t n = uint64_t(n_bins_per_feature[f]);
        if (n < 2) continue;
        if (n >= hist.shape[1]) [[unlikely]]
            array_index_out_of_bounds();
        scan_numeric_feature(hist, f, n, score, score_block, block, best);
    }
}

}  // namespace tarnwick
