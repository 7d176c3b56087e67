// The Python type Sequence: a heap type holding one SequenceRecord.
#pragma once

#include "pyutil/pyutil.hpp"
#include "sequence/record.hpp"

namespace tavlo::py {

// Creates the type object once (kept for the life of the process); returns a borrowed reference,
// or nullptr with an exception set.
PyTypeObject* sequence_type();

// Hands a record to Python as a new Sequence object (the record is moved in).
// Returns a new reference, or nullptr with an exception set (the record is then dropped).
PyObject* new_sequence(SequenceRecord&& record);

// A new Sequence object holding an empty record, for a producer to fill in place before the
// object is handed to anyone; `*record` points into it. `name`, when given, is a str that the
// producer guarantees equal to the name it stores: the object shares it (a new reference) as its
// `name` instead of making its own. Returns a new reference or nullptr.
PyObject* new_empty_sequence(SequenceRecord** record, PyObject* name = nullptr);

// Replaces the record inside `seq`, a new Sequence that only the caller holds, by its reverse
// complement, as unary minus would make it, without a second object.
void reverse_complement_in_place(PyObject* seq);

}  // namespace tavlo::py
