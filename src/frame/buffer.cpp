#include "frame/buffer.hpp"

#include <Python.h>
#include <sys/mman.h>

#include <cstdint>

namespace tarnwick {

namespace {

// From this size on, an output is backed by huge pages where the system
// offers them on request: a large result would otherwise take one page fault
// per 4 KiB on its first write, and the allocator hands the memory back to
// the system when the result is freed, so every call paid them again.
constexpr uint64_t huge_page_threshold = uint64_t(4) << 20;

void advise_huge_pages(void* p, uint64_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    if (bytes < huge_page_threshold) return;
    constexpr uintptr_t page = 4096;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
    // Only advice: where it is refused the memory works as before.
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace

void* allocate_zeroed(uint64_t bytes) {
    // The raw domain needs no interpreter lock and is seen by tracemalloc.
    // One byte at least, so that an empty result still owns a distinct pointer.
    void* p = PyMem_RawCalloc(bytes == 0 ? 1 : bytes, 1);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return p;
}

void* allocate_uninitialized(uint64_t bytes) {
    void* p = PyMem_RawMalloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    return p;
}

void release_memory(void* p) noexcept { PyMem_RawFree(p); }

void* shrink_memory(void* p, uint64_t bytes) noexcept {
#ifdef __GLIBC__
    // glibc shrinks a block where it lies: a heap block is split and its
    // tail freed; a mapped one (every output of 4 MiB and more among them,
    // with the huge-page advice kept on what remains) unmaps its tail pages
    // with mremap, and when that fails the block stays as it was. Nothing is
    // copied, and tracemalloc sees the new size.
    void* q = PyMem_RawRealloc(p, bytes == 0 ? 1 : bytes);
    return q != nullptr ? q : p;
#else
    // Another allocator may move a shrinking block, a copy on every call:
    // the block keeps its room instead.
    (void)bytes;
    return p;
#endif
}

}  // namespace tarnwick
