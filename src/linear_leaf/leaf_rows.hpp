// What the leaf statistics share inside the subsystem: a gradient or hessian
// column read by row id, the five output blocks of one linear slot, and the
// per-leaf routines that the single-tree and the pooled multiclass functions
// both drive.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/view.hpp"
#include "lib/cpu_features.hpp"
#include "linear_leaf/linear_leaf.hpp"
#include "parallel/pool.hpp"

namespace tarnwick {

/// Gradients or hessians indexed by row id: a 1-D vector with its stride, or
/// one class column of a C-ordered (n_rows, n_classes) matrix, which is the
/// same thing with a stride of n_classes elements.
struct RowColumn {
    const char* data = nullptr;
    int64_t stride = 0;  // bytes from one row id to the next
    uint64_t len = 0;    // row ids below len can be read

    double operator[](uint64_t r) const noexcept {
        double v;
        std::memcpy(&v, data + int64_t(r) * stride, sizeof v);
        return v;
    }
};

/// A 1-D vector of row values as a column.
inline RowColumn row_column(const Vec<double>& v) noexcept {
    return RowColumn{v.data, v.strides[0], v.len()};
}

/// The blocks of one linear slot: gram is d x d, the others d values each.
/// No two slots share a value, so slots can be filled on different threads.
struct SlotBlocks {
    double* gram;
    double* hz;
    double* gz;
    double* zmin;
    double* zmax;
};

/// The embedding matrix as the row loop reads it: flat values, d per row.
struct Embedding {
    const double* values;
    uint64_t count;  // n_rows * d
    uint64_t d;
};

/// n_leaves = len(offsets) - 1; an empty offsets has no leaf count and is a fault.
uint64_t leaf_count(const Vec<int64_t>& offsets);

/// Gradient and hessian totals of every leaf of one tree, in leaf order.
void leaf_totals(LeafStats& stats, const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                 const Vec<double>& grad, const Vec<double>& hess);

/// Gradient and hessian totals of every pooled leaf; leaf l reads column
/// leaf_class[l] of the C-ordered grad and hess.
void leaf_totals_mc(LeafStats& stats, const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                    const Mat<double>& grad, const Mat<double>& hess,
                    const Vec<int64_t>& leaf_class);

/// Column c of a C-ordered (n_rows, n_classes) matrix; c must be a class id,
/// checked here so that a wrong one can never read a neighbouring row.
RowColumn class_column(const double* values, uint64_t count, uint64_t c, uint64_t n_classes);

/// Adds every row at positions [s, e) of order into the slot's blocks
/// (upper triangle of gram only), each element in position order, in the
/// lane vectors of `isa` (two lanes on the baseline, four with AVX2, which
/// the processor must have); each instruction set gives the same bits.
void accumulate_span(const SlotBlocks& out, const Embedding& z, const Vec<int64_t>& order,
                     int64_t s, int64_t e, RowColumn grad, RowColumn hess, Isa isa);

/// Fills one linear slot from the rows of leaf `leaf` of a single tree.
void accumulate_leaf(const SlotBlocks& out, uint64_t leaf, uint64_t d, const Vec<int64_t>& offsets,
                     const Vec<int64_t>& order, const Vec<double>& grad, const Vec<double>& hess,
                     const double* z, uint64_t z_count);

/// Fills one linear slot from the rows of pooled leaf `leaf`, whose gradients
/// and hessians are column c of the flat C-ordered (n_rows, n_classes) grad and hess.
void accumulate_leaf_mc(const SlotBlocks& out, uint64_t leaf, uint64_t d,
                        const Vec<int64_t>& offsets, const Vec<int64_t>& order, const double* grad,
                        uint64_t grad_count, const double* hess, uint64_t hess_count, uint64_t c,
                        uint64_t n_classes, const double* z, uint64_t z_count);

/// Allocates items 2 to 6 of `stats` for its n_linear and d, holding their
/// initial values (sums +0.0, z_min +inf, z_max -inf). Sizes that do not
/// fit a signed 64-bit size fault with "capacity overflow" before anything is filled.
void allocate_slot_outputs(LeafStats& stats);

/// The blocks of linear slot k.
SlotBlocks slot_blocks(LeafStats& stats, uint64_t k) noexcept;

/// Runs fill(k) for every linear slot k: on the pool, one slot as the
/// smallest unit, when there are at least two slots and d * len(order) is at
/// least 65,536; otherwise in ascending order on the calling thread. Each slot
/// writes only its own blocks, so both branches give the same bits.
template <class Fill>
void for_each_slot(uint64_t n_linear, uint64_t d, uint64_t order_len, Fill&& fill) {
    uint64_t work;
    bool large = __builtin_mul_overflow(d, order_len, &work) || work > 65535;
    if (n_linear >= 2 && large) {
        parallel_for_each(n_linear, [&](uint64_t begin, uint64_t end) {
            for (uint64_t k = begin; k < end; ++k) fill(k);
        });
    } else {
        for (uint64_t k = 0; k < n_linear; ++k) fill(k);
    }
}

}  // namespace tarnwick
