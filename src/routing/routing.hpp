// Row routing: a node's rows into its two children on binned codes, and raw
// rows down a flat tree to their leaves.
#pragma once

#include <cstdint>
#include <optional>

#include "frame/buffer.hpp"
#include "frame/view.hpp"

namespace tarnwick {

/// Children's row ids, each in input order, each buffer exactly as long as
/// its child.
struct RowPartition {
    Buffer<int64_t> left;
    Buffer<int64_t> right;
};

/// Splits `rows` by one rule on feature `feature`: the numeric rule (codes at
/// or below `bin` go left) when left_categories is absent, otherwise the
/// listed codes go left. Rows whose code is missing_bin always go left.
RowPartition partition_rows(const Mat<uint16_t>& binned, const Vec<int64_t>& rows, uint64_t feature,
                            int64_t bin, const std::optional<Vec<int64_t>>& left_categories,
                            uint16_t missing_bin);

/// One flat tree, node 0 the root; node i's left categories are
/// cat_values[cat_offsets[i] : cat_offsets[i + 1]].
struct FlatTree {
    Vec<int32_t> feature;
    Vec<double> threshold;
    Vec<int32_t> left;
    Vec<int32_t> right;
    Vec<int32_t> leaf_id;
    Vec<bool8> missing_left;
    Vec<int64_t> cat_offsets;
    Vec<double> cat_values;
};

/// The leaf id that each row of x reaches.
Buffer<int64_t> apply_tree(const Mat<double>& x, const FlatTree& tree);

}  // namespace tarnwick
