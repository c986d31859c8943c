// Starting one worker thread of the pool.
#pragma once

#include <cstddef>

namespace tarnwick {

/// Stack of each worker thread, unless the platform's minimum is larger.
inline constexpr size_t worker_stack_size = size_t(2) << 20;

/// Starts body(arg) on a detached, unnamed thread with a worker stack.
/// Returns 0, or the error number that stopped the thread.
int start_worker_thread(void* (*body)(void*), void* arg) noexcept;

}  // namespace tarnwick
