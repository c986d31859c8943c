// The diagnostic of a fault on standard error. Kept apart from the fault
// types so that the pool reports faults from its workers without reaching
// the Python-facing call frame, and so that a native test program can link
// the faults with a reporter of its own.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frame/fault.hpp"
#include "frame/text.hpp"

namespace tarnwick {
namespace {

std::atomic<bool> hint_written{false};

/// The path from "src/" on, so diagnostics do not depend on the build machine.
std::string_view source_path(const char* file) {
    std::string_view path(file);
    auto at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

void write_stderr(std::string_view text) noexcept {
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

}  // namespace

void abort_at_boundary() noexcept {
    write_stderr("uncaught panic at ffi boundary\n");
    std::abort();
}

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

}  // namespace tarnwick
