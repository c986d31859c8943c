#include "frame/params.hpp"
#include "frame/result.hpp"
#include "histogram/histogram.hpp"
#include "lib/wrappers.hpp"

namespace tarnwick {
namespace {

using HistogramArgs =
    Arguments<"build_histograms()", Array<"binned", uint16_t, 2>, Array<"rows", int64_t, 1>,
              Array<"grad", double, 1>, Array<"hess", double, 1>, Size<"n_bins_max">>;

}  // namespace

Ref wrap_build_histograms(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const HistogramArgs a(args, nargs, kwnames);
    const auto binned = a.get<"binned">();
    const uint64_t n_bins_max = a.get<"n_bins_max">();
    Buffer<double> hist =
        build_histograms(binned, a.get<"rows">(), a.get<"grad">(), a.get<"hess">(), n_bins_max);
    return to_array(std::move(hist), {binned.shape[0], n_bins_max, 3});
}

}  // namespace tarnwick
