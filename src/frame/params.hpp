// Typed parameter tables. A wrapper lists its function's parameters once, in
// signature order, each with its name and kind (for an array: element type
// and number of dimensions), and reads every argument by name through that
// table: the type it reads is the type the table converted, and reordering
// the table cannot make it read another parameter's slot.
//
//   using HistogramArgs = Arguments<"build_histograms()", Array<"binned", uint16_t, 2>,
//                                   Array<"rows", int64_t, 1>, ..., Size<"n_bins_max">>;
//   const HistogramArgs a(args, nargs, kwnames);
//   Vec<int64_t> rows = a.get<"rows">();
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>

#include "frame/args.hpp"
#include "frame/numpy.hpp"

namespace tarnwick {

/// A parameter or function name as a template argument.
template <size_t N>
struct Name {
    char text[N];
    consteval Name(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

/// NumPy's type number for an array element type.
template <class T>
inline constexpr int numpy_type_of = -1;
template <>
inline constexpr int numpy_type_of<double> = NPY_FLOAT64;
template <>
inline constexpr int numpy_type_of<int64_t> = NPY_INT64;
template <>
inline constexpr int numpy_type_of<int32_t> = NPY_INT32;
template <>
inline constexpr int numpy_type_of<uint16_t> = NPY_UINT16;
// NumPy's bool, read as its bytes.
template <>
inline constexpr int numpy_type_of<bool8> = NPY_BOOL;

/// What every kind of parameter has: its name and its entry for the converter.
template <Name name_, ParamKind kind, int type_num = -1, int ndim = 0>
struct Param {
    static constexpr auto name = name_;
    static constexpr ParamDescriptor descriptor{name.text, kind, type_num, ndim};
};

/// An array of element type T with exactly N dimensions.
template <Name name, class T, int N>
struct Array : Param<name, ParamKind::array, numpy_type_of<T>, N> {
    static_assert(numpy_type_of<T> >= 0, "no NumPy type for this element type");
    static ArrayView<T, N> read(const ConvertedArguments& a, size_t i) { return a.array<T, N>(i); }
};

/// None, read as absent, or an array as Array takes it.
template <Name name, class T, int N>
struct OptionalArray : Param<name, ParamKind::optional_array, numpy_type_of<T>, N> {
    static_assert(numpy_type_of<T> >= 0, "no NumPy type for this element type");
    static std::optional<ArrayView<T, N>> read(const ConvertedArguments& a, size_t i) {
        return a.optional_array<T, N>(i);
    }
};

/// A scalar of kind `kind`, read as T by the converter's accessor.
template <Name name, ParamKind kind, class T, T (ConvertedArguments::*value)(size_t) const>
struct Scalar : Param<name, kind> {
    static T read(const ConvertedArguments& a, size_t i) { return (a.*value)(i); }
};

/// A signed 64-bit integer: an int or any object with __index__.
template <Name name>
using Int64 = Scalar<name, ParamKind::i64, int64_t, &ConvertedArguments::i64>;
/// An unsigned 64-bit size: the same, not negative.
template <Name name>
using Size = Scalar<name, ParamKind::usize, uint64_t, &ConvertedArguments::usize>;
/// An unsigned 16-bit integer, 0 to 65,535.
template <Name name>
using UInt16 = Scalar<name, ParamKind::u16, uint16_t, &ConvertedArguments::u16>;
/// A 64-bit float: anything CPython turns into a C double.
template <Name name>
using Float = Scalar<name, ParamKind::f64, double, &ConvertedArguments::f64>;
/// A Python bool or a NumPy bool scalar.
template <Name name>
using Bool = Scalar<name, ParamKind::boolean, bool, &ConvertedArguments::boolean>;

/// The arguments of one call of `function` ("build_histograms()", as messages
/// name it), matched and converted by the table Params. Views stay valid
/// while it lives.
template <Name function, class... Params>
class Arguments {
public:
    Arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : converted_(convert_arguments(function.text, descriptors, args, nargs, kwnames)) {
        static_assert(sizeof...(Params) <= max_params);
        static_assert(names_are_distinct(), "two parameters share a name");
    }

    /// The argument of the parameter named `name`, as its table entry types it.
    template <Name name>
    auto get() const {
        constexpr size_t i = position(name.view());
        static_assert(i < sizeof...(Params), "no parameter of that name");
        return std::tuple_element_t<i, std::tuple<Params...>>::read(converted_, i);
    }

private:
    static constexpr ParamDescriptor descriptors[] = {Params::descriptor...};
    static constexpr std::string_view names[] = {Params::name.view()...};

    static consteval size_t position(std::string_view name) {
        for (size_t i = 0; i < sizeof...(Params); ++i)
            if (names[i] == name) return i;
        return sizeof...(Params);
    }
    static consteval bool names_are_distinct() {
        for (size_t i = 0; i < sizeof...(Params); ++i)
            if (position(names[i]) != i) return false;
        return true;
    }

    ConvertedArguments converted_;
};

}  // namespace tarnwick
