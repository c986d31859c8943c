// One linear slot: the leaf's span of the leaf-order layout, its row loop,
// and the lower triangle of its Gram block copied from the upper one.
#include "frame/fault.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {
namespace {

/// The span [s, e) of leaf `leaf`; the leaf id compares unsigned, so a
/// negative id is out of range too.
void leaf_span(uint64_t leaf, const Vec<int64_t>& offsets, int64_t& s, int64_t& e) {
    check_index(leaf, offsets.len());
    check_index(leaf + 1, offsets.len());
    s = offsets[leaf];
    e = offsets[leaf + 1];
}

/// Only the upper triangle is accumulated per row; the lower one is copied
/// once per slot, also for a leaf without rows.
void mirror_gram(double* gram, uint64_t d) {
    for (uint64_t i = 1; i < d; ++i)
        for (uint64_t c = 0; c < i; ++c) gram[i * d + c] = gram[c * d + i];
}

}  // namespace

void accumulate_leaf(const SlotBlocks& out, uint64_t leaf, uint64_t d, const Vec<int64_t>& offsets,
                     const Vec<int64_t>& order, const Vec<double>& grad, const Vec<double>& hess,
                     const double* z, uint64_t z_count) {
    int64_t s, e;
    leaf_span(leaf, offsets, s, e);
    accumulate_span(out, Embedding{z, z_count, d}, order, s, e, row_column(grad), row_column(hess),
                    cpu_isa());
    mirror_gram(out.gram, d);
}

void accumulate_leaf_mc(const SlotBlocks& out, uint64_t leaf, uint64_t d,
                        const Vec<int64_t>& offsets, const Vec<int64_t>& order, const double* grad,
                        uint64_t grad_count, const double* hess, uint64_t hess_count, uint64_t c,
                        uint64_t n_classes, const double* z, uint64_t z_count) {
    // The class is checked before anything is read with it. With c below
    // n_classes, the flat index r * n_classes + c is inside the matrix exactly
    // when r is below its row count; checking r keeps a huge row id from
    // wrapping the product onto another row's values.
    const RowColumn g = class_column(grad, grad_count, c, n_classes);
    const RowColumn h = class_column(hess, hess_count, c, n_classes);
    int64_t s, e;
    leaf_span(leaf, offsets, s, e);
    accumulate_span(out, Embedding{z, z_count, d}, order, s, e, g, h, cpu_isa());
    mirror_gram(out.gram, d);
}

}  // namespace tarnwick
