#include "frame/args.hpp"
#include "frame/numpy.hpp"
#include "frame/result.hpp"
#include "lib/wrappers.hpp"
#include "linear_leaf/linear_leaf.hpp"

namespace tarnwick {
namespace {

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
    static constexpr Param params[] = {
        {"z", ParamKind::array, NPY_FLOAT64, 2},     {"grad", ParamKind::array, NPY_FLOAT64, 1},
        {"hess", ParamKind::array, NPY_FLOAT64, 1},  {"order", ParamKind::array, NPY_INT64, 1},
        {"offsets", ParamKind::array, NPY_INT64, 1}, {"linear", ParamKind::array, NPY_INT64, 1},
    };
    static constexpr Signature sig{"leaf_linear_stats()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    return stats_tuple(leaf_linear_stats(a.array<double, 2>(0), a.array<double, 1>(1),
                                         a.array<double, 1>(2), a.array<int64_t, 1>(3),
                                         a.array<int64_t, 1>(4), a.array<int64_t, 1>(5)));
}

Ref wrap_leaf_linear_stats_mc(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"z", ParamKind::array, NPY_FLOAT64, 2},        {"grad", ParamKind::array, NPY_FLOAT64, 2},
        {"hess", ParamKind::array, NPY_FLOAT64, 2},     {"order", ParamKind::array, NPY_INT64, 1},
        {"offsets", ParamKind::array, NPY_INT64, 1},    {"linear", ParamKind::array, NPY_INT64, 1},
        {"leaf_class", ParamKind::array, NPY_INT64, 1},
    };
    static constexpr Signature sig{"leaf_linear_stats_mc()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    return stats_tuple(leaf_linear_stats_mc(
        a.array<double, 2>(0), a.array<double, 2>(1), a.array<double, 2>(2), a.array<int64_t, 1>(3),
        a.array<int64_t, 1>(4), a.array<int64_t, 1>(5), a.array<int64_t, 1>(6)));
}

Ref wrap_predict_linear(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"leaf_idx", ParamKind::array, NPY_INT64, 1},
        {"z", ParamKind::array, NPY_FLOAT64, 2},
        {"bias", ParamKind::array, NPY_FLOAT64, 1},
        {"weights", ParamKind::array, NPY_FLOAT64, 2},
        {"z_min", ParamKind::array, NPY_FLOAT64, 2},
        {"z_max", ParamKind::array, NPY_FLOAT64, 2},
        {"clip", ParamKind::boolean},
    };
    static constexpr Signature sig{"predict_linear()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    auto leaf_idx = a.array<int64_t, 1>(0);
    Buffer<double> out = predict_linear(leaf_idx, a.array<double, 2>(1), a.array<double, 1>(2),
                                        a.array<double, 2>(3), a.array<double, 2>(4),
                                        a.array<double, 2>(5), a.boolean(6));
    return to_array(std::move(out), {leaf_idx.len()});
}

}  // namespace tarnwick
