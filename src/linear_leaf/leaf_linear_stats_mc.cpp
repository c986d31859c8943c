// leaf_linear_stats_mc: the leaf statistics of all class trees of one
// multiclass round in one call, so that one parallel loop spreads the linear
// leaves of every class over the pool.
#include "frame/fault.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {

LeafStats leaf_linear_stats_mc(const Mat<double>& z, const Mat<double>& grad,
                               const Mat<double>& hess, const Vec<int64_t>& order,
                               const Vec<int64_t>& offsets, const Vec<int64_t>& linear,
                               const Vec<int64_t>& leaf_class) {
    // z, grad and hess are read as flat memory.
    require_c_contiguous(z, "Z must be C-contiguous");
    require_c_contiguous(grad, "grad must be C-contiguous");
    require_c_contiguous(hess, "hess must be C-contiguous");
    // Both are read at grad's column count; a hess of another shape would put
    // one class's hessians next to another class's gradients.
    if (hess.shape != grad.shape) fault("hess must have the same shape as grad");
    const uint64_t n_classes = grad.shape[1];

    LeafStats stats;
    stats.n_leaves = leaf_count(offsets);
    stats.n_linear = linear.len();
    stats.d = z.shape[1];
    leaf_totals_mc(stats, order, offsets, grad, hess, leaf_class);
    allocate_slot_outputs(stats);
    if (stats.n_linear == 0 || stats.d == 0) return stats;
    require_c_contiguous(linear, "linear indices C-contiguous");
    require_c_contiguous(leaf_class, "leaf_class C-contiguous");

    const int64_t* leaves = linear.flat();
    const int64_t* classes = leaf_class.flat();
    for_each_slot(stats.n_linear, stats.d, order.len(), [&](uint64_t k) {
        const uint64_t leaf = uint64_t(leaves[k]);
        check_index(leaf, leaf_class.len());
        accumulate_leaf_mc(slot_blocks(stats, k), leaf, stats.d, offsets, order, grad.flat(),
                           grad.size(), hess.flat(), hess.size(), uint64_t(classes[leaf]),
                           n_classes, z.flat(), z.size());
    });
    return stats;
}

}  // namespace tarnwick
