// The per-slot outputs of the leaf statistics: allocated once, before any
// slot is filled, already holding their initial values, and cut into the
// disjoint blocks that one slot writes.
#include <limits>

#include "frame/fault.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {

void allocate_slot_outputs(LeafStats& stats) {
    // Every size is checked before the first buffer exists, so an oversized
    // request faults without allocating anything.
    const uint64_t rows = checked_size(stats.n_linear, stats.d);
    const uint64_t cells = checked_size(rows, stats.d);
    checked_size(cells, sizeof(double));
    constexpr double inf = std::numeric_limits<double>::infinity();
    stats.hz_sum = Buffer<double>::zeroed(rows);
    stats.gram = Buffer<double>::zeroed(cells);
    stats.gz_sum = Buffer<double>::zeroed(rows);
    stats.z_min = Buffer<double>::filled(rows, inf);
    stats.z_max = Buffer<double>::filled(rows, -inf);
}

SlotBlocks slot_blocks(LeafStats& stats, uint64_t k) noexcept {
    const uint64_t d = stats.d;
    return SlotBlocks{stats.gram.data() + k * d * d, stats.hz_sum.data() + k * d,
                      stats.gz_sum.data() + k * d, stats.z_min.data() + k * d,
                      stats.z_max.data() + k * d};
}

}  // namespace tarnwick
