// The batch fetches behind Faidx.fetch_many, Faidx.fetch_many_same_chr and Fasta's.
#pragma once

#include <utility>
#include <vector>

#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// The methods fetch_many(regions) and fetch_many_same_chr(name, regions) of Faidx and, with the
// parameter rc when `with_rc`, of Fasta, reading through `faidx` (a Faidx object): convert the
// regions, fetch (on the worker pool from 1000 regions on, with the quiet bounds rule) and return
// a new list of Sequence objects, in the order of the regions. With rc, each result is its
// reverse complement, as a Sequence of its own would be in place.
PyObject* fetch_many_method(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, bool with_rc);
PyObject* fetch_many_same_chr_method(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, bool with_rc);

// The (start, end) pairs of `intervals`, a sequence (not a str) of 2-tuples, converted as the
// regions of fetch_many_same_chr are (messages name them intervals). False with an exception set.
using Intervals = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
bool convert_intervals(PyObject* intervals, Intervals* out);

}  // namespace tavlo::py
