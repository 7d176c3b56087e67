// The Python type Faidx, the construction shared with Fasta, and the fetch of one region.
#pragma once

#include <memory>

#include "faidx/faidx.hpp"
#include "faidx/options_py.hpp"
#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Opens the file and returns a new Faidx object, or nullptr with the exception set.
PyObject* new_faidx(FaidxArgs&& args);

PyTypeObject* faidx_type();

// The constructor arguments of the Faidx object `faidx` as a new tuple for a pickle of a
// `params.owner` (see options_pickle_args).
PyObject* faidx_pickle_args(PyObject* faidx, const FaidxParams& params, PyObject* protocol);

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

// The checked fetch of a region by name into `out`, its warnings written to file descriptor 2.
// False, with the exception set, when it fails or, with `check`, when check_text refuses it.
bool fetch_checked(const Faidx& fx, std::string_view name, std::uint64_t start, std::uint64_t end,
                   SequenceRecord* out, bool check = true);

// False, with UnicodeDecodeError raised, when `residues` are not UTF-8.
bool check_text(std::string_view residues);

// The whole record `name` of `fx` as a new Sequence (fetch_entire_sequence), or nullptr with the
// exception set, UnicodeDecodeError when its residues are not UTF-8.
PyObject* entire_sequence_to_python(const Faidx& fx, std::string_view name);

}  // namespace tavlo::py
