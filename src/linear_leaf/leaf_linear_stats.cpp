#include "linear_leaf/linear_leaf.hpp"

namespace tarnwick {

LeafStats leaf_linear_stats(const Mat<double>&, const Vec<double>&, const Vec<double>&,
                            const Vec<int64_t>&, const Vec<int64_t>&, const Vec<int64_t>&) {
    fault("leaf_linear_stats is not built yet");
}

LeafStats leaf_linear_stats_mc(const Mat<double>&, const Mat<double>&, const Mat<double>&,
                               const Vec<int64_t>&, const Vec<int64_t>&, const Vec<int64_t>&,
                               const Vec<int64_t>&) {
    fault("leaf_linear_stats_mc is not built yet");
}

Buffer<double> predict_linear(const Vec<int64_t>&, const Mat<double>&, const Vec<double>&,
                              const Mat<double>&, const Mat<double>&, const Mat<double>&, bool) {
    fault("predict_linear is not built yet");
}

}  // namespace tarnwick
