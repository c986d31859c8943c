// The module's one exported symbol, its definition and its function table.
#include <Python.h>

#include <atomic>

#include "frame/call_frame.hpp"
#include "frame/result.hpp"
#include "frame/text.hpp"
#include "lib/wrappers.hpp"

namespace tarnwick {
namespace {

using Wrapper = Ref (*)(PyObject* const*, Py_ssize_t, PyObject*);

/// The fast-call entry of one function: the call frame around its wrapper.
template <Wrapper wrap>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_frame([&] { return wrap(args, nargs, kwnames).release(); });
}

constexpr int fastcall_with_keywords = METH_FASTCALL | METH_KEYWORDS;

template <Wrapper wrap>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<wrap>)),
            fastcall_with_keywords, doc};
}

// In registration order, which is also the order of __all__.
PyMethodDef functions[] = {
    method<wrap_build_histograms>("build_histograms",
                                  "build_histograms(binned, rows, grad, hess, n_bins_max)\n--\n\n"),
    method<wrap_partition_rows>(
        "partition_rows",
        "partition_rows(binned, rows, feature, bin, left_categories, missing_bin)\n--\n\n"
        "Route a node's rows into its left and right children by one split rule.\n\n"
        "Only the chosen feature's row of the feature-major binned matrix is read.\n"
        "Missing values (bin equal to missing_bin) always go left. A numeric split\n"
        "(left_categories is None) sends bins at or below `bin` left; a categorical\n"
        "split sends the listed categories left through a lookup table, which gives\n"
        "the same answer as a set-membership test. `bin` is a signed 64-bit value and\n"
        "is never narrowed, because ordinal-coded categoricals are routed through the\n"
        "numeric rule. Rows keep their input order in both children. The function is\n"
        "single-threaded; any parallel version must keep the global row order."),
    method<wrap_find_best_split>(
        "find_best_split",
        "find_best_split(hist, n_bins_per_feature, min_samples_leaf, l2, categorical_mask, "
        "cat_smooth, min_data_per_group, max_cat_threshold)\n--\n\n"),
    method<wrap_leaf_linear_stats>(
        "leaf_linear_stats",
        "leaf_linear_stats(z, grad, hess, order, offsets, linear)\n--\n\n"
        "Per-leaf sums for fitting embedded-linear leaves.\n\n"
        "One pass over the rows in leaf order computes, for every linear-eligible\n"
        "leaf, the hessian-weighted Gram matrix, the gradient projection, the weighted\n"
        "embedding sums and the per-column minimum and maximum used as an\n"
        "extrapolation guard. Leaves are processed in parallel, each writing its own\n"
        "output slices and accumulating its own rows in order, so the results are\n"
        "bitwise identical to a serial scan for any thread count. Very wide embeddings\n"
        "are better left to the caller's BLAS path."),
    method<wrap_leaf_linear_stats_mc>(
        "leaf_linear_stats_mc",
        "leaf_linear_stats_mc(z, grad, hess, order, offsets, linear, leaf_class)\n--\n\n"
        "The statistics of leaf_linear_stats pooled over the K class trees of one\n"
        "multiclass round, in one parallel pass, so that one very large leaf does not\n"
        "stall the pool. grad and hess are (n_rows, n_classes) matrices and\n"
        "leaf_class[l] selects leaf l's column. Each leaf's output is bitwise identical\n"
        "to the per-class function's. Outputs are indexed by global leaf and global\n"
        "linear-leaf order; the caller splits them per class."),
    method<wrap_predict_linear>(
        "predict_linear",
        "predict_linear(leaf_idx, z, bias, weights, z_min, z_max, clip)\n--\n\n"
        "Per-row output of embedded-linear leaves: the leaf's bias plus the dot\n"
        "product of the row's embedding with the leaf's weights, read directly from\n"
        "the small per-leaf tables instead of gathering a weight row per row. `clip`\n"
        "applies the per-leaf extrapolation guard (the prediction path); training\n"
        "updates pass False. Rows are independent, so serial and parallel results are\n"
        "bitwise identical; they match a reference computation up to the rounding of\n"
        "the per-row dot product."),
    method<wrap_apply_tree>(
        "apply_tree",
        "apply_tree(x, feature, threshold, left, right, leaf_id, missing_left, cat_offsets, "
        "cat_values)\n--\n\n"
        "Route every row of the raw feature matrix from the root to a leaf of one\n"
        "flat tree and return the leaf id per row; the independent per-row descents\n"
        "run in parallel. Categorical nodes are described in compressed-row form over\n"
        "node order: cat_offsets has n_nodes + 1 entries and node i's left category\n"
        "codes are cat_values[cat_offsets[i]:cat_offsets[i+1]], empty for numeric\n"
        "nodes and leaves. The result is index-exact with a reference implementation."),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

/// Adds one function to the module and its name to __all__.
void register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function = require(Ref::steal(PyCMethod_New(def, module, module_name, nullptr)));
    Ref name = require(Ref::steal(PyObject_GetAttrString(function.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                     _PyType_Name(Py_TYPE(name.get())));
        throw PythonError{};
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = require(Ref::steal(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'",
                     _PyType_Name(Py_TYPE(all.get())));
        throw PythonError{};
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PythonError{};
}

Ref initialise() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonError{};
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tarnwick_native does not yet support subinterpreters: it can be "
                        "imported in one interpreter per process only");
        throw PythonError{};
    }
    if (cached_module != nullptr) return Ref::borrow(cached_module);

    Ref module = require(Ref::steal(PyModule_Create2(&module_def, 1013)));
    Ref module_name = require(Ref::steal(PyModule_GetNameObject(module.get())));
    for (PyMethodDef& def : functions) register_function(module.get(), module_name.get(), &def);
    cached_module = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace tarnwick

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tarnwick_native() {
    return tarnwick::run_frame([] { return tarnwick::initialise().release(); });
}
