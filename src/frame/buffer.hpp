// Output buffers: allocated once before a pass, filled, then handed to NumPy
// without a copy (the result array's base object frees them).
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "frame/fault.hpp"

namespace tarnwick {

/// Zeroed raw memory from the allocator that tracemalloc traces. Only for
/// the calling Python thread: while tracemalloc runs, that allocator takes the
/// interpreter lock, which the caller holds while the pool's workers run, so
/// workers use plain heap memory for their scratch. Throws std::bad_alloc when
/// the memory cannot be had.
void* allocate_zeroed(uint64_t bytes);
/// The same without zeroing, for outputs that the pass overwrites before they are read.
void* allocate_uninitialized(uint64_t bytes);
void release_memory(void* p) noexcept;
/// Shrinks the block at p to `bytes` where it lies and returns it; never
/// copies (see buffer.cpp).
void* shrink_memory(void* p, uint64_t bytes) noexcept;

/// An owned array of n trivially copyable T, zero-initialised.
template <class T>
class Buffer {
public:
    Buffer() = default;

    /// n zeroed elements; "capacity overflow" when n * sizeof(T) does not fit
    /// a signed 64-bit size.
    static Buffer zeroed(uint64_t n) {
        Buffer b;
        b.ptr_ = static_cast<T*>(allocate_zeroed(checked_size(n, sizeof(T))));
        b.len_ = n;
        return b;
    }

    /// n elements whose values are unspecified until written: for outputs that
    /// the pass fills before anything reads them (reused heap memory then
    /// costs neither zeroing nor fresh page faults).
    static Buffer uninitialized(uint64_t n) {
        Buffer b;
        b.ptr_ = static_cast<T*>(allocate_uninitialized(checked_size(n, sizeof(T))));
        b.len_ = n;
        return b;
    }

    /// n elements, each equal to value.
    static Buffer filled(uint64_t n, T value) {
        Buffer b = zeroed(n);
        for (uint64_t i = 0; i < n; ++i) b.ptr_[i] = value;
        return b;
    }

    Buffer(Buffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), len_(std::exchange(other.len_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release_memory(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
            len_ = std::exchange(other.len_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release_memory(ptr_); }

    T* data() noexcept { return ptr_; }
    const T* data() const noexcept { return ptr_; }
    uint64_t len() const noexcept { return len_; }
    T& operator[](uint64_t i) noexcept { return ptr_[i]; }
    const T& operator[](uint64_t i) const noexcept { return ptr_[i]; }

    /// Keeps the first n elements (n <= len) and gives the memory past them
    /// back, for an output filled to fewer elements than it had room for.
    /// The kept elements are not copied.
    void shrink(uint64_t n) noexcept {
        if (n >= len_) return;
        ptr_ = static_cast<T*>(shrink_memory(ptr_, n * sizeof(T)));
        len_ = n;
    }

    /// Gives up ownership; the caller frees with release_memory.
    T* release() noexcept {
        len_ = 0;
        return std::exchange(ptr_, nullptr);
    }

private:
    T* ptr_ = nullptr;
    uint64_t len_ = 0;
};

}  // namespace tarnwick
