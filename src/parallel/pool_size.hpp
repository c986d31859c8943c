// How many worker threads the pool starts: the two environment variables,
// then the parallelism the process may use (affinity mask, control-group CPU
// quota, online processors). Free of Python so that it can be checked on its
// own against fixture control-group trees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

/// The most worker threads a pool may have.
inline constexpr uint64_t max_pool_threads = 65535;

/// An unsigned decimal integer: an optional single leading "+", then one or
/// more ASCII digits and nothing else, fitting 64 bits.
std::optional<uint64_t> parse_unsigned(std::string_view text);

/// CPUs allowed by the control-group CPU quota (at least 1), or nothing when
/// no limit is found. `root` is prepended to "/proc/self/..." and
/// "/sys/fs/cgroup/...", so that an empty root reads the live system.
std::optional<uint64_t> cgroup_cpu_quota(const std::string& root);

/// The CPUs the process may run on, bounded by the quota found below `root`;
/// 0 when it cannot be determined.
uint64_t available_parallelism(const std::string& root);

/// Pool size from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null
/// when unset), falling back on the available parallelism below `root`;
/// between 1 and max_pool_threads.
uint64_t pool_size(const char* num_threads, const char* num_cpus, const std::string& root);

/// Pool size from the process environment and the live system.
uint64_t pool_size_from_environment();

}  // namespace tarnwick
