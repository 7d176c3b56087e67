// The Python type Faidx and the construction operation shared with Fasta.
#pragma once

#include <memory>

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

// Opens the file and returns a new Faidx object, or nullptr with the exception set.
PyObject* new_faidx(FaidxArgs&& args);

PyTypeObject* faidx_type();

// The constructor arguments of the Faidx object `faidx` as a new tuple for a pickle, in the
// order `order` gives (`names`: the parameter names, for errors). Raises, naming the option of
// class `owner`, when an option that holds an object does not pickle with `protocol`.
PyObject* faidx_pickle_args(PyObject* faidx, const FaidxParam* order, const char* const* names,
                            int count, const char* owner, PyObject* protocol);

// The core of a Faidx object (`o` must be one).
const Faidx& faidx_core(PyObject* o);

// Fetches through the checked fetch of `faidx` (a Faidx object) and hands back a Sequence, or
// raises. The results of one record share one name object: `name_object` (the str that `name`
// came from, or nullptr) may become it.
PyObject* fetch_to_python(PyObject* faidx, PyObject* name_object, std::string_view name,
                          std::uint64_t start, std::uint64_t end);

// Looks `name` (the UTF-8 of `name_object`, when given) up in the name table of `faidx`: its
// position, or NameTable::npos, and the record's shared name object (borrowed; nullptr when not
// found). A name object met recently is found without hashing. False, with an exception set,
// when the shared object cannot be made.
bool find_record(PyObject* faidx, PyObject* name_object, std::string_view name,
                 std::size_t* index, PyObject** shared);

// The batch fetches behind Faidx.fetch_many and Faidx.fetch_many_same_chr: convert `regions`,
// fetch (on the worker pool from 1000 regions on) and return a new list of Sequence objects.
// With `rc`, each result is then replaced by its reverse complement, as a Sequence of its own
// would be in place (on the workers too, when they fetch).
PyObject* fetch_many_to_python(PyObject* faidx, PyObject* regions, bool rc = false);
PyObject* fetch_many_same_chr_to_python(PyObject* faidx, PyObject* name_object,
                                        std::string_view name, PyObject* regions,
                                        bool rc = false);

// False, with UnicodeDecodeError raised, when `residues` are not UTF-8.
bool check_text(std::string_view residues);

// Hands a fetched record to Python as a Sequence, raising UnicodeDecodeError instead when its
// residues are not UTF-8.
PyObject* checked_sequence(SequenceRecord&& record);

}  // namespace tavlo::py
