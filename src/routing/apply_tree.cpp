#include "routing/routing.hpp"

namespace tarnwick {

Buffer<int64_t> apply_tree(const Mat<double>&, const FlatTree&) {
    fault("apply_tree is not built yet");
}

}  // namespace tarnwick
