// The seven functions as CPython calls them: match and convert the arguments,
// run the core, build the result. Each returns a new reference or throws.
#pragma once

#include <Python.h>

#include "frame/pyref.hpp"

namespace tarnwick {

Ref wrap_build_histograms(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_partition_rows(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_find_best_split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_leaf_linear_stats(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_leaf_linear_stats_mc(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_predict_linear(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref wrap_apply_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick
