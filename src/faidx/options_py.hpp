// The constructor options of Faidx and Fasta: conversion from Python and back, for pickles.
#pragma once

#include "faidx/faidx.hpp"
#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Constructor parameters, by identity; Faidx and Fasta list them in different orders.
enum class FaidxParam {
  filename, indexname, as_raw, strict_bounds, sequence_always_upper, rebuild, build_index,
  one_based_attributes, default_seq, mutable_file, key_function, split_char, filt_function,
  read_long_names, duplicate_action, read_ahead
};

// Converted constructor arguments. The two object references are borrowed during conversion.
struct FaidxArgs {
  FaidxOptions options;
  PyObject* key_function = nullptr;
  PyObject* filt_function = nullptr;
};

// Converts one bound argument (nullptr = not given) into `out`; raises and returns false on a
// wrong type or value.
bool convert_faidx_param(FaidxParam param, const char* name, PyObject* value, FaidxArgs* out);

// The constructor arguments (`options` and the two option objects, borrowed) as a new tuple for a pickle, in the order `order` gives
// (`names`: the parameter names, for errors). Raises, naming the option of class `owner`, when an
// option that holds an object does not pickle with `protocol`.
PyObject* options_pickle_args(const FaidxOptions& options, PyObject* key_function,
                              PyObject* filt_function, const FaidxParam* order,
                              const char* const* names, int count, const char* owner,
                              PyObject* protocol);

}  // namespace tavlo::py
