// Exercises the worker pool on its own, without Python: coverage of every
// item, the division into pieces, the worker threads, faults in workers, loops started from
// inside an action, fork, and a failed pool creation. Built by
// tests/test_pool.py (also under ThreadSanitizer). Usage: pool_check MODE;
// the pool size comes from RAYON_NUM_THREADS as usual. Prints result lines
// and exits with 1 on the first broken expectation.
#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame/call_frame.hpp"
#include "parallel/pool.hpp"

// The module writes the diagnostic to standard error; here it is counted.
std::atomic<int> reports{0};
std::atomic<long> report_thread{0};

namespace tarnwick {

void report_fault(Fault& fault) noexcept {
    if (fault.reported()) return;
    fault.mark_reported();
    reports.fetch_add(1);
    report_thread.store(long(::syscall(SYS_gettid)));
}

}  // namespace tarnwick

namespace {

using tarnwick::parallel_for_each;
using Piece = std::pair<uint64_t, uint64_t>;

[[noreturn]] void fail(const std::string& what) {
    std::printf("FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(1);
}

void expect(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

long gettid_now() { return long(::syscall(SYS_gettid)); }

int thread_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

/// The pieces the division rule makes when no piece is stolen.
void no_steal_pieces(uint64_t a, uint64_t b, uint64_t s, bool moved, uint64_t t,
                     std::vector<Piece>& out) {
    if ((b - a) / 2 >= 1 && (moved || s > 0)) {
        s = moved ? std::max(t, s / 2) : s / 2;
        uint64_t mid = a + (b - a) / 2;
        no_steal_pieces(a, mid, s, false, t, out);
        no_steal_pieces(mid, b, s, false, t, out);
        return;
    }
    out.push_back({a, b});
}

/// One loop over n items: every item once, pieces non-empty, the calling
/// thread used exactly for loops of fewer than two items. Returns the pieces.
std::vector<Piece> checked_loop(uint64_t n) {
    std::vector<std::atomic<uint32_t>> visits(n);
    std::mutex mutex;
    std::vector<Piece> pieces;
    std::atomic<bool> on_caller{false};
    long caller = gettid_now();
    parallel_for_each(n, [&](uint64_t begin, uint64_t end) {
        if (gettid_now() == caller) on_caller.store(true);
        for (uint64_t i = begin; i < end; ++i) visits[i].fetch_add(1, std::memory_order_relaxed);
        std::lock_guard lock(mutex);
        pieces.push_back({begin, end});
    });
    std::string at = " (n = " + std::to_string(n) + ")";
    for (uint64_t i = 0; i < n; ++i) expect(visits[i].load() == 1, "item run once" + at);
    for (auto [b, e] : pieces) expect(b < e, "non-empty piece" + at);
    expect(on_caller.load() == (n == 1), "calling thread runs exactly the one-item loops" + at);
    std::sort(pieces.begin(), pieces.end());
    return pieces;
}

void mode_cover() {
    uint64_t t = tarnwick::pool_thread_count();
    std::vector<uint64_t> sizes;
    for (uint64_t n = 0; n <= 200; ++n) sizes.push_back(n);
    for (uint64_t n : {1000, 4097, 65536, 100003}) sizes.push_back(n);
    for (int rep = 0; rep < 3; ++rep) {
        for (uint64_t n : sizes) {
            auto pieces = checked_loop(n);
            std::vector<Piece> expected;
            if (n >= 2) {
                no_steal_pieces(0, n / 2, t / 2, true, t, expected);
                no_steal_pieces(n / 2, n, t / 2, true, t, expected);
            } else if (n == 1) {
                expected.push_back({0, 1});
            }
            // Stealing only divides further; a single worker never steals.
            std::string at = " (n = " + std::to_string(n) + ")";
            expect(pieces.size() >= expected.size(), "at least the unstolen division" + at);
            if (t == 1) expect(pieces == expected, "one worker divides as the rule says" + at);
            if (rep == 0 && n >= 1000)
                std::printf("pieces %llu %zu\n", (unsigned long long)n, pieces.size());
        }
    }
    std::printf("threads %llu\n", (unsigned long long)t);
}

std::string thread_name() {
    std::ifstream comm("/proc/thread-self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

void mode_workers() {
    size_t expected = std::max<size_t>(size_t(2) << 20, size_t(sysconf(_SC_THREAD_STACK_MIN)));
    std::string caller_name = thread_name();
    std::atomic<bool> ok{true};
    parallel_for_each(64, [&](uint64_t, uint64_t) {
        pthread_attr_t attr;
        size_t stack = 0;
        int detach = -1;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stack);
            pthread_attr_getdetachstate(&attr, &detach);
            pthread_attr_destroy(&attr);
        }
        // Unnamed: the name is the one inherited from the process.
        if (stack != expected || detach != PTHREAD_CREATE_DETACHED || thread_name() != caller_name)
            ok.store(false);
    });
    expect(ok.load(), "detached unnamed workers with 2 MiB stacks");
    std::printf("workers ok\n");
}

void mode_fault() {
    const uint64_t n = 1000, bad = 517;
    long caller = gettid_now();
    std::vector<std::atomic<uint32_t>> visits(n);
    std::atomic<int> active{0};
    std::mutex mutex;
    std::vector<Piece> pieces;
    try {
        parallel_for_each(n, [&](uint64_t begin, uint64_t end) {
            active.fetch_add(1);
            {
                std::lock_guard lock(mutex);
                pieces.push_back({begin, end});
            }
            for (uint64_t i = begin; i < end; ++i) {
                if (i == bad) {
                    active.fetch_sub(1);
                    tarnwick::fault("boom at 517");
                }
                visits[i].fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            active.fetch_sub(1);
        });
        fail("the fault did not reach the caller");
    } catch (tarnwick::Fault& f) {
        expect(f.message() == "boom at 517", "the fault keeps its message");
        expect(f.reported(), "the worker reported the fault");
    }
    expect(active.load() == 0, "every piece finished before the fault was raised");
    expect(reports.load() == 1, "one diagnostic");
    expect(report_thread.load() != caller, "diagnostic written by the worker");
    for (auto [b, e] : pieces)
        for (uint64_t i = b; i < e; ++i)
            expect(visits[i].load() == ((b <= bad && bad < e && i >= bad) ? 0u : 1u),
                   "other pieces run to the end, the failing one stops");
    uint64_t covered = 0;
    for (auto [b, e] : pieces) covered += e - b;
    expect(covered == n, "every piece started");

    try {
        parallel_for_each(64, [](uint64_t begin, uint64_t end) {
            if (begin <= 3 && 3 < end) throw std::bad_alloc();
        });
        fail("bad_alloc did not reach the caller");
    } catch (const std::bad_alloc&) {
    }
    expect(reports.load() == 1, "bad_alloc is not a fault diagnostic");

    int caught = 0;
    for (int rep = 0; rep < 50; ++rep) {
        try {
            parallel_for_each(256, [](uint64_t begin, uint64_t) {
                tarnwick::fault("fault in piece at " + std::to_string(begin));
            });
        } catch (tarnwick::Fault& f) {
            expect(f.message().rfind("fault in piece at ", 0) == 0, "one of the faults");
            ++caught;
        }
    }
    expect(caught == 50, "every failing loop raises");
    checked_loop(1000);
    std::printf("fault ok\n");
}

void mode_nested() {
    uint64_t t = tarnwick::pool_thread_count();
    std::vector<std::atomic<uint32_t>> visits(64 * 100);
    std::atomic<bool> sizes_ok{true};
    parallel_for_each(64, [&](uint64_t begin, uint64_t end) {
        for (uint64_t outer = begin; outer < end; ++outer) {
            if (tarnwick::pool_thread_count() != t) sizes_ok.store(false);
            parallel_for_each(100, [&](uint64_t b, uint64_t e) {
                for (uint64_t i = b; i < e; ++i) visits[outer * 100 + i].fetch_add(1);
            });
        }
    });
    for (auto& v : visits) expect(v.load() == 1, "nested item run once");
    expect(sizes_ok.load(), "a worker sees its pool's size");
    std::printf("nested ok\n");
}

void mode_fork() {
    uint64_t t = tarnwick::pool_thread_count();
    checked_loop(10000);
    for (int child_no = 0; child_no < 3; ++child_no) {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(30);
            expect(thread_count() == 1, "the child starts with one thread");
            for (uint64_t n : {2, 100, 10000}) checked_loop(n);
            expect(tarnwick::pool_thread_count() == t, "the child's pool has the same size");
            expect(thread_count() == int(1 + t), "the child started its own workers");
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the child ran its loops");
        checked_loop(10000);
    }
    std::printf("fork ok\n");
}

long vm_size_bytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmSize:") {
            long kib;
            status >> kib;
            return kib * 1024;
        }
    }
    return -1;
}

void mode_fail() {
    // Room for a few worker stacks only.
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t(vm_size_bytes() + (24l << 20));
    expect(setrlimit(RLIMIT_AS, &limit) == 0, "setrlimit");
    std::string first, second;
    try {
        tarnwick::pool_thread_count();
        fail("pool created despite the limit");
    } catch (tarnwick::Fault& f) {
        first = f.message();
    }
    try {
        parallel_for_each(2, [](uint64_t, uint64_t) {});
        fail("a failed pool ran a loop");
    } catch (tarnwick::Fault& f) {
        second = f.message();
    }
    expect(first == second, "the failure repeats unchanged");
    // The workers that had started stop.
    for (int wait = 0; wait < 500 && thread_count() > 1; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    expect(thread_count() == 1, "started workers exit");
    std::printf("%s\n", first.c_str());
}

void mode_stress() {
    uint64_t state = 88172645463325252ull;
    for (int loop = 0; loop < 3000; ++loop) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        checked_loop(state % 70);
    }
    std::printf("stress ok\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "cover")
        mode_cover();
    else if (mode == "fault")
        mode_fault();
    else if (mode == "nested")
        mode_nested();
    else if (mode == "workers")
        mode_workers();
    else if (mode == "fork")
        mode_fork();
    else if (mode == "fail")
        mode_fail();
    else if (mode == "stress")
        mode_stress();
    else {
        std::fprintf(stderr, "usage: %s cover|workers|fault|nested|fork|fail|stress\n", argv[0]);
        return 2;
    }
    return 0;
}
