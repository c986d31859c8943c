// The worker pool: a process-wide set of worker threads, created on the first
// parallel branch, that runs one parallel loop at a time for the calling
// Python thread.
#pragma once

#include <cstdint>
#include <utility>

namespace tarnwick {

/// Number of worker threads; creates the pool on first use. A pool that could
/// not be created faults ("The global thread pool has not been initialized.:
/// ..."), now and on every later call.
uint64_t pool_thread_count();

/// Runs action(context, begin, end) over pieces of [0, n) that together cover
/// every item exactly once; within a piece the items are processed in
/// ascending order. Returns when all pieces are done. A fault in any piece is
/// raised on the calling thread after the loop has finished.
/// The pool is created first if needed; a loop of fewer than two items then
/// runs on the calling thread, and so does a loop started from inside an
/// action.
using RangeAction = void (*)(void* context, uint64_t begin, uint64_t end);
void parallel_for_ranges(uint64_t n, RangeAction action, void* context);

/// parallel_for_ranges with a callable taking (begin, end).
template <class F>
void parallel_for_each(uint64_t n, F&& action) {
    using Fn = std::remove_reference_t<F>;
    parallel_for_ranges(
        n, [](void* c, uint64_t b, uint64_t e) { (*static_cast<Fn*>(c))(b, e); },
        const_cast<void*>(static_cast<const void*>(&action)));
}

/// Items of a chunked loop: ceil(n / chunk) chunks, the last one shorter.
/// A chunk length of zero is a fault ("chunk_size must not be zero"), raised
/// before any item runs.
uint64_t chunk_count(uint64_t n, uint64_t chunk);

}  // namespace tarnwick
