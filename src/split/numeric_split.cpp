// Numeric phase of the split search: every bin threshold of every feature not
// marked categorical, with the missing bin always on the left.
#include <algorithm>
#include <limits>

#include "frame/fault.hpp"
#include "lib/lanes.hpp"
#include "split/split_search.hpp"

namespace tarnwick {
namespace {

// The prefix sums of a feature are three serial chains of additions, bound by
// the adder's latency; the gains of different thresholds are independent and
// bound by the divider. Thresholds therefore go through in blocks, as a two
// stage pipeline: while the gains of one block are computed, several lanes at
// a time, the prefix sums of the next block are accumulated into the other
// half of a double buffer, so both units work at once. The buffers live on
// the stack: the phase allocates nothing.
constexpr uint64_t block_len = 64;

/// Left sides of up to block_len consecutive thresholds, and their gains.
struct ThresholdBlock {
    alignas(64) double grad[block_len];
    alignas(64) double hess[block_len];
    alignas(64) double count[block_len];
    alignas(64) double gain[block_len];
};

/// The running prefix sums of one feature and where its next bin is.
struct PrefixCursor {
    const char* cell;
    int64_t bin_stride;
    int64_t channel;
    double g_missing, h_missing, c_missing;
    double g = 0.0, h = 0.0, c = 0.0;
};

/// Adds the next bin and stores threshold i's left side. The missing bin
/// joins each prefix as its last term, not as the starting value of the sum:
/// the two orders round differently.
[[gnu::always_inline]] inline void accumulate_threshold(PrefixCursor& p, ThresholdBlock& b,
                                                        uint64_t i) {
    p.g += load_cell(p.cell);
    p.h += load_cell(p.cell + p.channel);
    p.c += load_cell(p.cell + 2 * p.channel);
    p.cell += p.bin_stride;
    b.grad[i] = p.g_missing + p.g;
    b.hess[i] = p.h_missing + p.h;
    b.count[i] = p.c_missing + p.c;
}

/// The node's score, broadcast to every lane.
template <class V>
struct LaneScore {
    V grad, hess, count, parent, l2, min_samples_leaf, nan;
};

/// Gains of the thresholds in the lanes from i on. A threshold that fails a leaf
/// guard gets NaN, which the acceptance rule never takes. Each lane follows
/// split_gain operation for operation, so the lane count cannot change a bit.
/// Marks in `beating` the lanes that beat `floor`.
template <class V>
[[gnu::always_inline]] inline void score_lanes(const LaneScore<V>& s, ThresholdBlock& b, uint64_t i,
                                               const V& floor, MaskOf<V>& beating) {
    V g_left, h_left, c_left;
    load(g_left, b.grad + i);
    load(h_left, b.hess + i);
    load(c_left, b.count + i);
    const V c_right = s.count - c_left;
    const V g_right = s.grad - g_left;
    const V h_right = s.hess - h_left;
    const V gain =
        (g_left * g_left / (h_left + s.l2) + g_right * g_right / (h_right + s.l2)) - s.parent;
    const MaskOf<V> rejected = (s.min_samples_leaf > c_left) | (s.min_samples_leaf > c_right);
    const V kept = rejected ? s.nan : gain;
    store(b.gain + i, kept);
    beating |= kept > floor;
}

/// Offers thresholds start .. start+m-1, whose gains are in the block, to the
/// acceptance rule in ascending order.
[[gnu::always_inline]] inline void offer_block(const ThresholdBlock& b, uint64_t f, uint64_t start,
                                               uint64_t m, const NodeScore& s, RunningBest& best) {
    for (uint64_t i = 0; i < m; ++i) {
        if (beats(best, b.gain[i])) {
            best.gain = b.gain[i];
            best.found = true;
            best.feature = f;
            best.bin = int64_t(start + i);
            best.left_count = b.count[i];
            best.right_count = s.count - b.count[i];
        }
    }
}

/// Offers every threshold t = 0 .. n-2 of feature f; n is below hist.shape[1].
template <class V>
[[gnu::always_inline]] inline void scan_numeric_feature(const Tensor3<double>& hist, uint64_t f,
                                                        uint64_t n, const NodeScore& s,
                                                        const LaneScore<V>& ls,
                                                        ThresholdBlock (&blocks)[2],
                                                        RunningBest& best) {
    const char* row = hist.data + int64_t(f) * hist.strides[0];
    const char* missing = row + int64_t(n) * hist.strides[1];
    PrefixCursor p{
        .cell = row,
        .bin_stride = hist.strides[1],
        .channel = hist.strides[2],
        .g_missing = load_cell(missing),
        .h_missing = load_cell(missing + hist.strides[2]),
        .c_missing = load_cell(missing + 2 * hist.strides[2]),
    };
    const uint64_t total = n - 1;
    uint64_t m = std::min(block_len, total);
    for (uint64_t i = 0; i < m; ++i) accumulate_threshold(p, blocks[0], i);

    for (uint64_t start = 0, k = 0; start < total; start += block_len, k ^= 1) {
        ThresholdBlock& current = blocks[k];
        ThresholdBlock& next = blocks[k ^ 1];
        const uint64_t next_m = std::min(block_len, total - std::min(total, start + block_len));
        // Lanes past m hold stale but defined values; their gains are ignored.
        V floor;
        broadcast(floor, best.gain);
        MaskOf<V> any{};
        const uint64_t steps = std::max(m, next_m);
        for (uint64_t i = 0; i < steps; i += lane_count<V>) {
            score_lanes(ls, current, i, floor, any);
            for (uint64_t j = i; j < std::min(i + lane_count<V>, next_m); ++j)
                accumulate_threshold(p, next, j);
        }
        // The gain to beat only rises within a block, so a block none of
        // whose lanes beat its starting value offers nothing.
        if (any_lane(any)) offer_block(current, f, start, m, s, best);
        m = next_m;
    }
}

template <class V>
[[gnu::always_inline]] inline void search_numeric_body(const Tensor3<double>& hist,
                                                       const Vec<int64_t>& n_bins_per_feature,
                                                       const Vec<bool8>& categorical_mask,
                                                       const NodeScore& s, RunningBest& best) {
    LaneScore<V> ls;
    broadcast(ls.grad, s.grad);
    broadcast(ls.hess, s.hess);
    broadcast(ls.count, s.count);
    broadcast(ls.parent, s.parent);
    broadcast(ls.l2, s.l2);
    broadcast(ls.min_samples_leaf, s.min_samples_leaf);
    broadcast(ls.nan, std::numeric_limits<double>::quiet_NaN());
    // Zeroed once, so that lanes past a short block read defined values.
    ThresholdBlock blocks[2]{};
    for (uint64_t f = 0; f < hist.shape[0]; ++f) {
        check_index(f, categorical_mask.len());
        if (categorical_mask[f]) continue;
        check_index(f, n_bins_per_feature.len());
        // Unsigned, so a negative count is not skipped but fails the bound below.
        const uint64_t n = uint64_t(n_bins_per_feature[f]);
        if (n < 2) continue;
        if (n >= hist.shape[1]) [[unlikely]]
            array_index_out_of_bounds();
        scan_numeric_feature(hist, f, n, s, ls, blocks, best);
    }
}

/// The numeric phase in two-lane vectors, which every x86-64 processor has.
void search_numeric_lanes2(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                           const Vec<bool8>& categorical_mask, const NodeScore& s,
                           RunningBest& best) {
    search_numeric_body<Lanes2>(hist, n_bins_per_feature, categorical_mask, s, best);
}

/// The numeric phase in four-lane vectors, compiled for AVX2.
[[TARNWICK_TARGET_AVX2]] void search_numeric_lanes4(const Tensor3<double>& hist,
                                                    const Vec<int64_t>& n_bins_per_feature,
                                                    const Vec<bool8>& categorical_mask,
                                                    const NodeScore& s, RunningBest& best) {
    search_numeric_body<Lanes4>(hist, n_bins_per_feature, categorical_mask, s, best);
}

}  // namespace

void search_numeric(const Tensor3<double>& hist, const Vec<int64_t>& n_bins_per_feature,
                    const Vec<bool8>& categorical_mask, const NodeScore& score, RunningBest& best,
                    Isa isa) {
    if (isa >= Isa::avx2)
        search_numeric_lanes4(hist, n_bins_per_feature, categorical_mask, score, best);
    else
        search_numeric_lanes2(hist, n_bins_per_feature, categorical_mask, score, best);
}

}  // namespace tarnwick
