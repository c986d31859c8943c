// Internal faults: broken invariants met by the logic, and their diagnostic
// on standard error. They travel as C++ exceptions to the call frame (or out
// of a worker of the pool) and reach Python as PanicException; they never
// cross into the interpreter. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tarnwick {

/// A broken invariant, with the exact message the caller will read.
class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

    // The diagnostic is written once, on the thread where the fault happened.
    bool reported() const noexcept { return reported_; }
    void mark_reported() noexcept { reported_ = true; }

private:
    std::string message_;
    std::source_location where_;
    bool reported_ = false;
};

/// A Python exception is already set; the frame only has to return NULL.
struct PythonError {};

/// Writes the fault's diagnostic to standard error, once per fault, on the
/// thread that calls it (a worker reports its own faults); the first
/// diagnostic of the process is followed by a hint on getting a backtrace.
void report_fault(Fault& fault) noexcept;

/// Writes "uncaught panic at ffi boundary" to standard error and aborts: the
/// end of a fault met while a fault is being reported.
[[noreturn]] void abort_at_boundary() noexcept;

[[noreturn, gnu::cold]] void fault(std::string_view message,
                                   std::source_location where = std::source_location::current());

/// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn, gnu::cold]] void index_out_of_bounds(
    uint64_t len, uint64_t index, std::source_location where = std::source_location::current());

/// An index outside a multi-dimensional array.
[[noreturn, gnu::cold]] void array_index_out_of_bounds(
    std::source_location where = std::source_location::current());

/// "range end index {end} out of range for slice of length {len}"
[[noreturn, gnu::cold]] void range_end_out_of_range(
    uint64_t end, uint64_t len, std::source_location where = std::source_location::current());

/// "range start index {start} out of range for slice of length {len}"
[[noreturn, gnu::cold]] void range_start_out_of_range(
    uint64_t start, uint64_t len, std::source_location where = std::source_location::current());

/// "slice index starts at {start} but ends at {end}"
[[noreturn, gnu::cold]] void slice_index_order(
    uint64_t start, uint64_t end, std::source_location where = std::source_location::current());

/// "capacity overflow": a buffer larger than the address space allows.
[[noreturn, gnu::cold]] void capacity_overflow(
    std::source_location where = std::source_location::current());

/// Index check of the contract: unsigned, so a negative id read as uint64 fails too.
inline void check_index(uint64_t index, uint64_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        index_out_of_bounds(len, index, where);
}

/// Checks that [start, start + count) lies within a sequence of `len` elements;
/// an end that overflows counts as outside.
inline void check_range(uint64_t start, uint64_t count, uint64_t len,
                        std::source_location where = std::source_location::current()) {
    uint64_t end = start + count;
    if (end < start || end > len) [[unlikely]]
        range_end_out_of_range(end < start ? UINT64_MAX : end, len, where);
}

/// a * b, or "capacity overflow" when the product does not fit a signed 64-bit size.
inline uint64_t checked_size(uint64_t a, uint64_t b,
                             std::source_location where = std::source_location::current()) {
    uint64_t product;
    if (__builtin_mul_overflow(a, b, &product) || product > uint64_t(INT64_MAX)) [[unlikely]]
        capacity_overflow(where);
    return product;
}

}  // namespace tarnwick
