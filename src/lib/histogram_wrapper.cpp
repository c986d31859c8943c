#include "frame/args.hpp"
#include "frame/numpy.hpp"
#include "frame/result.hpp"
#include "histogram/histogram.hpp"
#include "lib/wrappers.hpp"

namespace tarnwick {

Ref wrap_build_histograms(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"binned", ParamKind::array, NPY_UINT16, 2},
        {"rows", ParamKind::array, NPY_INT64, 1},
        {"grad", ParamKind::array, NPY_FLOAT64, 1},
        {"hess", ParamKind::array, NPY_FLOAT64, 1},
        {"n_bins_max", ParamKind::usize},
    };
    static constexpr Signature sig{"build_histograms()", params};
    Arguments a = convert_arguments(sig, args, nargs, kwnames);
    auto binned = a.array<uint16_t, 2>(0);
    uint64_t n_bins_max = a.usize(4);
    Buffer<double> hist = build_histograms(binned, a.array<int64_t, 1>(1), a.array<double, 1>(2),
                                           a.array<double, 1>(3), n_bins_max);
    return to_array(std::move(hist), {binned.shape[0], n_bins_max, 3});
}

}  // namespace tarnwick
