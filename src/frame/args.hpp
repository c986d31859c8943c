// Matching fast-call arguments to a function's parameters and converting them
// into views and scalars, with the exact TypeError/OverflowError texts. The
// wrappers describe their parameters with the typed tables of params.hpp and
// read the converted values through them.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "frame/buffer.hpp"
#include "frame/view.hpp"

namespace tarnwick {

enum class ParamKind : uint8_t { array, optional_array, i64, usize, u16, f64, boolean };

/// One parameter as the matcher and the converter see it: its name and kind;
/// arrays add NumPy's type number and their number of dimensions.
struct ParamDescriptor {
    const char* name;
    ParamKind kind;
    int type_num = -1;
    int ndim = 0;
};

constexpr size_t max_params = 9;
constexpr int max_ndim = 3;

/// An input array taken for the duration of one call: held alive and
/// registered as a shared (read-only) borrow until released.
class ArrayBorrow {
public:
    explicit ArrayBorrow(PyObject* array);
    ArrayBorrow(ArrayBorrow&& other) noexcept;
    ArrayBorrow& operator=(ArrayBorrow&&) = delete;
    ~ArrayBorrow();

private:
    PyObject* array_;
    PyObject* owner_;
    const char* start_;
    const char* end_;
};

/// The converted arguments of one call, by parameter position. Views stay
/// valid while it lives.
class ConvertedArguments {
public:
    template <class T, int N>
    ArrayView<T, N> array(size_t i) const {
        static_assert(N >= 1 && N <= max_ndim);
        const Slot& s = slots_[i];
        ArrayView<T, N> v;
        v.data = s.data;
        v.c_contiguous = s.c_contiguous;
        for (int a = 0; a < N; ++a) {
            v.shape[a] = s.shape[a];
            v.strides[a] = s.strides[a];
        }
        return v;
    }
    template <class T, int N>
    std::optional<ArrayView<T, N>> optional_array(size_t i) const {
        if (slots_[i].array == nullptr) return std::nullopt;
        return array<T, N>(i);
    }
    int64_t i64(size_t i) const { return slots_[i].i64; }
    uint64_t usize(size_t i) const { return slots_[i].u64; }
    uint16_t u16(size_t i) const { return uint16_t(slots_[i].u64); }
    double f64(size_t i) const { return slots_[i].f64; }
    bool boolean(size_t i) const { return slots_[i].boolean; }

    struct Slot {
        // The array object (null for scalars and an absent optional array),
        // then the view read from it once every argument is converted.
        PyObject* array = nullptr;
        const char* data = nullptr;
        std::array<uint64_t, max_ndim> shape{};
        std::array<int64_t, max_ndim> strides{};
        bool c_contiguous = true;
        int64_t i64 = 0;
        uint64_t u64 = 0;
        double f64 = 0.0;
        bool boolean = false;
    };

private:
    friend ConvertedArguments convert_arguments(const char*, std::span<const ParamDescriptor>,
                                                PyObject* const*, Py_ssize_t, PyObject*);
    std::array<Slot, max_params> slots_{};
    std::vector<ArrayBorrow> borrows_;
    std::vector<Buffer<char>> aligned_copies_;
};

/// Matches and converts the arguments of one fast call to the parameters of
/// the function that messages call full_name ("build_histograms()"). Every
/// argument is converted, in signature order, before any array's data
/// pointer, shape and strides are read: converting a scalar may run Python
/// code (__index__, __float__) that resizes or reshapes an array converted
/// before it. On failure the Python error is set and PythonError thrown, with
/// every borrow already released.
ConvertedArguments convert_arguments(const char* full_name, std::span<const ParamDescriptor> params,
                                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick
