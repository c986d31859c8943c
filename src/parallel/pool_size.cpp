#include "parallel/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace tarnwick {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, uint64_t(c - '0'), &value))
            return std::nullopt;
    }
    return value;
}

uint64_t available_parallelism(const std::string& root) {
    uint64_t quota = cgroup_cpu_quota(root).value_or(UINT64_MAX);
    // cpu_set_t is 128 bytes: a machine with more CPUs makes the call fail and
    // falls back on the online count.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return std::min(uint64_t(count), quota);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online <= 0) return 0;
    return std::min(uint64_t(online), quota);
}

uint64_t pool_size(const char* num_threads, const char* num_cpus, const std::string& root) {
    auto parsed = [](const char* value) {
        return value == nullptr ? std::nullopt : parse_unsigned(value);
    };
    uint64_t size = 0;
    // RAYON_NUM_THREADS=0 asks for the default even when RAYON_RS_NUM_CPUS is set.
    if (auto threads = parsed(num_threads))
        size = *threads;
    else if (auto cpus = parsed(num_cpus))
        size = *cpus;
    if (size == 0) size = std::max<uint64_t>(available_parallelism(root), 1);
    return std::min(size, max_pool_threads);
}

uint64_t pool_size_from_environment() {
    return pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), "");
}

}  // namespace tarnwick
