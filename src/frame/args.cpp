#include "frame/args.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "frame/numpy.hpp"
#include "frame/pyref.hpp"
#include "frame/text.hpp"

namespace tarnwick {
namespace {

using Slot = ConvertedArguments::Slot;

/// Sets a TypeError whose message is the Python text `message` and throws.
[[noreturn, gnu::cold]] void raise_type_error(Ref message) {
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    throw PythonError{};
}

/// The same for a message of our own text (taken whole, NUL bytes included).
[[noreturn, gnu::cold]] void raise_type_error(std::string_view message) {
    raise_type_error(
        Ref::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()))));
}

/// The qualified name of obj's type as a str, or its C name when that fails.
Ref type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
    }
    if (!name) throw PythonError{};
    return name;
}

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += cat("'", names[i], "'");
    }
    return out;
}

/// Slots filled from positional and keyword arguments (Python errors on mismatch).
std::array<PyObject*, max_params> match_arguments(const char* full_name,
                                                  std::span<const ParamDescriptor> params,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    std::array<PyObject*, max_params> slots{};
    const size_t n_params = params.size();
    const size_t given = size_t(nargs);
    for (size_t i = 0; i < given && i < n_params; ++i) slots[i] = args[i];
    if (given > n_params)
        raise_type_error(cat(full_name, " takes ", n_params, " positional arguments but ", given,
                             given == 1 ? " was" : " were", " given"));

    Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        // Compared as text, without encoding the key: a name that UTF-8
        // cannot encode (a lone surrogate) or that holds a NUL matches no
        // parameter, and the comparison raises nothing.
        size_t match = n_params;
        for (size_t i = 0; i < n_params && match == n_params; ++i)
            if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) match = i;
        // The key as str() gives it, whole.
        if (match == n_params)
            raise_type_error(Ref::steal(PyUnicode_FromFormat(
                "%s got an unexpected keyword argument '%S'", full_name, key)));
        if (slots[match] != nullptr)
            raise_type_error(
                cat(full_name, " got multiple values for argument '", params[match].name, "'"));
        slots[match] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < n_params; ++i)
        if (slots[i] == nullptr) missing.push_back(params[i].name);
    if (!missing.empty())
        raise_type_error(cat(full_name, " missing ", missing.size(), " required positional ",
                             missing.size() == 1 ? "argument" : "arguments", ": ",
                             join_names(missing)));
    return slots;
}

/// Replaces a pending exception of type exactly TypeError by
/// "argument '{name}': {message}", keeping its cause; others pass unchanged.
[[noreturn, gnu::cold]] void fail_argument(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || Py_TYPE(raised) != (PyTypeObject*)PyExc_TypeError) {
        PyErr_SetRaisedException(raised);
        throw PythonError{};
    }
    Ref inner = Ref::steal(raised);
    // str() of the inner exception, whole: NUL bytes and lone surrogates stay.
    Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, inner.get()));
    if (!text) throw PythonError{};
    Ref outer = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!outer) throw PythonError{};
    PyException_SetCause(outer.get(), PyException_GetCause(inner.get()));
    PyErr_SetRaisedException(outer.release());
    throw PythonError{};
}

[[noreturn, gnu::cold]] void fail_cannot_convert(const char* name, PyObject* obj,
                                                 const char* target) {
    Ref type = type_qualname(obj);
    Ref text = Ref::steal(
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type.get(), target));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    fail_argument(name);
}

int64_t convert_i64(const ParamDescriptor& p, PyObject* obj) {
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

uint64_t convert_usize(const ParamDescriptor& p, PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
    if (!index) fail_argument(p.name);
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == (unsigned long long)-1 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

uint16_t convert_u16(const ParamDescriptor& p, PyObject* obj) {
    int64_t value = convert_i64(p, obj);
    if (value < 0 || value > 65535) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError{};
    }
    return uint16_t(value);
}

double convert_f64(const ParamDescriptor& p, PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

/// Python bools, and NumPy's bool scalars through their number protocol.
bool convert_bool(const ParamDescriptor& p, PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    // Interned once: looking the names up by C string would build a new key per call.
    static PyObject* module_key = PyUnicode_InternFromString("__module__");
    static PyObject* name_key = PyUnicode_InternFromString("__name__");
    if (module_key == nullptr || name_key == nullptr) throw PythonError{};
    Ref module = Ref::steal(PyObject_GetAttr((PyObject*)type, module_key));
    Ref name = Ref::steal(PyObject_GetAttr((PyObject*)type, name_key));
    PyErr_Clear();
    auto text_is = [](const Ref& o, const char* want) {
        return o && PyUnicode_Check(o.get()) &&
               PyUnicode_CompareWithASCIIString(o.get(), want) == 0;
    };
    if (text_is(module, "numpy") && (text_is(name, "bool_") || text_is(name, "bool"))) {
        // Both failures are conversion failures of the parameter: a TypeError
        // gets the argument's name like every other one.
        inquiry to_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (to_bool == nullptr) {
            Ref text = Ref::steal(
                PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion",
                                     type_qualname(obj).get()));
            if (text) PyErr_SetObject(PyExc_TypeError, text.get());
            fail_argument(p.name);
        }
        int truth = to_bool(obj);
        if (truth < 0) fail_argument(p.name);
        return truth != 0;
    }
    fail_cannot_convert(p.name, obj, "PyBool");
}

/// Fails unless obj is an array of the parameter's number of dimensions and
/// element type, tested in that order.
void check_array(const ParamDescriptor& p, PyObject* obj) {
    ensure_numpy_api();
    if (!PyArray_Check(obj)) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
    auto* arr = (PyArrayObject*)obj;
    if (PyArray_NDIM(arr) != p.ndim) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
    PyArray_Descr* want = PyArray_DescrFromType(p.type_num);
    bool equivalent = want != nullptr && PyArray_EquivTypes(PyArray_DESCR(arr), want);
    Py_XDECREF(want);
    if (!equivalent) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
}

/// Reads a misaligned array (a byte-offset buffer, a packed record field)
/// from an aligned copy of the elements that its strides address. An axis
/// that steps by zero bytes (a broadcast) addresses one element and keeps its
/// zero stride, so a broadcast costs one element and stays recognisable as
/// one; the other axes are packed in row-major order. The contiguity verdict
/// stays that of the caller's array.
void copy_misaligned(int ndim, uint64_t item, Slot& slot, std::vector<Buffer<char>>& copies) {
    std::array<uint64_t, max_ndim> extent{};
    std::array<int64_t, max_ndim> packed{};
    uint64_t count = 1;
    for (int a = ndim - 1; a >= 0; --a) {
        const bool broadcast = slot.strides[a] == 0;
        extent[a] = broadcast ? std::min<uint64_t>(slot.shape[a], 1) : slot.shape[a];
        packed[a] = broadcast ? 0 : int64_t(checked_size(count, item));
        count = checked_size(count, extent[a]);
    }
    // Every element is written below; an empty view reads none.
    Buffer<char> copy = Buffer<char>::uninitialized(checked_size(count, item));
    std::array<uint64_t, max_ndim> index{};
    for (uint64_t k = 0; k < count; ++k) {
        const char* src = slot.data;
        for (int a = 0; a < ndim; ++a) src += int64_t(index[a]) * slot.strides[a];
        std::memcpy(copy.data() + k * item, src, item);
        for (int a = ndim - 1; a >= 0; --a) {
            if (++index[a] < extent[a]) break;
            index[a] = 0;
        }
    }
    for (int a = 0; a < ndim; ++a) slot.strides[a] = packed[a];
    slot.data = copy.data();
    copies.push_back(std::move(copy));
}

/// The view of a checked array as it stands now: data pointer, shape and
/// strides, read from an aligned copy when the array is misaligned.
void take_view(int ndim, Slot& slot, std::vector<Buffer<char>>& copies) {
    auto* arr = (PyArrayObject*)slot.array;
    const uint64_t item = uint64_t(PyArray_ITEMSIZE(arr));
    slot.data = PyArray_BYTES(arr);
    bool aligned = reinterpret_cast<uintptr_t>(slot.data) % item == 0;
    for (int a = 0; a < ndim; ++a) {
        slot.shape[a] = uint64_t(PyArray_DIM(arr, a));
        slot.strides[a] = PyArray_STRIDE(arr, a);
        aligned = aligned && slot.strides[a] % int64_t(item) == 0;
    }
    slot.c_contiguous = is_c_contiguous(std::span(slot.shape).first(size_t(ndim)),
                                        std::span(slot.strides).first(size_t(ndim)), item);
    if (!aligned) copy_misaligned(ndim, item, slot, copies);
}

/// Arrays currently read by a call of this module. Only touched with the
/// interpreter lock held. This module only takes shared borrows.
struct BorrowEntry {
    PyObject* owner;
    const char* start;
    const char* end;
    uint64_t readers;
};

std::vector<BorrowEntry>& borrow_registry() {
    static std::vector<BorrowEntry> entries;
    return entries;
}

/// The array at the bottom of a chain of views, or the foreign object that owns its memory.
PyObject* memory_owner(PyObject* array) {
    PyObject* owner = array;
    for (;;) {
        PyObject* base = PyArray_BASE((PyArrayObject*)owner);
        if (base == nullptr) return owner;
        if (!PyArray_Check(base)) return base;
        owner = base;
    }
}

}  // namespace

ArrayBorrow::ArrayBorrow(PyObject* array) : array_(array), owner_(memory_owner(array)) {
    auto* arr = (PyArrayObject*)array;
    const char* lo = PyArray_BYTES(arr);
    const char* hi = lo;
    int nd = PyArray_NDIM(arr);
    bool empty = false;
    for (int a = 0; a < nd; ++a) {
        npy_intp n = PyArray_DIM(arr, a);
        npy_intp step = PyArray_STRIDE(arr, a);
        if (n == 0) empty = true;
        if (n > 0) (step < 0 ? lo : hi) += step * (n - 1);
    }
    start_ = lo;
    end_ = empty ? lo : hi + PyArray_ITEMSIZE(arr);
    auto& registry = borrow_registry();
    bool counted = false;
    for (auto& e : registry)
        if (e.owner == owner_ && e.start == start_ && e.end == end_) {
            ++e.readers;
            counted = true;
            break;
        }
    if (!counted) registry.push_back({owner_, start_, end_, 1});
    Py_INCREF(array_);
}

ArrayBorrow::ArrayBorrow(ArrayBorrow&& other) noexcept
    : array_(std::exchange(other.array_, nullptr)),
      owner_(other.owner_),
      start_(other.start_),
      end_(other.end_) {}

ArrayBorrow::~ArrayBorrow() {
    if (array_ == nullptr) return;
    auto& registry = borrow_registry();
    for (size_t i = 0; i < registry.size(); ++i) {
        auto& e = registry[i];
        if (e.owner == owner_ && e.start == start_ && e.end == end_) {
            if (--e.readers == 0) registry.erase(registry.begin() + i);
            break;
        }
    }
    Py_DECREF(array_);
}

ConvertedArguments convert_arguments(const char* full_name, std::span<const ParamDescriptor> params,
                                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto objects = match_arguments(full_name, params, args, nargs, kwnames);
    ConvertedArguments out;
    for (size_t i = 0; i < params.size(); ++i) {
        const ParamDescriptor& p = params[i];
        PyObject* obj = objects[i];
        Slot& slot = out.slots_[i];
        switch (p.kind) {
            case ParamKind::i64: slot.i64 = convert_i64(p, obj); continue;
            case ParamKind::usize: slot.u64 = convert_usize(p, obj); continue;
            case ParamKind::u16: slot.u64 = convert_u16(p, obj); continue;
            case ParamKind::f64: slot.f64 = convert_f64(p, obj); continue;
            case ParamKind::boolean: slot.boolean = convert_bool(p, obj); continue;
            case ParamKind::optional_array:
                if (obj == Py_None) continue;
                break;
            case ParamKind::array: break;
        }
        check_array(p, obj);
        slot.array = obj;
    }
    // Every conversion is done, and nothing from here to the end of the
    // function's pass runs Python code, so the arrays are read as they stand
    // now. A scalar's conversion may have changed an array checked before it
    // (its shape, even its number of dimensions or its dtype), so each is
    // checked again.
    out.borrows_.reserve(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        Slot& slot = out.slots_[i];
        if (slot.array == nullptr) continue;
        check_array(params[i], slot.array);
        out.borrows_.emplace_back(slot.array);
        take_view(params[i].ndim, slot, out.aligned_copies_);
    }
    return out;
}

}  // namespace tarnwick
