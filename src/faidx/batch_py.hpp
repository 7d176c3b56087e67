// The batch fetches behind Faidx.fetch_many, Faidx.fetch_many_same_chr and Fasta's.
#pragma once

#include <string_view>

#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Convert `regions`, fetch (on the worker pool from 1000 regions on, with the quiet bounds rule)
// and return a new list of Sequence objects, in the order of `regions`. With `rc`, each result
// is its reverse complement, as a Sequence of its own would be in place. `faidx` is a Faidx
// object; `name_object` the str that `name` came from.
PyObject* fetch_many_to_python(PyObject* faidx, PyObject* regions, bool rc = false);
PyObject* fetch_many_same_chr_to_python(PyObject* faidx, PyObject* name_object,
                                        std::string_view name, PyObject* regions,
                                        bool rc = false);

}  // namespace tavlo::py
