// Runs the numeric phase with two-lane (baseline) and four-lane (AVX2)
// vectors over random histograms (NaN, infinities, zero hessians, ties) and
// compares the winners bit for bit. The module itself only ever runs the
// widest path the processor has, so the narrow one is checked here, on its
// own. Prints the number of trials that found a split.
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "lib/cpu_features.hpp"
#include "split/split_search.hpp"

using namespace tarnwick;

static bool same(const RunningBest& a, const RunningBest& b) {
    return a.found == b.found && a.feature == b.feature && a.bin == b.bin &&
           std::memcmp(&a.gain, &b.gain, 8) == 0 &&
           std::memcmp(&a.left_count, &b.left_count, 8) == 0 &&
           std::memcmp(&a.right_count, &b.right_count, 8) == 0;
}

int main() {
    if (cpu_isa() < Isa::avx2) {
        std::puts("no avx2");
        return 0;
    }
    std::mt19937_64 rng(12345);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               0.0,
                               -0.0,
                               1.0};
    std::uniform_real_distribution<double> uniform(-4.0, 4.0);
    int found = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        const uint64_t n_features = 1 + rng() % 5, n_bins = 2 + rng() % 300;
        const bool wild = rng() % 3 == 0;
        std::vector<double> cells(n_features * n_bins * 3);
        for (uint64_t i = 0; i < cells.size(); ++i) {
            const uint64_t channel = i % 3;
            double v = channel == 2 ? double(rng() % 6) : uniform(rng);
            if (channel == 1) v = v < 0 ? -v : v;
            if (rng() % 8 == 0) v = double(int64_t(rng() % 3));
            if (wild && rng() % 16 == 0) v = specials[rng() % 6];
            cells[i] = v;
        }
        std::vector<int64_t> counts(n_features);
        std::vector<uint8_t> mask(n_features, 0);
        for (auto& c : counts) c = int64_t(rng() % n_bins);
        Tensor3<double> hist;
        hist.data = reinterpret_cast<const char*>(cells.data());
        hist.shape = {n_features, n_bins, 3};
        hist.strides = {int64_t(n_bins * 24), 24, 8};
        Vec<int64_t> n_bins_per_feature;
        n_bins_per_feature.data = reinterpret_cast<const char*>(counts.data());
        n_bins_per_feature.shape = {n_features};
        n_bins_per_feature.strides = {8};
        Vec<bool8> categorical_mask;
        categorical_mask.data = reinterpret_cast<const char*>(mask.data());
        categorical_mask.shape = {n_features};
        categorical_mask.strides = {1};
        double g = 0, h = 0, c = 0;
        for (uint64_t b = 0; b < n_bins; ++b) {
            g += cells[b * 3];
            h += cells[b * 3 + 1];
            c += cells[b * 3 + 2];
        }
        const double l2 = (rng() % 4) * 0.5;
        NodeScore score{g, h, c, g * g / (h + l2), l2, double(rng() % 4)};
        RunningBest narrow, wide;
        search_numeric(hist, n_bins_per_feature, categorical_mask, score, narrow, Isa::baseline);
        search_numeric(hist, n_bins_per_feature, categorical_mask, score, wide, Isa::avx2);
        if (!same(narrow, wide)) {
            std::printf("trial %d differs\n", trial);
            return 1;
        }
        found += narrow.found;
    }
    std::printf("%d\n", found);
    return 0;
}
