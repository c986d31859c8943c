#include "frame/args.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "frame/numpy.hpp"
#include "frame/pyref.hpp"
#include "frame/text.hpp"

namespace tarnwick {
namespace {

[[noreturn, gnu::cold]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* s = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
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
std::array<PyObject*, max_params> match_arguments(const Signature& sig, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, max_params> slots{};
    const size_t n_params = sig.params.size();
    const size_t given = size_t(nargs);
    for (size_t i = 0; i < given && i < n_params; ++i) slots[i] = args[i];
    if (given > n_params)
        raise_type_error(cat(sig.full_name, " takes ", n_params, " positional arguments but ",
                             given, given == 1 ? " was" : " were", " given"));

    Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t key_len = 0;
        const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_len);
        if (key_text == nullptr) PyErr_Clear();
        size_t match = n_params;
        for (size_t i = 0; key_text != nullptr && i < n_params; ++i)
            if (std::string_view(key_text, size_t(key_len)) == sig.params[i].name) match = i;
        if (match == n_params) {
            Ref shown = Ref::steal(PyObject_Str(key));
            const char* s = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
            if (s == nullptr) throw PythonError{};
            raise_type_error(cat(sig.full_name, " got an unexpected keyword argument '", s, "'"));
        }
        if (slots[match] != nullptr)
            raise_type_error(cat(sig.full_name, " got multiple values for argument '",
                                 sig.params[match].name, "'"));
        slots[match] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < n_params; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
    if (!missing.empty())
        raise_type_error(cat(sig.full_name, " missing ", missing.size(), " required positional ",
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
    Ref text = Ref::steal(PyObject_Str(inner.get()));
    const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (s == nullptr) throw PythonError{};
    Ref outer = Ref::steal(
        PyObject_CallFunction(PyExc_TypeError, "s", cat("argument '", name, "': ", s).c_str()));
    if (!outer) throw PythonError{};
    PyException_SetCause(outer.get(), PyException_GetCause(inner.get()));
    PyErr_SetRaisedException(outer.release());
    throw PythonError{};
}

[[noreturn, gnu::cold]] void fail_cannot_convert(const char* name, PyObject* obj,
                                                 const char* target) {
    PyErr_SetString(
        PyExc_TypeError,
        cat("'", type_qualname(obj), "' object cannot be converted to '", target, "'").c_str());
    fail_argument(name);
}

int64_t convert_i64(const Param& p, PyObject* obj) {
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

uint64_t convert_usize(const Param& p, PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
    if (!index) fail_argument(p.name);
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == (unsigned long long)-1 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

uint16_t convert_u16(const Param& p, PyObject* obj) {
    int64_t value = convert_i64(p, obj);
    if (value < 0 || value > 65535) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError{};
    }
    return uint16_t(value);
}

double convert_f64(const Param& p, PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) fail_argument(p.name);
    return value;
}

/// Python bools, and NumPy's bool scalars through their number protocol.
bool convert_bool(const Param& p, PyObject* obj) {
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
        const char* s = o && PyUnicode_Check(o.get()) ? PyUnicode_AsUTF8(o.get()) : nullptr;
        return s != nullptr && std::strcmp(s, want) == 0;
    };
    if (text_is(module, "numpy") && (text_is(name, "bool_") || text_is(name, "bool"))) {
        inquiry to_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (to_bool == nullptr)
            raise_type_error(cat("object of type '", type_qualname(obj),
                                 "' does not define a '__bool__' conversion"));
        int truth = to_bool(obj);
        if (truth < 0) throw PythonError{};
        return truth != 0;
    }
    fail_cannot_convert(p.name, obj, "PyBool");
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

struct BorrowEntry {
    PyObject* owner;
    const char* start;
    const char* end;
    uint64_t readers;
};

// Arrays currently read by a call of this module. Only touched with the
// interpreter lock held. This module only takes shared borrows.
std::vector<BorrowEntry>& borrow_registry() {
    static std::vector<BorrowEntry> entries;
    return entries;
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

Arguments convert_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    auto objects = match_arguments(sig, args, nargs, kwnames);
    Arguments out;
    out.borrows_.reserve(sig.params.size());
    for (size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        PyObject* obj = objects[i];
        auto& slot = out.slots_[i];
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
        ensure_numpy_api();
        if (!PyArray_Check(obj)) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
        auto* arr = (PyArrayObject*)obj;
        if (PyArray_NDIM(arr) != p.ndim) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
        PyArray_Descr* want = PyArray_DescrFromType(p.type_num);
        bool equivalent = want != nullptr && PyArray_EquivTypes(PyArray_DESCR(arr), want);
        Py_XDECREF(want);
        if (!equivalent) fail_cannot_convert(p.name, obj, "PyArray<T, D>");
        out.borrows_.emplace_back(obj);

        slot.present = true;
        slot.data = PyArray_BYTES(arr);
        uint64_t item = uint64_t(PyArray_ITEMSIZE(arr));
        std::array<uint64_t, 3> shape{};
        std::array<int64_t, 3> strides{};
        for (int a = 0; a < p.ndim; ++a) {
            shape[a] = uint64_t(PyArray_DIM(arr, a));
            strides[a] = PyArray_STRIDE(arr, a);
        }
        slot.shape = shape;
        slot.strides = strides;
        bool aligned = reinterpret_cast<uintptr_t>(slot.data) % item == 0;
        for (int a = 0; a < p.ndim; ++a) aligned = aligned && strides[a] % int64_t(item) == 0;
        switch (p.ndim) {
            case 1: slot.c_contiguous = is_c_contiguous<1>({shape[0]}, {strides[0]}, item); break;
            case 2:
                slot.c_contiguous =
                    is_c_contiguous<2>({shape[0], shape[1]}, {strides[0], strides[1]}, item);
                break;
            default: slot.c_contiguous = is_c_contiguous<3>(shape, strides, item); break;
        }
        if (!aligned) {
            // Misaligned memory (a byte-offset buffer, a packed record field) is
            // read from an aligned row-major copy; the contiguity verdict stays
            // that of the caller's array.
            uint64_t n = 1;
            for (int a = 0; a < p.ndim; ++a) n = checked_size(n, shape[a]);
            Buffer<char> copy = Buffer<char>::zeroed(checked_size(n, item));
            std::array<uint64_t, 3> index{};
            for (uint64_t k = 0; k < n; ++k) {
                const char* src = slot.data;
                for (int a = 0; a < p.ndim; ++a) src += int64_t(index[a]) * strides[a];
                std::memcpy(copy.data() + k * item, src, item);
                for (int a = p.ndim - 1; a >= 0; --a) {
                    if (++index[a] < shape[a]) break;
                    index[a] = 0;
                }
            }
            int64_t step = int64_t(item);
            for (int a = p.ndim - 1; a >= 0; --a) {
                slot.strides[a] = step;
                step *= int64_t(shape[a]);
            }
            slot.data = copy.data();
            out.aligned_copies_.push_back(std::move(copy));
        }
    }
    return out;
}

}  // namespace tarnwick
