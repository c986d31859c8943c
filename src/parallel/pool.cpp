// The worker pool: T detached threads that run one parallel loop at a time for
// the calling Python thread. A loop's item range is divided adaptively: a
// worker halves its piece while the split budget lasts, keeps the left half
// and queues the right one, where an idle worker may steal it (a stolen piece
// gets a fresh budget, so work spreads to where threads are idle). The pool is
// created on the first parallel branch and kept for the life of the process;
// a forked child builds its own.
#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "frame/fault.hpp"
#include "frame/text.hpp"
#include "parallel/pool_size.hpp"
#include "parallel/task_queue.hpp"
#include "parallel/worker_thread.hpp"

namespace tarnwick {
namespace {

/// An idle worker searches at least this many times, and for at least
/// idle_spin, yielding the processor between passes, before it goes to
/// sleep. Loops come in quick succession: one per tree node, a fraction of a
/// millisecond to a few milliseconds apart, and a tree's first after the
/// round's NumPy steps, several milliseconds on a few hundred thousand
/// rows. A spinning worker picks the next one up at once; waking a sleeping
/// one took 0.3-0.6 ms on a virtual machine, as long as a small node's whole
/// pass. Yielding, a spinning worker leaves the processor to the caller's
/// serial steps (a 1-4 ms sort between loops took as long with 2 workers
/// spinning as alone).
constexpr int idle_passes = 32;
constexpr auto idle_spin = std::chrono::milliseconds(10);

/// Where the pool leaves a processor free, the calling thread looks for the
/// end of its loop this long, yielding between looks, before it sleeps on
/// its latch. Most loops end within it, and a caller that slept had to be
/// woken: on a virtual machine whose processor went idle meanwhile, one
/// worker took 1.2-1.3 times as long as the serial pass on nodes of
/// 11,000-22,000 rows. With as many workers as processors the caller does not
/// look: a thread that is always ready to run competes with the workers for
/// the processors (fits of 100,000 rows on 2 workers took up to 1.2 times as
/// long).
constexpr auto caller_spin = std::chrono::milliseconds(2);

constexpr const char* pool_failed_prefix = "The global thread pool has not been initialized.: ";

struct Pool;

struct Worker {
    TaskQueue queue;
    Pool* pool = nullptr;
    uint64_t index = 0;
};

struct Pool {
    Pool(uint64_t n, bool caller_spins)
        : threads(n), caller_spins(caller_spins), workers(new Worker[n]) {
        for (uint64_t i = 0; i < n; ++i) {
            workers[i].pool = this;
            workers[i].index = i;
        }
    }

    const uint64_t threads;
    const bool caller_spins;
    const std::unique_ptr<Worker[]> workers;
    // The two halves of each loop, queued by the calling thread.
    TaskQueue injected;

    // Idle workers sleep until `epoch` moves; every queued piece moves it.
    std::mutex sleep_mutex;
    std::condition_variable wake;
    std::atomic<uint64_t> epoch{0};
    std::atomic<uint64_t> sleepers{0};
    std::atomic<bool> stopping{false};

    // The loop being run. There is one at a time: callers hold the
    // interpreter lock, and loop_mutex makes that hold for any caller.
    std::mutex loop_mutex;
    RangeAction action = nullptr;
    void* context = nullptr;
    std::atomic<uint64_t> remaining{0};
    std::mutex fault_mutex;
    std::exception_ptr fault;
    std::mutex done_mutex;
    std::condition_variable done_cv;
    // Set under done_mutex; read without it while the caller spins.
    std::atomic<bool> done{false};
};

thread_local Worker* current_worker = nullptr;

/// Moves the epoch so that no worker falls asleep past the new work, and
/// wakes sleepers: all of them for a new loop, one for a queued half.
void announce_work(Pool& pool, bool everyone) {
    // Sequentially consistent with the sleeper count: either the sleeper sees
    // the new epoch, or this sees the sleeper.
    pool.epoch.fetch_add(1);
    if (pool.sleepers.load() == 0) return;
    // Taking the mutex waits out a worker between its last check and its wait.
    {
        std::lock_guard lock(pool.sleep_mutex);
    }
    if (everyone)
        pool.wake.notify_all();
    else
        pool.wake.notify_one();
}

/// The next piece for a worker: its own newest, else a loop half from the
/// calling thread, else the oldest piece of another worker. `moved` tells
/// whether the piece came from elsewhere.
bool find_task(Worker& self, Task& task, bool& moved) {
    if (pop_newest(self.queue, task)) {
        moved = false;
        return true;
    }
    moved = true;
    Pool& pool = *self.pool;
    if (pop_oldest(pool.injected, task)) return true;
    for (uint64_t k = 1; k < pool.threads; ++k) {
        uint64_t victim = self.index + k;
        if (victim >= pool.threads) victim -= pool.threads;
        if (pop_oldest(pool.workers[victim].queue, task)) return true;
    }
    return false;
}

/// Searches for a while, then sleeps until new work is announced. False
/// when the pool is abandoned because its creation failed.
bool wait_for_task(Worker& self, Task& task, bool& moved) {
    Pool& pool = *self.pool;
    for (;;) {
        uint64_t seen = pool.epoch.load();
        const auto idle_since = std::chrono::steady_clock::now();
        for (int pass = 0;
             pass < idle_passes || std::chrono::steady_clock::now() - idle_since < idle_spin;
             ++pass) {
            sched_yield();
            if (find_task(self, task, moved)) return true;
        }
        std::unique_lock lock(pool.sleep_mutex);
        pool.sleepers.fetch_add(1);
        while (pool.epoch.load() == seen && !pool.stopping.load()) pool.wake.wait(lock);
        pool.sleepers.fetch_sub(1);
        if (pool.stopping.load()) return false;
    }
}

void keep_first_fault(Pool& pool, std::exception_ptr failure) {
    std::lock_guard lock(pool.fault_mutex);
    if (!pool.fault) pool.fault = std::move(failure);
}

/// Runs the action over [begin, end), then counts the items as done; the
/// worker that completes the loop releases the calling thread. A failure
/// stops this piece only: the other pieces still run, and the loop ends
/// when all are done.
void process_range(Pool& pool, uint64_t begin, uint64_t end) {
    try {
        pool.action(pool.context, begin, end);
    } catch (Fault& f) {
        // The diagnostic comes from the thread where the fault happened.
        report_fault(f);
        keep_first_fault(pool, std::current_exception());
    } catch (...) {
        keep_first_fault(pool, std::current_exception());
    }
    uint64_t count = end - begin;
    if (pool.remaining.fetch_sub(count, std::memory_order_acq_rel) == count) {
        std::lock_guard lock(pool.done_mutex);
        pool.done.store(true, std::memory_order_release);
        pool.done_cv.notify_one();
    }
}

/// Divides the piece while its budget lasts, queueing each right half, and
/// processes what is left. A piece that moved to this worker (stolen, or a
/// loop half) restores the budget to at least T.
void run_task(Worker& self, Task task, bool moved) {
    Pool& pool = *self.pool;
    uint64_t begin = task.begin, end = task.end, splits = task.splits;
    while ((end - begin) / 2 >= 1) {
        if (moved)
            splits = std::max(pool.threads, splits / 2);
        else if (splits == 0)
            break;
        else
            splits /= 2;
        moved = false;
        uint64_t mid = begin + (end - begin) / 2;
        push_newest(self.queue, {mid, end, splits});
        announce_work(pool, false);
        end = mid;
    }
    process_range(pool, begin, end);
}

void* worker_main(void* arg) {
    Worker& self = *static_cast<Worker*>(arg);
    current_worker = &self;
    Task task;
    bool moved;
    while (find_task(self, task, moved) || wait_for_task(self, task, moved))
        run_task(self, task, moved);
    return nullptr;
}

/// Returns when the loop's last piece is done: looks for it for a while,
/// then sleeps on the latch.
void await_loop_end(Pool& pool) {
    const auto since = std::chrono::steady_clock::now();
    while (!pool.done.load(std::memory_order_acquire)) {
        if (!pool.caller_spins || std::chrono::steady_clock::now() - since >= caller_spin) {
            std::unique_lock lock(pool.done_mutex);
            pool.done_cv.wait(lock, [&] { return pool.done.load(std::memory_order_relaxed); });
            return;
        }
        sched_yield();
    }
}

std::mutex creation_mutex;
std::atomic<Pool*> live_pool{nullptr};
// Guarded by creation_mutex.
const std::string* creation_error = nullptr;
bool fork_handlers_installed = false;

/// Starts the workers in index order. If one cannot start, those already
/// running are told to stop (they still use the pool, which is left to
/// them) and the failure is kept for every later call.
Pool* create_pool(uint64_t threads) {
    auto pool = std::make_unique<Pool>(threads, threads < available_parallelism(""));
    for (uint64_t i = 0; i < threads; ++i) {
        int err = start_worker_thread(worker_main, &pool->workers[i]);
        if (err == 0) continue;
        pool->stopping.store(true);
        announce_work(*pool, true);
        pool.release();
        char buf[256];
        creation_error = new std::string(
            cat(pool_failed_prefix, "failed to start worker thread ", i, " of ", threads, ": ",
                strerror_r(err, buf, sizeof buf), " (os error ", err, ")"));
        fault(*creation_error);
    }
    return pool.release();
}

// Fork: the child has only the forking thread, so the parent's workers do
// not exist there and the parent's pool would wait for them forever. The
// child forgets it without touching it (a worker may have held one of its
// locks at the fork) and builds a fresh pool on its first parallel loop. A
// failed pool stays failed in the child.
void before_fork() { creation_mutex.lock(); }
void after_fork_in_parent() { creation_mutex.unlock(); }
void after_fork_in_child() {
    live_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex.unlock();
}

/// The pool, created on first use; a failed creation faults on every call.
Pool& running_pool() {
    if (Pool* pool = live_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(creation_mutex);
    if (Pool* pool = live_pool.load(std::memory_order_relaxed)) return *pool;
    if (creation_error != nullptr) fault(*creation_error);
    if (!fork_handlers_installed) {
        if (int err = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child))
            fault(cat(pool_failed_prefix, "cannot register fork handlers (os error ", err, ")"));
        fork_handlers_installed = true;
    }
    Pool* pool = create_pool(pool_size_from_environment());
    live_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

uint64_t pool_thread_count() {
    if (current_worker != nullptr) return current_worker->pool->threads;
    return running_pool().threads;
}

void parallel_for_ranges(uint64_t n, RangeAction action, void* context) {
    // A loop started from inside an action runs where it is: a worker that
    // waited for its own pool could wait forever.
    if (current_worker != nullptr) {
        if (n > 0) action(context, 0, n);
        return;
    }
    Pool& pool = running_pool();
    if (n < 2) {
        if (n == 1) action(context, 0, 1);
        return;
    }
    std::lock_guard loop(pool.loop_mutex);
    pool.action = action;
    pool.context = context;
    pool.remaining.store(n, std::memory_order_relaxed);
    {
        std::lock_guard lock(pool.done_mutex);
        pool.done.store(false, std::memory_order_relaxed);
    }
    // The calling thread's own division: budget T / 2, and both halves run on
    // workers as moved pieces.
    uint64_t splits = pool.threads / 2, mid = n / 2;
    push_newest(pool.injected, {0, mid, splits});
    push_newest(pool.injected, {mid, n, splits});
    announce_work(pool, true);
    await_loop_end(pool);
    std::exception_ptr failure;
    {
        std::lock_guard lock(pool.fault_mutex);
        failure = std::exchange(pool.fault, nullptr);
    }
    if (failure) std::rethrow_exception(failure);
}

uint64_t chunk_count(uint64_t n, uint64_t chunk) {
    if (chunk == 0) fault("chunk_size must not be zero");
    return n / chunk + (n % chunk != 0);
}

}  // namespace tarnwick
