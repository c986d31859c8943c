// Order-keeping partition of a node's rows into its two children by one split
// rule on the binned codes of one feature.
#include <vector>

#include "frame/fault.hpp"
#include "routing/routing.hpp"

namespace tarnwick {
namespace {

// The routing rule on bin codes: the missing code always goes left, then a
// numeric split sends codes at or below its threshold left and a categorical
// split its listed codes. apply_tree routes raw values by the same rule, with
// NaN as the missing value and each node saying where it goes (route_row in
// apply_route_row.cpp, and the node table's descend_group in
// apply_node_table.cpp): a change here belongs there too.

/// Codes at or below the threshold go left, and so does the missing code.
/// The threshold keeps its full signed width: a negative one sends every
/// non-missing row right, one at or above 65535 sends every row left.
struct NumericRule {
    int64_t bin;
    uint16_t missing_bin;

    bool goes_left(uint16_t code) const { return (code == missing_bin) | (int64_t(code) <= bin); }
};

/// A lookup of missing_bin + 1 entries, with the missing code itself marked
/// left. A code above missing_bin has no entry and is an index fault.
struct CategoryRule {
    const uint8_t* left;
    uint16_t missing_bin;

    bool goes_left(uint16_t code) const {
        check_index(code, uint64_t(missing_bin) + 1);
        return left[code] != 0;
    }
};

/// Sends every row in order to its side; returns the left count. Each id is
/// written to both outputs and only the cursor of its side advances, so the
/// loop has no data-dependent branch; both buffers have room for every row,
/// so the extra write is always in bounds.
template <bool Contiguous, class Rule>
uint64_t partition_pass(const uint16_t* __restrict codes, uint64_t n_rows, const Vec<int64_t>& rows,
                        const Rule rule, RowPartition& out) {
    int64_t* __restrict left = out.left.data();
    int64_t* __restrict right = out.right.data();
    // Locals, so that the stores to the outputs cannot make the compiler
    // reload the row count or stride on every row.
    const Vec<int64_t> ids = rows;
    const int64_t* __restrict flat = ids.flat();
    const uint64_t n_sel = ids.len();
    uint64_t n_left = 0, n_right = 0;
    for (uint64_t i = 0; i < n_sel; ++i) {
        const int64_t r = Contiguous ? flat[i] : ids[i];
        check_index(uint64_t(r), n_rows);
        const bool go_left = rule.goes_left(codes[r]);
        left[n_left] = r;
        right[n_right] = r;
        n_left += go_left;
        n_right += !go_left;
    }
    return n_left;
}

/// Partitions the rows, then shrinks each output to its child's length: the
/// room for every row was only needed while the pass ran.
template <class Rule>
void partition_by_rule(const uint16_t* codes, uint64_t n_rows, const Vec<int64_t>& rows,
                       const Rule rule, RowPartition& out) {
    const uint64_t n_left = rows.c_contiguous
                                ? partition_pass<true>(codes, n_rows, rows, rule, out)
                                : partition_pass<false>(codes, n_rows, rows, rule, out);
    out.left.shrink(n_left);
    out.right.shrink(rows.len() - n_left);
}

}  // namespace

RowPartition partition_rows(const Mat<uint16_t>& binned, const Vec<int64_t>& rows, uint64_t feature,
                            int64_t bin, const std::optional<Vec<int64_t>>& left_categories,
                            uint16_t missing_bin) {
    require_c_contiguous(binned, "feature-major binned must be C-contiguous");
    const uint64_t n_rows = binned.shape[1];
    uint64_t start;
    if (__builtin_mul_overflow(feature, n_rows, &start)) [[unlikely]]
        range_end_out_of_range(UINT64_MAX, binned.size());
    check_range(start, n_rows, binned.size());
    const uint16_t* codes = binned.flat() + start;

    RowPartition out;
    out.left = Buffer<int64_t>::uninitialized(rows.len());
    out.right = Buffer<int64_t>::uninitialized(rows.len());
    if (!left_categories) {
        partition_by_rule(codes, n_rows, rows, NumericRule{bin, missing_bin}, out);
        return out;
    }
    std::vector<uint8_t> left(uint64_t(missing_bin) + 1, 0);
    const Vec<int64_t>& listed = *left_categories;
    for (uint64_t i = 0; i < listed.len(); ++i) {
        // Codes that no row can carry under this rule have no effect.
        const uint64_t code = uint64_t(listed[i]);
        if (code <= missing_bin) left[code] = 1;
    }
    left[missing_bin] = 1;
    partition_by_rule(codes, n_rows, rows, CategoryRule{left.data(), missing_bin}, out);
    return out;
}

}  // namespace tarnwick
