// The descent of one row of x from the root of a flat tree to its leaf, every
// array access checked.
#pragma once

#include <cstdint>

#include "routing/routing.hpp"

namespace tarnwick {

/// Whether v equals one of the n category codes (IEEE equality: 0.0 matches
/// -0.0, and a NaN code matches nothing). Compares eight codes per step and
/// stops at the first step with a match.
inline bool is_left_category(const double* __restrict codes, uint64_t n, double v) {
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        bool any = false;
        for (int j = 0; j < 8; ++j) any |= codes[i + j] == v;
        if (any) return true;
    }
    for (; i < n; ++i)
        if (codes[i] == v) return true;
    return false;
}

/// The leaf id that row r of x reaches. Every node number, column, category
/// range and child is tested against its own array (index fault otherwise);
/// a column outside [0, n_cols) is a fault too, and so is a walk that visits
/// more nodes than the tree has, which only a cycle of child links can make.
int32_t route_row(uint64_t r, const Mat<double>& x, const FlatTree& tree);

/// "tree walk of row {r} visited more than {n_nodes} nodes: the child links form a cycle"
[[noreturn, gnu::cold]] void cycle_fault(uint64_t r, uint64_t n_nodes);

}  // namespace tarnwick
