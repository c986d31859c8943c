#include "frame/call_frame.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frame/text.hpp"

namespace tarnwick {
namespace {

constexpr const char* panic_doc =
    "Raised when native code called from Python fails an internal check.\n\n"
    "It derives from BaseException, not Exception, so that it propagates to the "
    "top like SystemExit instead of being swallowed by 'except Exception'.";

std::atomic<bool> hint_written{false};

/// The path from "src/" on, so diagnostics do not depend on the build machine.
std::string_view source_path(const char* file) {
    std::string_view path(file);
    auto at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

void write_stderr(const std::string& text) noexcept {
    // One write per diagnostic, so that faults of several workers do not interleave.
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= size_t(n);
    }
}

[[noreturn]] void abort_at_boundary() noexcept {
    write_stderr("uncaught panic at ffi boundary\n");
    std::abort();
}

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

void report_fault(Fault& fault) noexcept {
    if (fault.reported()) return;
    fault.mark_reported();
    try {
        const auto& where = fault.where();
        std::string text = cat("thread '<unnamed>' (", long(::syscall(SYS_gettid)),
                               ") panicked at ", source_path(where.file_name()), ":", where.line(),
                               ":", where.column(), ":\n", fault.message(), "\n");
        if (!hint_written.exchange(true))
            text +=
                "note: to stop where a fault is raised, run Python under gdb with "
                "'catch throw': gdb -ex 'catch throw' -ex run --args python script.py\n";
        write_stderr(text);
    } catch (...) {
        abort_at_boundary();
    }
}

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
