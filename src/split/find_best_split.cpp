#include "split/split.hpp"

#include "frame/fault.hpp"

namespace tarnwick {

std::optional<Split> find_best_split(const Tensor3<double>&, const Vec<int64_t>&,
                                     const Vec<bool8>&, const SplitParams&) {
    fault("find_best_split is not built yet");
}

}  // namespace tarnwick
