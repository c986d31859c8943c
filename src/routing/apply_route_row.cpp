// route_row: the checked descent of one row, in the order the tree is read.
#include "routing/apply_route_row.hpp"

#include "frame/fault.hpp"
#include "frame/text.hpp"

namespace tarnwick {

void cycle_fault(uint64_t r, uint64_t n_nodes) {
    fault(cat("tree walk of row ", r, " visited more than ", n_nodes,
              " nodes: the child links form a cycle"));
}

int32_t route_row(uint64_t r, const Mat<double>& x, const FlatTree& tree) {
    const uint64_t n_cols = x.shape[1];
    const double* row = x.flat() + r * n_cols;
    const uint64_t n_nodes = tree.leaf_id.len();
    uint64_t node = 0;
    // A walk without a cycle visits each node at most once.
    for (uint64_t visited = 1;; ++visited) {
        check_index(node, n_nodes);
        if (visited > n_nodes) cycle_fault(r, n_nodes);
        const int32_t leaf = tree.leaf_id.flat()[node];
        if (leaf >= 0) return leaf;

        check_index(node, tree.feature.len());
        // Sign-extended, then unsigned: a negative column is out of range too.
        const uint64_t column = uint64_t(int64_t(tree.feature.flat()[node]));
        // A column past the row would read a neighbouring row's value.
        check_index(column, n_cols);
        const double v = row[column];

        // The routing rule on raw values. The node table's descend_group
        // (apply_node_table.cpp) applies it to checked nodes without
        // branches, and partition_rows (partition_rows.cpp) to bin codes;
        // a change here belongs there too. Each array is read only when the
        // rule needs it, so an array too short for a node faults only for
        // the rows whose walk reads it.
        bool go_left;
        if (v != v) {
            // Missing values go where the node says, before any other test.
            check_index(node, tree.missing_left.len());
            go_left = tree.missing_left.flat()[node] != 0;
        } else {
            const uint64_t n_offsets = tree.cat_offsets.len();
            check_index(node, n_offsets);
            const uint64_t lo = uint64_t(tree.cat_offsets.flat()[node]);
            check_index(node + 1, n_offsets);
            const uint64_t hi = uint64_t(tree.cat_offsets.flat()[node + 1]);
            if (lo < hi) {
                check_range(lo, hi - lo, tree.cat_values.len());
                go_left = is_left_category(tree.cat_values.flat() + lo, hi - lo, v);
            } else {
                check_index(node, tree.threshold.len());
                go_left = v <= tree.threshold.flat()[node];
            }
        }

        const Vec<int32_t>& child = go_left ? tree.left : tree.right;
        check_index(node, child.len());
        node = uint64_t(int64_t(child.flat()[node]));
    }
}

}  // namespace tarnwick
