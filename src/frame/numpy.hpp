// NumPy's C interface, reached through its _ARRAY_API capsule once per process.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tarnwick_ARRAY_API
#ifndef TARNWICK_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tarnwick {

/// Fetches NumPy's function table on first use; faults with "Failed to access
/// NumPy array API capsule: ..." when NumPy cannot be reached.
void ensure_numpy_api();

/// NumPy's interface module ("numpy._core.multiarray" or "numpy.core.multiarray");
/// valid after ensure_numpy_api.
PyObject* numpy_interface_module();

}  // namespace tarnwick
