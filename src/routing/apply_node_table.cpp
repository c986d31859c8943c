// The node table and the interleaved descent of a group of rows through it.
#include "routing/apply_node_table.hpp"

#include <algorithm>
#include <cstring>

#include "lib/lanes.hpp"
#include "routing/apply_route_row.hpp"

namespace tarnwick {

namespace {

// Rows descending together: each step of one row is a chain of dependent
// loads (node, value, child), and the other rows' chains fill the wait.
constexpr unsigned rows_per_group = 8;

/// Node i as the table holds it: unchecked unless every read that a visit
/// may make is inside its array and both children are node numbers.
TableNode describe_node(uint64_t i, uint64_t n_cols, const FlatTree& tree) {
    const uint64_t n_nodes = tree.leaf_id.len();
    TableNode node{};
    const int32_t leaf = tree.leaf_id.flat()[i];
    if (leaf >= 0) {
        node.kind = NodeKind::leaf;
        node.leaf = leaf;
        node.child[0] = node.child[1] = uint32_t(i);
        return node;
    }
    node.kind = NodeKind::unchecked;
    if (i >= tree.feature.len() || i >= tree.missing_left.len() ||
        i + 1 >= tree.cat_offsets.len() || i >= tree.left.len() || i >= tree.right.len())
        return node;
    const uint64_t column = uint64_t(int64_t(tree.feature.flat()[i]));
    const uint64_t left = uint64_t(int64_t(tree.left.flat()[i]));
    const uint64_t right = uint64_t(int64_t(tree.right.flat()[i]));
    if (column >= n_cols || left >= n_nodes || right >= n_nodes) return node;
    const uint64_t lo = uint64_t(tree.cat_offsets.flat()[i]);
    const uint64_t hi = uint64_t(tree.cat_offsets.flat()[i + 1]);
    NodeKind kind;
    if (lo < hi) {
        if (hi > tree.cat_values.len()) return node;
        kind = NodeKind::categorical;
    } else {
        if (i >= tree.threshold.len()) return node;
        kind = NodeKind::numeric;
        node.threshold = tree.threshold.flat()[i];
    }
    node.kind = kind;
    node.column = uint32_t(column);
    node.child[1] = uint32_t(left);
    node.child[0] = uint32_t(right);
    node.missing_left = tree.missing_left.flat()[i] != 0;
    return node;
}

/// Adds the column to the prefetch list unless it is listed, or the list is full.
void note_prefetch_column(NodeTable& table, uint32_t column) {
    if (table.n_prefetch_columns == max_prefetch_columns) return;
    for (unsigned c = 0; c < table.n_prefetch_columns; ++c)
        if (table.prefetch_columns[c] == column) return;
    table.prefetch_columns[table.n_prefetch_columns++] = column;
}

/// Descends rows [first, first + count) (count at most R) together, one
/// level per round; lanes past count repeat the last row. Returns false,
/// leaving out untouched, when a lane meets an unchecked node or the walk
/// outgrows the tree.
template <unsigned R>
bool descend_group(const NodeTable& table, const FlatTree& tree, const double* x, uint64_t n_cols,
                   uint64_t first, uint64_t count, int64_t* out) {
    const TableNode* nodes = table.nodes;
    const double* row[R];
    uint32_t at[R];
    for (unsigned l = 0; l < R; ++l) {
        row[l] = x + (first + std::min<uint64_t>(l, count - 1)) * n_cols;
        at[l] = 0;
    }
    // In round t a lane visits its (t + 1)-th node; past n_nodes rounds some
    // lane is going round a cycle.
    for (uint64_t round = 0;; ++round) {
        bool internal = false;
#pragma GCC unroll 16
        for (unsigned l = 0; l < R; ++l) {
            const TableNode& node = nodes[at[l]];
            internal |= node.kind != NodeKind::leaf;
            const double v = row[l][node.column];
            bool go_left;
            if (node.kind >= NodeKind::categorical) [[unlikely]] {
                if (node.kind == NodeKind::unchecked) return false;
                const uint64_t lo = uint64_t(tree.cat_offsets.flat()[at[l]]);
                const uint64_t hi = uint64_t(tree.cat_offsets.flat()[at[l] + 1]);
                go_left = v != v ? node.missing_left
                                 : is_left_category(tree.cat_values.flat() + lo, hi - lo, v);
            } else {
                // route_row's rule (apply_route_row.cpp) without a branch:
                // NaN compares false, so it goes left only when missing_left says.
                go_left = (v <= node.threshold) | ((v != v) & node.missing_left);
            }
            at[l] = node.child[go_left];
        }
        if (!internal) break;
        if (round >= table.n_nodes) return false;
    }
    for (unsigned l = 0; l < count; ++l) out[first + l] = nodes[at[l]].leaf;
    return true;
}

}  // namespace

NodeTable build_node_table(const Mat<double>& x, const FlatTree& tree) {
    NodeTable table;
    const uint64_t n_nodes = tree.leaf_id.len();
    const uint64_t n_cols = x.shape[1];
    // Building costs a visit per node, paid back only when rows outnumber
    // nodes; child links are 32-bit, so higher node numbers are unreachable.
    if (n_nodes == 0 || n_cols == 0 || n_nodes > x.shape[0] || n_nodes > uint64_t(INT32_MAX))
        return table;
    // One node more than needed, so that the table can start aligned.
    table.storage = Buffer<char>::zeroed(checked_size(n_nodes + 1, sizeof(TableNode)));
    TableNode* nodes = first_aligned<TableNode>(table.storage.data());
    for (uint64_t i = 0; i < n_nodes; ++i) {
        nodes[i] = describe_node(i, n_cols, tree);
        if (nodes[i].kind == NodeKind::numeric || nodes[i].kind == NodeKind::categorical)
            note_prefetch_column(table, nodes[i].column);
    }
    table.nodes = nodes;
    table.n_nodes = n_nodes;
    return table;
}

void route_rows(const NodeTable& table, const Mat<double>& x, const FlatTree& tree, uint64_t begin,
                uint64_t end, int64_t* out) {
    if (table.nodes == nullptr) {
        for (uint64_t r = begin; r < end; ++r) out[r] = route_row(r, x, tree);
        return;
    }
    const uint64_t n_cols = x.shape[1];
    for (uint64_t first = begin; first < end; first += rows_per_group) {
        const uint64_t count = std::min<uint64_t>(rows_per_group, end - first);
        const uint64_t ahead_end = std::min(end, first + 2 * rows_per_group);
        for (uint64_t r = first + rows_per_group; r < ahead_end; ++r)
            for (unsigned c = 0; c < table.n_prefetch_columns; ++c)
                __builtin_prefetch(x.flat() + r * n_cols + table.prefetch_columns[c]);
        if (!descend_group<rows_per_group>(table, tree, x.flat(), n_cols, first, count, out))
            for (uint64_t r = first; r < first + count; ++r) out[r] = route_row(r, x, tree);
    }
}

}  // namespace tarnwick
