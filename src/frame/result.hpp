// Results: output buffers become NumPy arrays without a copy; scalars,
// lists and tuples are built as new references.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>

#include "frame/buffer.hpp"
#include "frame/pyref.hpp"

namespace tarnwick {

/// Hands an owned buffer of float64 or int64 values to a new C-contiguous,
/// writeable array of the given shape; its base is a PySliceContainer that
/// frees the buffer with the array.
Ref to_array(Buffer<double>&& buffer, std::initializer_list<uint64_t> shape);
Ref to_array(Buffer<int64_t>&& buffer, std::initializer_list<uint64_t> shape);

Ref to_int(int64_t value);
Ref to_float(double value);
/// A new list of Python ints.
Ref to_int_list(std::span<const int64_t> values);
/// A new tuple taking over the items (all non-NULL).
Ref to_tuple(std::initializer_list<Ref*> items);

/// Throws PythonError when a result object could not be built.
inline Ref require(Ref r) {
    if (!r) throw PythonError{};
    return r;
}

}  // namespace tarnwick
