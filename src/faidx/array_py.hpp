// Faidx.fetch_array and Fasta.fetch_array: windows given as columns or tuples, filled into a
// NumPy array or any writable C-contiguous buffer.
#pragma once

#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// The method body shared by both classes: `faidx` is the Faidx object whose core is read; the
// arguments are those of the fast call.
PyObject* fetch_array_to_python(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// The docstring of the method on either class.
extern const char kFetchArrayDoc[];

}  // namespace tavlo::py
