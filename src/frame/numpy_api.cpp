#define TARNWICK_DEFINE_NUMPY_API
#include "frame/numpy.hpp"

#include <string>
#include <string_view>

#include "frame/fault.hpp"
#include "frame/pyref.hpp"
#include "frame/text.hpp"

namespace tarnwick {
namespace {

PyObject* interface_module = nullptr;

/// The pending Python error as "Type: message", cleared.
std::string take_error_text() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return "no error set";
    std::string text = Py_TYPE(exc.get())->tp_name;
    Ref str = Ref::steal(PyObject_Str(exc.get()));
    // The whole message: a NUL does not end it, and what UTF-8 cannot
    // encode (a lone surrogate) is written as its escape.
    Ref bytes =
        str ? Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "backslashreplace")) : Ref();
    if (!bytes) {
        PyErr_Clear();
        return text;
    }
    return cat(
        text, ": ",
        std::string_view(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get()))));
}

[[noreturn]] void numpy_unreachable(std::string_view why) {
    fault(cat("Failed to access NumPy array API capsule: ", why));
}

/// NumPy's major version, from numpy.lib.NumpyVersion(numpy.__version__).
long numpy_major_version() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) numpy_unreachable(take_error_text());
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = version ? Ref::steal(PyObject_GetAttrString(numpy.get(), "lib")) : Ref();
    Ref parser = lib ? Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion")) : Ref();
    Ref parsed = parser ? Ref::steal(PyObject_CallOneArg(parser.get(), version.get())) : Ref();
    Ref major = parsed ? Ref::steal(PyObject_GetAttrString(parsed.get(), "major")) : Ref();
    if (!major) numpy_unreachable(take_error_text());
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) numpy_unreachable(take_error_text());
    if (value < 0 || value > 255) numpy_unreachable("NumPy major version out of range");
    return value;
}

}  // namespace

void ensure_numpy_api() {
    if (tarnwick_ARRAY_API != nullptr) [[likely]]
        return;
    const char* name =
        numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) numpy_unreachable(take_error_text());
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) numpy_unreachable(take_error_text());
    if (!PyCapsule_CheckExact(capsule.get())) numpy_unreachable("_ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) numpy_unreachable(take_error_text());
    // The capsule keeps the table alive; the module holds the capsule for the
    // life of the process, and we hold the module.
    interface_module = module.release();
    tarnwick_ARRAY_API = static_cast<void**>(table);
    PyArray_RUNTIME_VERSION = int(PyArray_GetNDArrayCFeatureVersion());
}

PyObject* numpy_interface_module() { return interface_module; }

}  // namespace tarnwick
