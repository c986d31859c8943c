// The histogram passes, one compiled function per instruction set, target,
// way of finding the hessians, way of finding the rows and number of
// features, gathered in one table so that a pass is chosen by one lookup.
#include <array>
#include <utility>

#include "histogram/accumulate_feature.hpp"

namespace tarnwick {

namespace {

template <unsigned K, RowAccess Access, Target Into, Hessians Hess>
struct PassBody {
    static void baseline(const FeatureBlocks& blocks, const PassRows& rows, uint64_t first,
                         BinQuad* quads) {
        accumulate_feature<K, Access, Into, Hess>(blocks, rows, first, quads);
    }

    [[TARNWICK_TARGET_AVX]] static void avx(const FeatureBlocks& blocks, const PassRows& rows,
                                            uint64_t first, BinQuad* quads) {
        accumulate_feature<K, Access, Into, Hess>(blocks, rows, first, quads);
    }
};

// The table's axes, outermost first: baseline or AVX, target, hessians, row
// access, features in the pass.
constexpr unsigned n_targets = 2;
constexpr unsigned n_hessians = 2;
constexpr unsigned n_accesses = 3;
constexpr unsigned n_passes = 2 * n_targets * n_hessians * n_accesses * features_per_pass;

constexpr unsigned pass_index(bool avx, Target into, Hessians hessians, RowAccess access,
                              unsigned count) {
    unsigned i = avx;
    i = i * n_targets + unsigned(into);
    i = i * n_hessians + unsigned(hessians);
    i = i * n_accesses + unsigned(access);
    return i * features_per_pass + (count - 1);
}

/// Entry I of the table: its position read back into the pass's parameters.
template <unsigned I>
constexpr Pass pass_at() {
    constexpr unsigned count = I % features_per_pass + 1;
    constexpr unsigned rest = I / features_per_pass;
    constexpr RowAccess access = RowAccess(rest % n_accesses);
    constexpr Hessians hessians = Hessians(rest / n_accesses % n_hessians);
    constexpr Target into = Target(rest / (n_accesses * n_hessians) % n_targets);
    constexpr bool avx = rest / (n_accesses * n_hessians * n_targets) != 0;
    using Body = PassBody<count, access, into, hessians>;
    static_assert(pass_index(avx, into, hessians, access, count) == I);
    return avx ? &Body::avx : &Body::baseline;
}

template <unsigned... I>
constexpr std::array<Pass, sizeof...(I)> make_passes(std::integer_sequence<unsigned, I...>) {
    return {pass_at<I>()...};
}

constexpr std::array<Pass, n_passes> passes =
    make_passes(std::make_integer_sequence<unsigned, n_passes>());

}  // namespace

Pass find_pass(Isa isa, Target into, Hessians hessians, RowAccess access, uint64_t count) {
    return passes[pass_index(isa >= Isa::avx, into, hessians, access, unsigned(count))];
}

}  // namespace tarnwick
