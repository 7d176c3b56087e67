// The batch fetches behind Faidx.fetch_many, Faidx.fetch_many_same_chr and Fasta's.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

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

// The (start, end) pairs of `intervals`, a sequence (not a str) of 2-tuples, converted as the
// regions of fetch_many_same_chr are (messages name them intervals). False with an exception set.
using Intervals = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
bool convert_intervals(PyObject* intervals, Intervals* out);

}  // namespace tavlo::py
