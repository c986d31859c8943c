#include "frame/buffer.hpp"

#include <Python.h>

namespace tarnwick {

void* allocate_zeroed(uint64_t bytes) {
    // The raw domain needs no interpreter lock and is seen by tracemalloc.
    // One byte at least, so that an empty result still owns a distinct pointer.
    void* p = PyMem_RawCalloc(bytes == 0 ? 1 : bytes, 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* allocate_uninitialized(uint64_t bytes) {
    void* p = PyMem_RawMalloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release_memory(void* p) noexcept { PyMem_RawFree(p); }

}  // namespace tarnwick
