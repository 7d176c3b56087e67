// The iterators of the facade (FastaIterator over the records of a Fasta, SequenceIterator over
// the line-sized pieces of a record) and MutableFastaRecord, whose item assignment always fails.
#include <algorithm>
#include <utility>

#include "faidx/faidx_py.hpp"
#include "lib/facade_py.hpp"
#include "pyutil/pickle_py.hpp"

namespace tavlo::py {
namespace {

// --- Pickling -----------------------------------------------------------------------------------

// None of these types can be sent to another process: an iterator's position belongs to one
// walk over one open file, and a MutableFastaRecord stands for nothing that could be rebuilt.
PyObject* iterator_reduce(PyObject* self, PyObject* /*unused*/) {
  return refuse_pickle(self, "iterators cannot be pickled; pickle the Fasta or FastaRecord");
}

PyObject* mutable_record_reduce(PyObject* self, PyObject* /*unused*/) {
  return refuse_pickle(self, "mutable records are not implemented");
}

PyMethodDef iterator_methods[] = {
    {"__reduce__", iterator_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef mutable_record_methods[] = {
    {"__reduce__", mutable_record_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- FastaIterator -----------------------------------------------------------------------------

struct FastaIteratorObject {
  PyObject_HEAD
  PyObject* faidx;       // strong reference: keeps its core valid
  std::size_t position;  // next name of the listing to hand out
};

PyTypeObject* g_fasta_iterator_type = nullptr;  // kept for the life of the process

PyObject* fasta_iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<FastaIteratorObject*>(self);
    // The Faidx never changes, so its name table, read by position, is the listing the
    // iterator started with; no copy of the names is needed.
    const NameTable& names = faidx_core(it->faidx).names();
    if (it->position >= names.size()) return nullptr;  // the end, with no exception set
    PyRef name = PyRef::steal(new_str(names.name_at(it->position)));
    if (!name) return nullptr;
    const EntryNumbers entry = names.numbers_at(it->position);
    PyObject* record = new_fasta_record(it->faidx, name.get(), &entry);
    if (record != nullptr) ++it->position;
    return record;
  });
}

using FI = FastaIteratorObject;
PyType_Slot fasta_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_refs<FI, &FI::faidx>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_refs<FI, &FI::faidx>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(fasta_iterator_next)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec fasta_iterator_spec = {
    .name = "builtins.FastaIterator",
    .basicsize = sizeof(FastaIteratorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = fasta_iterator_slots,
};

// --- SequenceIterator --------------------------------------------------------------------------

struct SequenceIteratorObject {
  PyObject_HEAD
  PyObject* faidx;         // strong reference: keeps its core valid
  PyObject* name;          // strong reference to an exact str
  std::uint64_t step;      // residues per piece, at least 1
  std::uint64_t end;       // last position to hand out
  std::uint64_t position;  // first position of the next piece
  bool done;               // set once the piece ending at `end` is out: `end` may be 2**64 - 1,
                           // past which `position` could not move without wrapping to 0
};

PyTypeObject* g_sequence_iterator_type = nullptr;  // kept for the life of the process

PyObject* sequence_iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<SequenceIteratorObject*>(self);
    if (it->done) return nullptr;  // the end, with no exception set
    const std::uint64_t piece_end =
        it->step - 1 >= it->end - it->position ? it->end : it->position + it->step - 1;
    // A failed fetch leaves the position where it is, so the next call tries the same piece.
    PyObject* piece = fetch_to_python(it->faidx, it->name, str_bytes(it->name), it->position, piece_end);
    if (piece == nullptr) return nullptr;
    if (piece_end == it->end) {
      it->done = true;
    } else {
      it->position = piece_end + 1;
    }
    return piece;
  });
}

using SI = SequenceIteratorObject;
PyType_Slot sequence_iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_refs<SI, &SI::faidx, &SI::name>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_refs<SI, &SI::faidx, &SI::name>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(sequence_iterator_next)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec sequence_iterator_spec = {
    .name = "builtins.SequenceIterator",
    .basicsize = sizeof(SequenceIteratorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = sequence_iterator_slots,
};

// --- MutableFastaRecord ------------------------------------------------------------------------

PyTypeObject* g_mutable_record_type = nullptr;  // kept for the life of the process

int mutable_record_ass_subscript(PyObject* /*self*/, PyObject* /*key*/, PyObject* value) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
    return -1;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '_value' must be str, not %.200s",
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  PyErr_SetString(PyExc_NotImplementedError, "Mutable FASTA records not yet implemented");
  return -1;
}

void mutable_record_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot mutable_record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(mutable_record_dealloc)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(mutable_record_ass_subscript)},
    {Py_tp_methods, mutable_record_methods},
    {0, nullptr},
};

PyType_Spec mutable_record_spec = {
    .name = "builtins.MutableFastaRecord",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = mutable_record_slots,
};

}  // namespace

PyTypeObject* fasta_iterator_type() {
  return make_type(&g_fasta_iterator_type, &fasta_iterator_spec);
}

PyTypeObject* sequence_iterator_type() {
  return make_type(&g_sequence_iterator_type, &sequence_iterator_spec);
}

PyTypeObject* mutable_fasta_record_type() {
  return make_type(&g_mutable_record_type, &mutable_record_spec);
}

PyObject* new_fasta_iterator(PyObject* faidx) {
  PyTypeObject* tp = fasta_iterator_type();
  if (tp == nullptr) return nullptr;
  FastaIteratorObject* it = PyObject_GC_New(FastaIteratorObject, tp);
  if (it == nullptr) return nullptr;
  it->faidx = Py_NewRef(faidx);
  it->position = 0;
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject*>(it);
}

PyObject* new_sequence_iterator(PyObject* faidx, PyObject* name, std::uint64_t step,
                                std::uint64_t end) {
  PyTypeObject* tp = sequence_iterator_type();
  if (tp == nullptr) return nullptr;
  SequenceIteratorObject* it = PyObject_GC_New(SequenceIteratorObject, tp);
  if (it == nullptr) return nullptr;
  it->faidx = Py_NewRef(faidx);
  it->name = Py_NewRef(name);
  // A line width of 0 with residues to hand out (a hand-written index, or one built from a
  // record whose first line is empty) would never advance: the record is taken as one line and
  // comes out as one piece, the same text that str() of the record gives.
  it->step = step != 0 ? step : std::max<std::uint64_t>(end, 1);
  it->end = end;
  it->position = 1;
  it->done = end == 0;
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject*>(it);
}

}  // namespace tavlo::py
