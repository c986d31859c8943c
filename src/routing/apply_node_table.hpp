// A compact copy of a flat tree for fast descents: one 32-byte entry per node,
// with every bound the descent relies on checked once per call instead of at
// every visit.
#pragma once

#include <cstdint>

#include "frame/buffer.hpp"
#include "routing/routing.hpp"

namespace tarnwick {

enum class NodeKind : uint8_t {
    numeric,      // v <= threshold goes left
    leaf,         // both children are the node itself, so a finished row stays put
    categorical,  // cat_values[cat_offsets[i] : cat_offsets[i + 1]] go left
    unchecked,    // some read of this node may fail: only the checked walk visits it
};

/// One node. For numeric and categorical nodes the column lies in
/// [0, n_cols) and both children are node numbers of the table; leaves and
/// unchecked nodes hold column 0, so a descent may read it before looking at
/// the kind (a table is only built when rows have a column). The children
/// are indexed by the outcome of the test (child[1] left, child[0] right),
/// so that choosing one is a load, not a branch that the data decides.
struct alignas(32) TableNode {
    double threshold;
    uint32_t column;
    uint32_t child[2];
    int32_t leaf;
    NodeKind kind;
    bool missing_left;
};

/// Tested columns whose values are requested for the next rows while the
/// current ones descend. A row's cache lines are read only where the tree
/// tests them, too sparsely for the hardware to stream them in, and each
/// level's test waits for its value.
constexpr unsigned max_prefetch_columns = 16;

/// The table of a tree for one call; `nodes` is null when the tree is not
/// worth a table (more nodes than rows, or nothing a descent could read).
struct NodeTable {
    Buffer<char> storage;
    const TableNode* nodes = nullptr;
    uint64_t n_nodes = 0;
    // The first distinct tested columns in node order (the root's first).
    uint32_t prefetch_columns[max_prefetch_columns] = {};
    unsigned n_prefetch_columns = 0;
};

NodeTable build_node_table(const Mat<double>& x, const FlatTree& tree);

/// out[r] = leaf id of row r for r in [begin, end): several rows descend at
/// once through the table; a group that meets an unchecked node, or walks
/// longer than the tree has nodes, is routed again by route_row, row by row,
/// which reports the fault of the first failing row.
void route_rows(const NodeTable& table, const Mat<double>& x, const FlatTree& tree, uint64_t begin,
                uint64_t end, int64_t* out);

}  // namespace tarnwick
