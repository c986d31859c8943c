#include "frame/params.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "linear_leaf/linear_leaf.hpp"

namespace tarnwick {
namespace {

using LeafStatsArgs =
    Arguments<"leaf_linear_stats()", Array<"z", double, 2>, Array<"grad", double, 1>,
              Array<"hess", double, 1>, Array<"order", int64_t, 1>, Array<"offsets", int64_t, 1>,
              Array<"linear", int64_t, 1>>;

using LeafStatsMcArgs =
    Arguments<"leaf_linear_stats_mc()", Array<"z", double, 2>, Array<"grad", double, 2>,
              Array<"hess", double, 2>, Array<"order", int64_t, 1>, Array<"offsets", int64_t, 1>,
              Array<"linear", int64_t, 1>, Array<"leaf_class", int64_t, 1>>;

using PredictArgs =
    Arguments<"predict_linear()", Array<"leaf_idx", int64_t, 1>, Array<"z", double, 2>,
              Array<"bias", double, 1>, Array<"weights", double, 2>, Array<"z_min", double, 2>,
              Array<"z_max", double, 2>, Bool<"clip">>;

Ref stats_tuple(LeafStats&& s) {
    Ref grad_sum = to_array(std::move(s.leaf_grad_sum), {s.n_leaves});
    Ref hess_sum = to_array(std::move(s.leaf_hess_sum), {s.n_leaves});
    Ref hz = to_array(std::move(s.hz_sum), {s.n_linear, s.d});
    Ref gram = to_array(std::move(s.gram), {s.n_linear, s.d, s.d});
    Ref gz = to_array(std::move(s.gz_sum), {s.n_linear, s.d});
    Ref lo = to_array(std::move(s.z_min), {s.n_linear, s.d});
    Ref hi = to_array(std::move(s.z_max), {s.n_linear, s.d});
    return to_tuple({&grad_sum, &hess_sum, &hz, &gram, &gz, &lo, &hi});
}

}  // namespace

Ref wrap_leaf_linear_stats(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const LeafStatsArgs a(args, nargs, kwnames);
    return stats_tuple(leaf_linear_stats(a.get<"z">(), a.get<"grad">(), a.get<"hess">(),
                                         a.get<"order">(), a.get<"offsets">(), a.get<"linear">()));
}

Ref wrap_leaf_linear_stats_mc(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const LeafStatsMcArgs a(args, nargs, kwnames);
    return stats_tuple(leaf_linear_stats_mc(a.get<"z">(), a.get<"grad">(), a.get<"hess">(),
                                            a.get<"order">(), a.get<"offsets">(), a.get<"linear">(),
                                            a.get<"leaf_class">()));
}

Ref wrap_predict_linear(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const PredictArgs a(args, nargs, kwnames);
    const auto leaf_idx = a.get<"leaf_idx">();
    Buffer<double> out = predict_linear(leaf_idx, a.get<"z">(), a.get<"bias">(), a.get<"weights">(),
                                        a.get<"z_min">(), a.get<"z_max">(), a.get<"clip">());
    return to_array(std::move(out), {leaf_idx.len()});
}

}  // namespace tarnwick
