// build_histograms: the driver. Validates and gathers the node's rows once,
// then runs the per-feature passes serially or on the worker pool.
#include <algorithm>
#include <bit>
#include <cmath>
#include <string_view>

#include "histogram/accumulate_feature.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"

namespace tarnwick {

namespace {

constexpr std::string_view not_contiguous = "feature-major binned must be C-contiguous";
// An empty feature block or bin-code run: the serial and the parallel walk
// word it differently.
constexpr std::string_view zero_chunk_serial = "chunk size must be non-zero";
constexpr std::string_view zero_chunk_parallel = "chunk_size must not be zero";

// Row-feature pairs from which the features go to the worker pool.
constexpr uint64_t parallel_pairs = 131072;

/// Raises the fault of the first listed row that is not a valid id, at
/// position `bad`; a walk in row order meets feature 0's codes of the rows
/// before it first, so a bad code there wins.
[[noreturn, gnu::cold]] void row_fault(const FeatureBlocks& blocks, const Vec<int64_t>& rows,
                                       const Vec<double>& grad, const Vec<double>& hess,
                                       uint64_t bad) {
    for (uint64_t i = 0; i < bad; ++i) {
        const uint64_t b = blocks.codes[uint64_t(rows[i])];
        if (b >= blocks.n_bins_max) index_out_of_bounds(3 * blocks.n_bins_max, 3 * b);
    }
    const uint64_t r = uint64_t(rows[bad]);
    check_index(r, blocks.n_rows);
    check_index(r, grad.len());
    index_out_of_bounds(hess.len(), r);
}

/// A node's rows as the passes read them, with the copies it needed.
struct NodeRows {
    Buffer<uint64_t> row_copy;
    Buffer<double> grad_copy;
    Buffer<double> hess_copy;
    PassRows view;
};

// Rows per piece of the parallel gather.
constexpr uint64_t gather_chunk = 8192;
// Rows ahead whose gradient and hessian are requested early: a sparse node's
// rows are far apart, and each value is a cache miss of its own.
constexpr uint64_t gather_prefetch_distance = 16;
// Listed rows read their gradients and hessians by id in every pass while
// the lines those reads touch stay in the core's cache between passes
// (about half of a 1 MiB second-level cache), or when the rows fill at least
// half of the id range they span, so that a pass reads the values about as
// densely as a gathered copy. Otherwise one gather into position order is
// cheaper than a pass over scattered lines for every few features.
constexpr uint64_t cached_value_bytes = uint64_t(512) << 10;

/// Whether every hessian is the same value (a broadcast vector, or one of a
/// single row), and adding that value up n_sel times is exact: then each
/// partial sum k * v has at most 53 significant bits and lies in range, so
/// every addition rounds to itself and a bin's sum is its count times v.
bool hessians_counted(const Vec<double>& hess, uint64_t n_sel, double* each_hess) {
    if (hess.len() != 1 && hess.strides[0] != 0) return false;
    const double v = hess[0];
    if (!std::isfinite(v) || v == 0.0) return false;
    int exponent;
    const auto mantissa = uint64_t(std::ldexp(std::abs(std::frexp(v, &exponent)), 53));
    const uint64_t odd = mantissa >> std::countr_zero(mantissa);
    uint64_t top;
    if (__builtin_mul_overflow(odd, n_sel, &top) || top >= uint64_t(1) << 53) return false;
    // n_sel is below 2**53 here, so it converts exactly; an exact sum beyond
    // the largest double would have rounded to infinity.
    if (!std::isfinite(std::abs(v) * double(n_sel))) return false;
    *each_hess = v;
    return true;
}

/// Listed rows spread over more than this many ids per row are sparse: fewer
/// than one in five ids of their range is listed.
constexpr uint64_t sparse_span = 5;

/// Copies the gradients and hessians (the latter unless hess_copy is null,
/// and the ids, when row_copy is given) of positions [begin, end) into
/// position order.
void gather_values(const Vec<int64_t>& rows, const Vec<double>& grad, const Vec<double>& hess,
                   uint64_t begin, uint64_t end, double* __restrict grad_copy,
                   double* __restrict hess_copy, uint64_t* __restrict row_copy) {
    const uint64_t ahead_end = end > gather_prefetch_distance ? end - gather_prefetch_distance : 0;
    for (uint64_t i = begin; i < end; ++i) {
        if (i < ahead_end) {
            const uint64_t ahead = uint64_t(rows[i + gather_prefetch_distance]);
            __builtin_prefetch(grad.address(ahead));
            if (hess_copy != nullptr) __builtin_prefetch(hess.address(ahead));
        }
        const uint64_t r = uint64_t(rows[i]);
        grad_copy[i] = grad[r];
        if (hess_copy != nullptr) hess_copy[i] = hess[r];
        if (row_copy != nullptr) row_copy[i] = r;
    }
}

/// Whether listed rows with ids in [low, high] read their n_vectors value
/// vectors (the gradients, and the hessians unless counted) by id.
bool values_by_id(uint64_t n_sel, uint64_t low, uint64_t high, uint64_t n_vectors) {
    const uint64_t span = high - low + 1;
    // Cache lines of 8 doubles, one run of them in each vector.
    const uint64_t lines = std::min(n_sel, span / 8 + 1);
    return n_vectors * 64 * lines <= cached_value_bytes || span <= 2 * n_sel;
}

/// Validates every listed row id (there is at least one) and lays the rows
/// out for the passes. Contiguous vectors are read where they lie: the
/// gradients and hessians by position from r0 on when the ids are
/// consecutive, and by row id when values_by_id says so. Otherwise the
/// values (and strided ids) are gathered into position order, on the worker
/// pool when the passes run there too. Counted hessians are never read.
NodeRows lay_out_rows(const FeatureBlocks& blocks, const Vec<int64_t>& rows,
                      const Vec<double>& grad, const Vec<double>& hess, bool parallel) {
    const uint64_t n_sel = rows.len();
    // One unsigned compare covers all three bounds, so a negative id fails too.
    const uint64_t limit = std::min({blocks.n_rows, grad.len(), hess.len()});
    const uint64_t r0 = uint64_t(rows[0]);
    uint64_t low = r0, high = r0;
    bool consecutive = true;
    for (uint64_t i = 0; i < n_sel; ++i) {
        const uint64_t r = uint64_t(rows[i]);
        if (r >= limit) [[unlikely]]
            row_fault(blocks, rows, grad, hess, i);
        consecutive &= r == r0 + i;
        low = std::min(low, r);
        high = std::max(high, r);
    }

    NodeRows out;
    PassRows& view = out.view;
    view = PassRows{nullptr,
                    grad.flat(),
                    hess.flat(),
                    n_sel,
                    r0,
                    consecutive ? RowAccess::consecutive : RowAccess::listed,
                    Hessians::summed,
                    0.0,
                    high - low + 1 > sparse_span * n_sel};
    const bool counted = hessians_counted(hess, n_sel, &view.each_hess);
    if (counted) {
        view.hessians = Hessians::counted;
        view.hess = nullptr;
    }
    const bool values_in_place = grad.c_contiguous && (counted || hess.c_contiguous);
    if (consecutive && values_in_place) {
        view.grad += r0;
        if (!counted) view.hess += r0;
        return out;
    }
    if (!consecutive && values_in_place && rows.c_contiguous &&
        values_by_id(n_sel, low, high, counted ? 1 : 2)) {
        view.row = reinterpret_cast<const uint64_t*>(rows.data);
        return out;
    }
    // Every element is written below before anything reads it.
    const bool copy_ids = !consecutive && !rows.c_contiguous;
    if (copy_ids) out.row_copy = Buffer<uint64_t>::uninitialized(n_sel);
    out.grad_copy = Buffer<double>::uninitialized(n_sel);
    if (!counted) out.hess_copy = Buffer<double>::uninitialized(n_sel);
    double* grad_copy = out.grad_copy.data();
    double* hess_copy = counted ? nullptr : out.hess_copy.data();
    uint64_t* row_copy = copy_ids ? out.row_copy.data() : nullptr;
    if (parallel)
        parallel_for_each(chunk_count(n_sel, gather_chunk), [&](uint64_t begin, uint64_t end) {
            gather_values(rows, grad, hess, begin * gather_chunk,
                          std::min(end * gather_chunk, n_sel), grad_copy, hess_copy, row_copy);
        });
    else
        gather_values(rows, grad, hess, 0, n_sel, grad_copy, hess_copy, row_copy);
    view.grad = grad_copy;
    if (!counted) view.hess = hess_copy;
    if (!consecutive) {
        view.row = copy_ids ? row_copy : reinterpret_cast<const uint64_t*>(rows.data);
        view.access = RowAccess::gathered;
    }
    return out;
}

}  // namespace

Buffer<double> build_histograms(const Mat<uint16_t>& binned, const Vec<int64_t>& rows,
                                const Vec<double>& grad, const Vec<double>& hess,
                                uint64_t n_bins_max) {
    require_c_contiguous(binned, not_contiguous);
    const uint64_t n_features = binned.shape[0];
    const uint64_t n_rows = binned.shape[1];
    const uint64_t n_cells = checked_size(checked_size(n_features, n_bins_max), 3);
    // A node of at least n_bins_max rows is accumulated in scratch bins that
    // are then copied over every cell, so its tensor need not be cleared first.
    const bool overwritten =
        n_features > 0 && n_rows > 0 && n_bins_max > 0 && rows.len() >= n_bins_max;
    Buffer<double> hist =
        overwritten ? Buffer<double>::uninitialized(n_cells) : Buffer<double>::zeroed(n_cells);

    // A product beyond 64 bits is far above the threshold too.
    uint64_t pairs;
    const bool parallel =
        __builtin_mul_overflow(n_features, rows.len(), &pairs) || pairs >= parallel_pairs;
    // Checked before any row is read, so it fires even without rows or features.
    if (n_bins_max == 0 || n_rows == 0) fault(parallel ? zero_chunk_parallel : zero_chunk_serial);
    // Without features no row is ever reached, so nothing is validated either.
    if (n_features == 0 || rows.len() == 0) return hist;

    const FeatureBlocks blocks{hist.data(), binned.flat(), n_rows, n_bins_max};
    const NodeRows node = lay_out_rows(blocks, rows, grad, hess, parallel);
    const PassRows& view = node.view;
    if (parallel) {
        // An item is the features of one pass: a piece of the loop that split
        // a pass would read the rows and values again for fewer features.
        // Passes are as even as the features allow: 14 features in passes of
        // 4, 4, 4 and 2 would leave one of two threads 8 and the other 6.
        // Their number is a multiple of the threads where the features allow
        // it: 12 features in three passes of 4 leave one of two threads 8,
        // in four passes of 3 each thread 6. Each feature's sums are the
        // same whichever pass adds them.
        const uint64_t threads = pool_thread_count();
        uint64_t n_passes = chunk_count(n_features, features_per_pass);
        n_passes = std::min(n_features, (n_passes + threads - 1) / threads * threads);
        const auto pass_start = [&](uint64_t pass) {
            return uint64_t(static_cast<unsigned __int128>(pass) * n_features / n_passes);
        };
        parallel_for_each(n_passes, [&](uint64_t begin, uint64_t end) {
            accumulate_features(blocks, view, pass_start(begin), pass_start(end));
        });
    } else
        accumulate_features(blocks, view, 0, n_features);
    return hist;
}

}  // namespace tarnwick
