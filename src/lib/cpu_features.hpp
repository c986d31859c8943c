// The instruction set the kernels run on, chosen once per process from what
// the processor offers. The module is built for the baseline of its target;
// wider code exists only in functions compiled for a named instruction set,
// and only the selector below decides whether they run.
#pragma once

#include <cstdint>

namespace tarnwick {

/// Instruction sets with code of their own, each including the ones before it.
enum class Isa : uint8_t { baseline, avx, avx2 };

/// The widest instruction set that both the processor and the operating
/// system support, found on the first call and cached. Other processors than
/// x86-64 always get the baseline.
Isa cpu_isa() noexcept;

}  // namespace tarnwick

// The attribute that compiles a function for AVX or AVX2, written
// [[TARNWICK_TARGET_AVX2]]. Elsewhere than on x86-64 it is empty: such a
// function is then compiled for the baseline, and cpu_isa() never selects it.
#if defined(__x86_64__)
#define TARNWICK_TARGET_AVX gnu::target("avx")
#define TARNWICK_TARGET_AVX2 gnu::target("avx2")
#else
#define TARNWICK_TARGET_AVX
#define TARNWICK_TARGET_AVX2
#endif
