// The instruction-set selector, asked once per process.
#include "lib/cpu_features.hpp"

namespace tarnwick {

namespace {

Isa detect_isa() noexcept {
#if defined(__x86_64__)
    // Fills the feature table, in case this runs before the initialiser that would.
    __builtin_cpu_init();
    // AVX2 code may use AVX instructions too, so it needs both.
    if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2")) return Isa::avx2;
    if (__builtin_cpu_supports("avx")) return Isa::avx;
#endif
    return Isa::baseline;
}

}  // namespace

Isa cpu_isa() noexcept {
    static const Isa isa = detect_isa();
    return isa;
}

}  // namespace tarnwick
