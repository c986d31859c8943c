#include "frame/call_frame.hpp"

namespace tarnwick {
namespace {

constexpr const char* panic_doc =
    "Raised when native code called from Python fails an internal check.\n\n"
    "It derives from BaseException, not Exception, so that it propagates to the "
    "top like SystemExit instead of being swallowed by 'except Exception'.";

PyObject* panic_exception_type() noexcept {
    // Created under the interpreter lock, which serialises first use.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("tarnwick_runtime.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) abort_at_boundary();
    }
    return type;
}

}  // namespace

void raise_panic(Fault& fault) noexcept {
    report_fault(fault);
    PyObject* type = panic_exception_type();
    PyObject* message =
        PyUnicode_DecodeUTF8(fault.message().data(), Py_ssize_t(fault.message().size()), "replace");
    if (message == nullptr) abort_at_boundary();
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace tarnwick
