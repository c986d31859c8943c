// Prints what the pool-size rules decide for this process's environment with
// the control-group files read below ROOT: "<quota> <size>", the quota being
// "unlimited" when no limit is found.
#include <cstdio>
#include <cstdlib>

#include "parallel/pool_size.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    auto quota = tarnwick::cgroup_cpu_quota(argv[1]);
    uint64_t size = tarnwick::pool_size(std::getenv("RAYON_NUM_THREADS"),
                                        std::getenv("RAYON_RS_NUM_CPUS"), argv[1]);
    if (quota)
        std::printf("%llu %llu\n", (unsigned long long)*quota, (unsigned long long)size);
    else
        std::printf("unlimited %llu\n", (unsigned long long)size);
    return 0;
}
