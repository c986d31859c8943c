// leaf_linear_stats: the sums that the linear fits of one tree's leaves need.
#include "frame/fault.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {

LeafStats leaf_linear_stats(const Mat<double>& z, const Vec<double>& grad, const Vec<double>& hess,
                            const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                            const Vec<int64_t>& linear) {
    // The embedding rows are read as flat memory.
    require_c_contiguous(z, "Z must be C-contiguous");
    LeafStats stats;
    stats.n_leaves = leaf_count(offsets);
    stats.n_linear = linear.len();
    stats.d = z.shape[1];
    leaf_totals(stats, order, offsets, grad, hess);
    allocate_slot_outputs(stats);
    if (stats.d == 0) return stats;
    require_c_contiguous(linear, "linear indices must be C-contiguous");

    const int64_t* leaves = linear.flat();
    for_each_slot(stats.n_linear, stats.d, order.len(), [&](uint64_t k) {
        accumulate_leaf(slot_blocks(stats, k), uint64_t(leaves[k]), stats.d, offsets, order, grad,
                        hess, z.flat(), z.size());
    });
    return stats;
}

}  // namespace tarnwick
