// The dictionary-like facade over a Faidx: Fasta, FastaRecord and the iterators, as seen by each
// other and by the module.
#pragma once

#include <cstdint>
#include <string_view>

#include "faidx/faidx.hpp"
#include "pyutil/pyutil.hpp"

namespace tavlo::py {

// Each creates its type object on first use and keeps it for the life of the process; they
// return a borrowed reference, or nullptr with an exception set.
PyTypeObject* fasta_type();
PyTypeObject* fasta_record_type();
PyTypeObject* fasta_iterator_type();
PyTypeObject* sequence_iterator_type();
PyTypeObject* mutable_fasta_record_type();

// Lifetimes. Every facade object holds a strong reference to the Faidx Python object whose core
// it reads, never to the Fasta: the core (memory map, name table) lives exactly as long as that
// object, so a record, iterator or piece outlives the Fasta that made it without reading freed
// memory. None of the facade types has a tp_clear: a reference cycle through one of them can
// only run through its Faidx (the only object it refers to, besides exact str names), and the
// Faidx's tp_clear breaks it; keeping our reference until dealloc means the core pointer below
// is valid for as long as the object can be reached.

// A new FastaRecord for `name` (borrowed; must be an exact str) reading through `faidx`
// (borrowed; a Faidx object). `entry` is the name's entry in that Faidx's name table, or
// nullptr when it has none; the record keeps a copy (the table never changes). Returns a new
// reference or nullptr with an exception set.
PyObject* new_fasta_record(PyObject* faidx, PyObject* name, const EntryNumbers* entry);

// A new Fasta over the Faidx object `faidx` (borrowed), as the constructor would have made it:
// what a pickled FastaRecord is rebuilt from.
PyObject* new_fasta_view(PyObject* faidx);

// A new FastaIterator over the names of `faidx` (borrowed), from the first.
PyObject* new_fasta_iterator(PyObject* faidx);

// A new SequenceIterator over `name` (borrowed exact str) in pieces of `step` residues from
// position 1 to `end`.
PyObject* new_sequence_iterator(PyObject* faidx, PyObject* name, std::uint64_t step,
                                std::uint64_t end);

// The name's UTF-8 bytes (an exact str held by the caller: valid while it lives). ASCII names,
// the usual case, cost no copy.
std::string_view str_bytes(PyObject* name);

}  // namespace tavlo::py
