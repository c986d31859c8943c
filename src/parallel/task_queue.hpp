// A worker's queue of pieces waiting to be run: the owner pushes and takes
// back the newest piece, idle workers steal the oldest (the largest).
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace tarnwick {

/// A piece [begin, end) of a loop's items and the split budget it starts from.
struct Task {
    uint64_t begin;
    uint64_t end;
    uint64_t splits;
};

/// Budgets along one queue strictly decrease from the oldest piece to the
/// newest: each division halves the budget, and a worker takes foreign work
/// only when its queue is empty. Budgets never exceed the pool size, at most
/// 65,535, so a queue holds at most 17 pieces (budgets 65535, 32767, ..., 1, 0).
inline constexpr unsigned task_queue_capacity = 32;

/// The mutex is held only to move a piece in or out, never while one runs.
/// `size` mirrors `count` so that searching workers skip empty queues
/// without taking the lock.
struct alignas(64) TaskQueue {
    std::mutex mutex;
    Task tasks[task_queue_capacity];
    unsigned head = 0;
    unsigned count = 0;
    std::atomic<unsigned> size{0};
};

[[noreturn, gnu::cold]] inline void task_queue_overflow() noexcept {
    static const char message[] = "worker pool: task queue overflow\n";
    (void)!::write(STDERR_FILENO, message, sizeof message - 1);
    std::abort();
}

inline void push_newest(TaskQueue& q, const Task& task) {
    std::lock_guard lock(q.mutex);
    if (q.count == task_queue_capacity) task_queue_overflow();
    q.tasks[(q.head + q.count) % task_queue_capacity] = task;
    q.size.store(++q.count, std::memory_order_relaxed);
}

inline bool pop_newest(TaskQueue& q, Task& task) {
    if (q.size.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard lock(q.mutex);
    if (q.count == 0) return false;
    task = q.tasks[(q.head + --q.count) % task_queue_capacity];
    q.size.store(q.count, std::memory_order_relaxed);
    return true;
}

inline bool pop_oldest(TaskQueue& q, Task& task) {
    if (q.size.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard lock(q.mutex);
    if (q.count == 0) return false;
    task = q.tasks[q.head];
    q.head = (q.head + 1) % task_queue_capacity;
    q.size.store(--q.count, std::memory_order_relaxed);
    return true;
}

}  // namespace tarnwick
