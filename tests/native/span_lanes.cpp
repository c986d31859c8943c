// Runs the row loop of a slot with two-lane (baseline) and four-lane (AVX2)
// vectors over random rows (NaN, infinities, signed zeros, every width from
// 1 to 40, the unrolled ones among them) and compares the blocks byte for
// byte, including the lower triangle of the Gram block, which the row loop
// must leave alone. The one freedom is which NaN comes out where two NaNs of
// different payload (an input NaN and the one that inf * 0 makes) meet in a
// sum: the processor keeps one operand's, and the compiler may order the
// operands of an addition either way, so only NaN-ness is compared there.
// The module only runs the widest path the processor has, so the narrow one
// is checked here, on its own. Prints the number of rows added.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "linear_leaf/leaf_rows.hpp"

using namespace tarnwick;

int main() {
    if (cpu_isa() < Isa::avx2) {
        std::puts("no avx2");
        return 0;
    }
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 0.0, -0.0};
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> normal;
    uint64_t rows_added = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const uint64_t d = 1 + rng() % 40, n_rows = 1 + rng() % 30, n = rng() % 45;
        std::vector<double> z(n_rows * d), g(n_rows), h(n_rows);
        for (auto* v : {&z, &g, &h})
            for (double& x : *v) x = rng() % 12 == 0 ? specials[rng() % 5] : normal(rng);
        std::vector<int64_t> order(n);
        for (int64_t& r : order) r = int64_t(rng() % n_rows);
        Vec<int64_t> positions;
        positions.data = reinterpret_cast<const char*>(order.data());
        positions.shape = {n};
        positions.strides = {8};
        const RowColumn grad{reinterpret_cast<const char*>(g.data()), 8, n_rows};
        const RowColumn hess{reinterpret_cast<const char*>(h.data()), 8, n_rows};
        std::vector<double> blocks[2];
        for (int wide = 0; wide < 2; ++wide) {
            auto& b = blocks[wide];
            b.assign(d * d + 4 * d, 0.0);
            std::fill(b.begin() + d * d + 2 * d, b.begin() + d * d + 3 * d, inf);
            std::fill(b.begin() + d * d + 3 * d, b.end(), -inf);
            double* p = b.data();
            const SlotBlocks out{p, p + d * d, p + d * d + d, p + d * d + 2 * d, p + d * d + 3 * d};
            accumulate_span(out, Embedding{z.data(), z.size(), d}, positions, 0, int64_t(n), grad,
                            hess, wide ? Isa::avx2 : Isa::baseline);
        }
        for (uint64_t k = 0; k < blocks[0].size(); ++k) {
            const double a = blocks[0][k], b = blocks[1][k];
            if (std::memcmp(&a, &b, 8) != 0 && !(std::isnan(a) && std::isnan(b))) {
                std::printf("trial %d (d = %llu) differs at %llu\n", trial, (unsigned long long)d,
                            (unsigned long long)k);
                return 1;
            }
        }
        for (uint64_t i = 0; i < d; ++i)
            for (uint64_t j = 0; j < i; ++j)
                if (blocks[0][i * d + j] != 0.0 || std::signbit(blocks[0][i * d + j])) {
                    std::printf("trial %d: lower triangle written\n", trial);
                    return 1;
                }
        rows_added += n;
    }
    std::printf("%llu\n", (unsigned long long)rows_added);
    return 0;
}
