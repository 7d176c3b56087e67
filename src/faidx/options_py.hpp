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

inline constexpr int kFaidxParamCount = 16;

// The constructor parameters of a class (`owner`, for messages), in its order.
struct FaidxParams {
  const char* owner;
  FaidxParam order[kFaidxParamCount];
  const char* names[kFaidxParamCount];
};

// Converted constructor arguments. The two object references are borrowed during conversion.
struct FaidxArgs {
  FaidxOptions options;
  PyObject* key_function = nullptr;
  PyObject* filt_function = nullptr;
};

// Binds the constructor arguments of `params.owner` (the file name required) and converts them
// into `out`; raises and returns false on a missing argument or a wrong type or value.
bool convert_faidx_args(const FaidxParams& params, PyObject* args, PyObject* kwargs,
                        FaidxArgs* out);

// The constructor arguments (`options` and the two option objects, borrowed) as a new tuple for
// a pickle, in the order of `params`. Raises, naming the option, when an option that holds an
// object does not pickle with `protocol`.
PyObject* options_pickle_args(const FaidxOptions& options, PyObject* key_function,
                              PyObject* filt_function, const FaidxParams& params,
                              PyObject* protocol);

}  // namespace tavlo::py
