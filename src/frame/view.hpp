// Typed, read-only views of NumPy arrays as the logic sees them: a data
// pointer, the shape and the byte strides. Cores take these and never see a
// PyObject.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <source_location>
#include <span>
#include <string_view>

#include "frame/fault.hpp"

namespace tarnwick {

template <class T, int N>
struct ArrayView {
    const char* data = nullptr;
    std::array<uint64_t, N> shape{};
    std::array<int64_t, N> strides{};  // bytes; may be negative
    // Whether the array as the caller passed it is row-major without gaps,
    // decided from the caller's strides (a misaligned array is read from a
    // copy with strides of its own).
    bool c_contiguous = true;

    uint64_t len() const noexcept { return shape[0]; }

    /// Number of elements.
    uint64_t size() const noexcept {
        uint64_t n = 1;
        for (uint64_t s : shape) n *= s;
        return n;
    }

    /// The elements in row-major order; only meaningful when c_contiguous.
    const T* flat() const noexcept { return reinterpret_cast<const T*>(data); }

    /// Element i of a 1-D view, read through its stride (no bounds check).
    T operator[](uint64_t i) const noexcept
        requires(N == 1)
    {
        return load(data + int64_t(i) * strides[0]);
    }

    /// Where element i of a 1-D view lies, for a prefetch (no bounds check).
    const char* address(uint64_t i) const noexcept
        requires(N == 1)
    {
        return data + int64_t(i) * strides[0];
    }

    /// Element (i, j) of a 2-D view (no bounds check).
    T operator()(uint64_t i, uint64_t j) const noexcept
        requires(N == 2)
    {
        return load(data + int64_t(i) * strides[0] + int64_t(j) * strides[1]);
    }

    /// Element (i, j, k) of a 3-D view (no bounds check).
    T operator()(uint64_t i, uint64_t j, uint64_t k) const noexcept
        requires(N == 3)
    {
        return load(data + int64_t(i) * strides[0] + int64_t(j) * strides[1] +
                    int64_t(k) * strides[2]);
    }

private:
    static T load(const char* p) noexcept {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
};

template <class T>
using Vec = ArrayView<T, 1>;
template <class T>
using Mat = ArrayView<T, 2>;
template <class T>
using Tensor3 = ArrayView<T, 3>;

/// NumPy's bool is one byte holding 0 or 1; it is read as a byte so that any
/// other byte value is still well defined (non-zero is true).
using bool8 = uint8_t;

/// Row-major without gaps: true when an axis has length zero; otherwise every
/// axis longer than one must step by the element size times the lengths after it.
inline bool is_c_contiguous(std::span<const uint64_t> shape, std::span<const int64_t> strides,
                            uint64_t item_size) noexcept {
    for (uint64_t s : shape)
        if (s == 0) return true;
    int64_t expected = int64_t(item_size);
    for (size_t axis = shape.size(); axis-- > 0;) {
        if (shape[axis] != 1 && strides[axis] != expected) return false;
        expected *= int64_t(shape[axis]);
    }
    return true;
}

/// Faults with `message` ("X must be C-contiguous") unless the caller's array
/// was C-contiguous: for views that the logic reads as flat memory.
template <class T, int N>
void require_c_contiguous(const ArrayView<T, N>& view, std::string_view message,
                          std::source_location where = std::source_location::current()) {
    if (!view.c_contiguous) [[unlikely]]
        fault(message, where);
}

}  // namespace tarnwick
