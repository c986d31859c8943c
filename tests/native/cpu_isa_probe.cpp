// Prints the instruction set that the kernels' selector chooses, twice: the
// second answer comes from the cache and must be the same.
#include <cstdio>

#include "lib/cpu_features.hpp"

int main() {
    const char* names[] = {"baseline", "avx", "avx2"};
    const tarnwick::Isa first = tarnwick::cpu_isa();
    std::printf("%s %s\n", names[int(first)], names[int(tarnwick::cpu_isa())]);
    return 0;
}
