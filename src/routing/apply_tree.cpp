// apply_tree: the driver. Checks the layouts, then routes the rows serially or
// in chunks on the worker pool.
#include <algorithm>

#include "frame/fault.hpp"
#include "parallel/pool.hpp"
#include "routing/apply_node_table.hpp"
#include "routing/routing.hpp"

namespace tarnwick {

namespace {

// Rows from which the pool is used, and the rows of one parallel item.
constexpr uint64_t parallel_rows = 16384;
constexpr uint64_t chunk_rows = 8192;

}  // namespace

Buffer<int64_t> apply_tree(const Mat<double>& x, const FlatTree& tree) {
    require_c_contiguous(x, "X must be C-contiguous");
    require_c_contiguous(tree.feature, "feature must be C-contiguous");
    require_c_contiguous(tree.threshold, "threshold must be C-contiguous");
    require_c_contiguous(tree.left, "left must be C-contiguous");
    require_c_contiguous(tree.right, "right must be C-contiguous");
    require_c_contiguous(tree.leaf_id, "leaf_id must be C-contiguous");
    require_c_contiguous(tree.missing_left, "missing_left must be C-contiguous");
    require_c_contiguous(tree.cat_offsets, "cat_offsets must be C-contiguous");
    require_c_contiguous(tree.cat_values, "cat_values must be C-contiguous");

    const uint64_t n_rows = x.shape[0];
    Buffer<int64_t> result = Buffer<int64_t>::zeroed(n_rows);
    if (n_rows == 0) return result;
    const NodeTable table = build_node_table(x, tree);
    int64_t* out = result.data();
    if (n_rows < parallel_rows) {
        route_rows(table, x, tree, 0, n_rows, out);
    } else {
        parallel_for_each(chunk_count(n_rows, chunk_rows), [&](uint64_t begin, uint64_t end) {
            for (uint64_t c = begin; c < end; ++c)
                route_rows(table, x, tree, c * chunk_rows, std::min(n_rows, (c + 1) * chunk_rows),
                           out);
        });
    }
    return result;
}

}  // namespace tarnwick
