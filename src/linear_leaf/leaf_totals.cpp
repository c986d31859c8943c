// Gradient and hessian totals of every leaf, linear or not. They run on the
// calling thread, before any linear slot, so an index fault in any leaf's
// rows is reported ahead of the slots' own checks.
#include <algorithm>

#include "frame/fault.hpp"
#include "frame/text.hpp"
#include "linear_leaf/leaf_rows.hpp"

namespace tarnwick {
namespace {

// The rows of a leaf are scattered over the training set, so each gradient
// is a cache miss unless it was requested this many rows early.
constexpr uint64_t prefetch_distance = 16;

/// Totals of the rows at positions [s, e) of order, each added in position
/// order from +0.0. Nothing is read when s >= e.
void sum_leaf_rows(const Vec<int64_t>& order, int64_t s, int64_t e, RowColumn grad, RowColumn hess,
                   double& total_grad, double& total_hess) {
    double g_sum = 0.0;
    double h_sum = 0.0;
    if (s < e) {
        const uint64_t order_len = order.len();
        // Positions compare unsigned, so a negative start fails the first check.
        const uint64_t first = uint64_t(s);
        const uint64_t count = uint64_t(e) - uint64_t(s);
        const uint64_t readable = std::min(uint64_t(e), order_len);
        for (uint64_t t = 0; t < count; ++t) {
            const uint64_t j = first + t;
            check_index(j, order_len);
            if (j + prefetch_distance < readable) {
                const uint64_t ahead = uint64_t(order[j + prefetch_distance]);
                if (ahead < grad.len) __builtin_prefetch(grad.data + int64_t(ahead) * grad.stride);
                if (ahead < hess.len) __builtin_prefetch(hess.data + int64_t(ahead) * hess.stride);
            }
            const uint64_t r = uint64_t(order[j]);
            check_index(r, grad.len);
            check_index(r, hess.len);
            g_sum += grad[r];
            h_sum += hess[r];
        }
    }
    total_grad = g_sum;
    total_hess = h_sum;
}

[[noreturn, gnu::cold]] void bad_class(int64_t c, uint64_t n_classes) {
    fault(cat("leaf_class entry ", c, " is not a class id below n_classes = ", n_classes));
}

}  // namespace

uint64_t leaf_count(const Vec<int64_t>& offsets) {
    if (offsets.len() == 0) [[unlikely]]
        fault("offsets must hold at least one entry");
    return offsets.len() - 1;
}

RowColumn class_column(const double* values, uint64_t count, uint64_t c, uint64_t n_classes) {
    if (c >= n_classes) [[unlikely]]
        bad_class(int64_t(c), n_classes);
    return RowColumn{reinterpret_cast<const char*>(values + c), int64_t(n_classes * sizeof(double)),
                     count / n_classes};
}

void leaf_totals(LeafStats& stats, const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                 const Vec<double>& grad, const Vec<double>& hess) {
    const uint64_t n_leaves = stats.n_leaves;
    stats.leaf_grad_sum = Buffer<double>::zeroed(n_leaves);
    stats.leaf_hess_sum = Buffer<double>::zeroed(n_leaves);
    for (uint64_t l = 0; l < n_leaves; ++l)
        sum_leaf_rows(order, offsets[l], offsets[l + 1], row_column(grad), row_column(hess),
                      stats.leaf_grad_sum[l], stats.leaf_hess_sum[l]);
}

void leaf_totals_mc(LeafStats& stats, const Vec<int64_t>& order, const Vec<int64_t>& offsets,
                    const Mat<double>& grad, const Mat<double>& hess,
                    const Vec<int64_t>& leaf_class) {
    const uint64_t n_leaves = stats.n_leaves;
    const uint64_t n_classes = grad.shape[1];
    stats.leaf_grad_sum = Buffer<double>::zeroed(n_leaves);
    stats.leaf_hess_sum = Buffer<double>::zeroed(n_leaves);
    for (uint64_t l = 0; l < n_leaves; ++l) {
        // Every leaf needs a class entry, even an empty one that is not linear.
        check_index(l, leaf_class.len());
        const int64_t s = offsets[l];
        const int64_t e = offsets[l + 1];
        if (s >= e) continue;
        const uint64_t c = uint64_t(leaf_class[l]);
        sum_leaf_rows(order, s, e, class_column(grad.flat(), grad.size(), c, n_classes),
                      class_column(hess.flat(), hess.size(), c, n_classes), stats.leaf_grad_sum[l],
                      stats.leaf_hess_sum[l]);
    }
}

}  // namespace tarnwick
