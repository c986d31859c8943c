// Placeholder until the worker pool lands: runs every loop on the calling thread.
#include "parallel/pool.hpp"

#include "frame/fault.hpp"

namespace tarnwick {

uint64_t pool_thread_count() { return 1; }

void parallel_for_ranges(uint64_t n, RangeAction action, void* context) {
    if (n > 0) action(context, 0, n);
}

uint64_t chunk_count(uint64_t n, uint64_t chunk) {
    if (chunk == 0) fault("chunk_size must not be zero");
    return n / chunk + (n % chunk != 0);
}

}  // namespace tarnwick
