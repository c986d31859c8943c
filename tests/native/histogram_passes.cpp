// Runs every histogram pass of the table, for each instruction set the
// processor has, over random nodes (every pass width; consecutive rows, and
// listed rows with their values read by id or gathered; scratch quads and
// in-place triples; hessians summed, or counted and so left out of the pass)
// and compares each with a plain loop bit for bit. The module only ever runs
// the widest passes the processor has, so the narrower ones are checked here.
// Prints the instruction sets checked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "histogram/accumulate_feature.hpp"

namespace tarnwick {
void bin_fault(const FeatureBlocks&, const PassRows&, uint64_t, uint64_t, uint64_t, uint64_t) {
    std::abort();
}
}  // namespace tarnwick

using namespace tarnwick;

template <unsigned K, RowAccess A, Hessians H>
bool check_pass(std::mt19937_64& rng, Isa isa) {
    constexpr bool C = A == RowAccess::consecutive;
    const uint64_t n_rows = 1 + rng() % 300, n_bins = 1 + rng() % 40;
    const uint64_t n_sel = C ? rng() % (n_rows + 1) : rng() % 400;
    const uint64_t start = C ? rng() % (n_rows - n_sel + 1) : 0;
    std::vector<uint16_t> codes(K * n_rows);
    for (auto& c : codes) c = uint16_t(rng() % n_bins);
    std::vector<uint64_t> row(n_sel);
    for (uint64_t i = 0; i < n_sel; ++i) row[i] = C ? start + i : rng() % n_rows;
    // Values by row id, and the same values in position order.
    std::vector<double> grad(n_rows), hess(n_rows), grad_at(n_sel), hess_at(n_sel);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (uint64_t r = 0; r < n_rows; ++r) {
        grad[r] = unit(rng) * double(1ull << (rng() % 60));
        hess[r] = unit(rng) / double(1ull << (rng() % 60));
    }
    for (uint64_t i = 0; i < n_sel; ++i) {
        grad_at[i] = grad[row[i]];
        hess_at[i] = hess[row[i]];
    }
    const bool by_id = A == RowAccess::listed;
    // Counted hessians are left out of the pass (filled in after it).
    const bool summed = H == Hessians::summed;
    PassRows rows{row.data(),
                  by_id ? grad.data() : grad_at.data(),
                  !summed ? nullptr
                  : by_id ? hess.data()
                          : hess_at.data(),
                  n_sel,
                  start,
                  A,
                  H,
                  1.0,
                  rng() % 2 == 0};
    std::vector<double> expected(K * n_bins * 3, 0.0);
    for (unsigned k = 0; k < K; ++k)
        for (uint64_t i = 0; i < n_sel; ++i) {
            double* cell = &expected[(k * n_bins + codes[k * n_rows + row[i]]) * 3];
            cell[0] = grad_at[i] + cell[0];
            if (summed) cell[1] = hess_at[i] + cell[1];
            cell[2] = cell[2] + 1.0;
        }
    for (const Target into : {Target::quads, Target::tensor}) {
        std::vector<double> hist(K * n_bins * 3, 0.0);
        auto* quads = static_cast<BinQuad*>(std::aligned_alloc(32, K * n_bins * 32 + 32));
        std::memset(static_cast<void*>(quads), 0, K * n_bins * 32);
        FeatureBlocks blocks{hist.data(), codes.data(), n_rows, n_bins};
        find_pass(isa, into, H, A, K)(blocks, rows, 0, quads);
        // Scratch quads, or (gradient, count) pairs when hessians are counted.
        if (into == Target::quads && summed)
            for (uint64_t q = 0; q < K * n_bins; ++q)
                for (int c = 0; c < 3; ++c) hist[3 * q + c] = quads[q][c];
        if (into == Target::quads && !summed)
            for (uint64_t q = 0; q < K * n_bins; ++q) {
                hist[3 * q] = reinterpret_cast<BinPair*>(quads)[q][0];
                hist[3 * q + 2] = reinterpret_cast<BinPair*>(quads)[q][1];
            }
        std::free(quads);
        if (std::memcmp(hist.data(), expected.data(), hist.size() * 8) != 0) {
            std::printf("isa %d, target %d differs (K=%u, access=%d, hessians=%d)\n", int(isa),
                        int(into), K, int(A), int(H));
            return false;
        }
    }
    return true;
}

template <unsigned K, RowAccess A>
bool check(std::mt19937_64& rng, Isa isa) {
    return check_pass<K, A, Hessians::summed>(rng, isa) &&
           check_pass<K, A, Hessians::counted>(rng, isa);
}

int main() {
    std::mt19937_64 rng(2024);
    const char* names[] = {"baseline", "avx"};
    for (const Isa isa : {Isa::baseline, Isa::avx}) {
        if (isa > cpu_isa()) break;
        for (int trial = 0; trial < 300; ++trial) {
            using enum RowAccess;
            bool ok = check<1, listed>(rng, isa) && check<2, listed>(rng, isa) &&
                      check<3, listed>(rng, isa) && check<4, listed>(rng, isa) &&
                      check<1, gathered>(rng, isa) && check<2, gathered>(rng, isa) &&
                      check<3, gathered>(rng, isa) && check<4, gathered>(rng, isa) &&
                      check<1, consecutive>(rng, isa) && check<2, consecutive>(rng, isa) &&
                      check<3, consecutive>(rng, isa) && check<4, consecutive>(rng, isa);
            if (!ok) return 1;
        }
        std::printf("%s\n", names[int(isa)]);
    }
    return 0;
}
