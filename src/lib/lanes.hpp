// Vectors of doubles for the kernels' hot loops: the lane types, their loads
// and stores, and the widths that get loops of their own.
//
// Operations on lanes act lane by lane with the scalar IEEE semantics, so a
// loop gives the same bits whether it runs on two lanes, four lanes or one
// double at a time; only the number of instructions changes. Vectors are
// passed by reference: the helpers are always inlined, and a vector passed by
// value would get a calling convention that depends on the instruction set.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarnwick {

/// Two doubles: one SSE2 register, the baseline of x86-64.
using Lanes2 = double __attribute__((vector_size(16)));
/// Four doubles: one AVX register, or two SSE2 registers on the baseline.
/// Its alignment depends on the instruction set (16 bytes on the baseline,
/// 32 with AVX), so memory that AVX code reads and writes as Lanes4 objects
/// is aligned to sizeof(Lanes4).
using Lanes4 = double __attribute__((vector_size(32)));

template <class V>
constexpr uint64_t lane_count = sizeof(V) / sizeof(double);

/// The result type of comparing two lane vectors: per lane all ones (true)
/// or all zeros (false), as 64-bit integers.
template <class V>
using MaskOf = decltype(V{} < V{});

/// Whether any lane of a mask is true.
template <class M>
[[gnu::always_inline]] inline bool any_lane(const M& mask) {
    int64_t any = mask[0];
    for (uint64_t lane = 1; lane < sizeof(M) / sizeof(int64_t); ++lane) any |= mask[lane];
    return any != 0;
}

/// Whether every lane of a mask is true.
template <class M>
[[gnu::always_inline]] inline bool all_lanes(const M& mask) {
    int64_t all = mask[0];
    for (uint64_t lane = 1; lane < sizeof(M) / sizeof(int64_t); ++lane) all &= mask[lane];
    return all != 0;
}

/// v = the lane_count<V> doubles at p (any alignment).
template <class V>
[[gnu::always_inline]] inline void load(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

/// The lane_count<V> doubles at p = v (any alignment).
template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

/// v = x in every lane, bit for bit (a -0.0 stays -0.0, a NaN keeps its payload).
template <class V>
[[gnu::always_inline]] inline void broadcast(V& v, double x) {
    for (uint64_t lane = 0; lane < lane_count<V>; ++lane) v[lane] = x;
}

/// The first address in `storage` aligned to `alignment` bytes (a power of
/// two), as a T; the storage must hold alignment - 1 bytes more than the T
/// objects placed there.
template <class T>
T* first_aligned(void* storage, uintptr_t alignment = alignof(T)) {
    const uintptr_t mask = alignment - 1;
    return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(storage) + mask) & ~mask);
}

/// Calls body.template operator()<D>() with D = d for the widths that have
/// loops unrolled for them (8, 16 and 32 doubles, the usual embedding widths),
/// and with D = 0, meaning a width known only at run time, for all others.
/// The body is inlined, so a caller compiled for a wider instruction set
/// compiles the chosen loop for it too.
template <class Body>
[[gnu::always_inline]] inline decltype(auto) with_unrolled_width(uint64_t d, Body&& body) {
    switch (d) {
        case 8: return body.template operator()<8>();
        case 16: return body.template operator()<16>();
        case 32: return body.template operator()<32>();
        default: return body.template operator()<0>();
    }
}

}  // namespace tarnwick
