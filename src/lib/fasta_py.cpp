// The Python type Fasta: a FASTA file as a read-only mapping from names to records, over a Faidx
// that it owns, with region fetches that can reverse-complement their results.
#include <string>
#include <utility>

#include "faidx/array_py.hpp"
#include "faidx/batch_py.hpp"
#include "faidx/faidx_py.hpp"
#include "lib/facade_py.hpp"
#include "pyutil/pickle_py.hpp"
#include "sequence/ops.hpp"
#include "sequence/sequence_py.hpp"

namespace tavlo::py {
namespace {

struct FastaObject {
  PyObject_HEAD
  PyObject* faidx;    // strong reference to the Faidx object made by the constructor
  const Faidx* core;  // owned by `faidx`
};

PyTypeObject* g_fasta_type = nullptr;  // kept for the life of the process

FastaObject* as_fasta(PyObject* o) { return reinterpret_cast<FastaObject*>(o); }

constexpr FaidxParams kFastaParams = {
    "Fasta",
    {FaidxParam::filename, FaidxParam::indexname, FaidxParam::default_seq, FaidxParam::key_function,
     FaidxParam::as_raw, FaidxParam::strict_bounds, FaidxParam::read_ahead,
     FaidxParam::mutable_file, FaidxParam::split_char, FaidxParam::filt_function,
     FaidxParam::one_based_attributes, FaidxParam::read_long_names, FaidxParam::duplicate_action,
     FaidxParam::sequence_always_upper, FaidxParam::rebuild, FaidxParam::build_index},
    {"filename", "indexname", "default_seq", "key_function", "as_raw", "strict_bounds",
     "read_ahead", "mutable", "split_char", "filt_function", "one_based_attributes",
     "read_long_names", "duplicate_action", "sequence_always_upper", "rebuild", "build_index"}};

PyObject* record_at(const FastaObject* f, std::size_t i) {
  const NameTable& names = f->core->names();
  PyRef name = PyRef::steal(new_str(names.name_at(i)));
  if (!name) return nullptr;
  const EntryNumbers entry = names.numbers_at(i);
  return new_fasta_record(f->faidx, name.get(), &entry);
}

// --- Construction and destruction ----------------------------------------------------------------

PyObject* fasta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FaidxArgs converted;
    if (!convert_faidx_args(kFastaParams, args, kwargs, &converted)) return nullptr;
    PyRef faidx = PyRef::steal(new_faidx(std::move(converted)));
    if (!faidx) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_fasta(self)->core = &faidx_core(faidx.get());
    as_fasta(self)->faidx = faidx.release();
    return self;
  });
}

// --- Mapping protocol --------------------------------------------------------------------------

PyObject* fasta_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const FastaObject* f = as_fasta(self);
    if (PyUnicode_Check(key)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(key, &size);
      std::size_t index = NameTable::npos;
      PyObject* shared = nullptr;  // the record's name object, shared with its fetches
      if (data != nullptr) {
        if (!find_record(f->faidx, key, std::string_view(data, static_cast<std::size_t>(size)),
                         &index, &shared)) {
          return nullptr;
        }
      } else {
        PyErr_Clear();  // no UTF-8 form (lone surrogates): no name of the index can match
      }
      if (index == NameTable::npos) {
        const std::string& filename = f->core->options().filename;
        PyRef file = PyRef::steal(PyUnicode_DecodeUTF8(
            filename.data(), static_cast<Py_ssize_t>(filename.size()), "surrogateescape"));
        if (!file) return nullptr;
        PyRef message = PyRef::steal(PyUnicode_FromFormat("%U not in %U.", key, file.get()));
        if (!message) return nullptr;
        PyErr_SetObject(PyExc_KeyError, message.get());
        return nullptr;
      }
      // The shared name object is an exact str equal to the key, as a record must hold.
      const EntryNumbers entry = f->core->names().numbers_at(index);
      return new_fasta_record(f->faidx, shared, &entry);
    }
    std::uint64_t i = 0;
    if (!to_u64(key, &i, "key")) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "Key must be string or integer");
      return nullptr;
    }
    if (i >= f->core->names().size()) {
      PyErr_SetString(PyExc_IndexError, "Index out of range");
      return nullptr;
    }
    return record_at(f, static_cast<std::size_t>(i));
  });
}

int fasta_contains(PyObject* self, PyObject* key) {
  return guarded([&]() -> int {
    std::string_view name;
    if (!to_str(key, &name, "name")) return -1;
    return as_fasta(self)->core->names().find_index(name) != NameTable::npos ? 1 : 0;
  });
}

// The total number of residues, not the number of records.
Py_ssize_t fasta_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    const NameTable& names = as_fasta(self)->core->names();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (__builtin_add_overflow(total, names.numbers_at(i).rlen, &total) ||
          total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "total length of the records exceeds 2**63 - 1");
        return -1;
      }
    }
    return static_cast<Py_ssize_t>(total);
  });
}

PyObject* fasta_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const std::string text = "Fasta(\"" + as_fasta(self)->core->options().filename + "\")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                "surrogateescape");
  });
}

PyObject* fasta_iter(PyObject* self) {
  return guarded([&]() -> PyObject* { return new_fasta_iterator(as_fasta(self)->faidx); });
}

// --- Listings ----------------------------------------------------------------------------------

PyObject* fasta_keys(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    const FastaObject* f = as_fasta(self);
    return new_list(f->core->names().size(),
                    [&](std::size_t i) { return new_str(f->core->names().name_at(i)); });
  });
}

PyObject* fasta_values(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    const FastaObject* f = as_fasta(self);
    return new_list(f->core->names().size(), [&](std::size_t i) { return record_at(f, i); });
  });
}

PyObject* fasta_items(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    const FastaObject* f = as_fasta(self);
    const NameTable& names = f->core->names();
    return new_list(f->core->names().size(), [&](std::size_t i) -> PyObject* {
      PyRef name = PyRef::steal(new_str(names.name_at(i)));
      if (!name) return nullptr;
      const EntryNumbers entry = names.numbers_at(i);
      PyRef record = PyRef::steal(new_fasta_record(f->faidx, name.get(), &entry));
      if (!record) return nullptr;
      return PyTuple_Pack(2, name.get(), record.get());
    });
  });
}

// --- Fetches -----------------------------------------------------------------------------------

PyObject* fasta_get_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "start", "end", "rc"};
    PyObject* slots[4];  // borrowed from args
    if (kwnames == nullptr && (nargs == 3 || nargs == 4)) {
      slots[0] = args[0];
      slots[1] = args[1];
      slots[2] = args[2];
      slots[3] = nargs == 4 ? args[3] : nullptr;
    } else if (!bind_args("get_seq", args, nargs, kwnames, names, 4, 3, slots)) {
      return nullptr;
    }
    std::string_view name;
    std::uint64_t start, end;
    bool rc;
    if (!to_str(slots[0], &name, "name") || !to_u64(slots[1], &start, "start") ||
        !to_u64(slots[2], &end, "end") || !to_opt_bool(slots[3], &rc, "rc")) {
      return nullptr;
    }
    PyObject* seq = fetch_to_python(as_fasta(self)->faidx, slots[0], name, start, end);
    if (seq != nullptr && rc) reverse_complement_in_place(seq);
    return seq;
  });
}

PyObject* fasta_get_spliced_seq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "intervals", "rc"};
    PyObject* slots[3];  // borrowed from args
    std::string_view name;
    Intervals intervals;
    bool rc;
    if (!bind_args("get_spliced_seq", args, nargs, kwnames, names, 3, 2, slots) ||
        !to_str(slots[0], &name, "name") || !convert_intervals(slots[1], &intervals) ||
        !to_opt_bool(slots[2], &rc, "rc")) {
      return nullptr;
    }
    SequenceRecord joined;
    joined.name.assign(name);
    const Faidx& core = *as_fasta(self)->core;
    for (std::size_t k = 0; k < intervals.size(); ++k) {
      SequenceRecord piece;
      if (!fetch_checked(core, name, intervals[k].first, intervals[k].second, &piece)) {
        return nullptr;
      }
      joined.seq += piece.seq;
      // Coordinates as the first and last pieces carry them, whatever rc is.
      if (k == 0) joined.start = piece.start;
      if (k + 1 == intervals.size()) joined.end = piece.end;
    }
    // The reverse complements of the pieces, last piece first, spell the reverse complement of
    // the joined text: one pass over the whole text gives the same letters.
    if (rc) joined.seq = reverse_complement_text(joined.seq);
    return new_sequence(std::move(joined));
  });
}

PyObject* fasta_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return fetch_many_method(as_fasta(self)->faidx, args, nargs, kwnames, true);
}

PyObject* fasta_fetch_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return fetch_array_to_python(as_fasta(self)->faidx, args, nargs, kwnames);
}

PyObject* fasta_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return fetch_many_same_chr_method(as_fasta(self)->faidx, args, nargs, kwnames, true);
}

// --- Context manager ---------------------------------------------------------------------------

// Nothing to release: the file stays open (or mapped) until the Fasta itself is destroyed,
// since the records and iterators it handed out may still read through it.
PyObject* fasta_close(PyObject* /*self*/, PyObject* /*unused*/) { Py_RETURN_NONE; }

PyObject* fasta_enter(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

PyObject* fasta_exit(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"_exc_type", "_exc_value", "_traceback"};
    PyObject* slots[3];
    if (!bind_args("__exit__", args, nargs, kwnames, names, 3, 0, slots)) return nullptr;
    Py_RETURN_NONE;  // None: an exception raised in the with block propagates
  });
}

// --- Pickling and copying ------------------------------------------------------------------------

// As for Faidx: the file name and every option, in this class's own order; loading opens the file
// again (`protocol` nullptr as __reduce__). A Fasta never changes, so a copy may be the object
// itself.
PyObject* fasta_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded([&]() -> PyObject* {
    return reduce_by_class(Py_TYPE(self),
                           faidx_pickle_args(as_fasta(self)->faidx, kFastaParams, protocol));
  });
}

// --- Type --------------------------------------------------------------------------------------

PyMethodDef fasta_methods[] = {
    {"keys", fasta_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"values", fasta_values, METH_NOARGS, "values($self)\n--\n\n"},
    {"items", fasta_items, METH_NOARGS, "items($self)\n--\n\n"},
    {"get_seq", fast(fasta_get_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_seq($self, name, start, end, rc=None)\n--\n\n"},
    {"get_spliced_seq", fast(fasta_get_spliced_seq), METH_FASTCALL | METH_KEYWORDS,
     "get_spliced_seq($self, name, intervals, rc=None)\n--\n\n"},
    {"fetch_many", fast(fasta_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions, rc=None)\n--\n\n"
     "High-performance batch fetch for many sequences\n\n"
     "This method is optimized for genomics workloads where you need to fetch\n"
     "many sequences at once (e.g., 200,000+ regions). It uses parallel processing\n"
     "and optimized memory access patterns for maximum throughput.\n\n"
     "Args:\n"
     "    regions: List of (name, start, end) tuples specifying regions to fetch\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = fasta.fetch_many(regions)"},
    {"fetch_array", fast(fasta_fetch_array), METH_FASTCALL | METH_KEYWORDS, kFetchArrayDoc},
    {"fetch_many_same_chr", fast(fasta_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions, rc=None)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "This method is optimized for BED file processing where many regions\n"
     "come from the same chromosome. It's significantly faster than fetch_many\n"
     "when all regions are from the same chromosome.\n\n"
     "Args:\n"
     "    name: Chromosome/sequence name\n"
     "    regions: List of (start, end) tuples\n"
     "    rc: Optional boolean to reverse complement all sequences\n\n"
     "Returns:\n"
     "    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n"
     "    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = fasta.fetch_many_same_chr(\"chr1\", regions)"},
    {"close", fasta_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", fasta_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fast(fasta_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"__reduce__", fasta_reduce_ex, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reduce_ex__", fasta_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", copy_self, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fasta_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fasta_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_refs<FastaObject, &FastaObject::faidx>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_refs<FastaObject, &FastaObject::faidx>)},
    {Py_tp_repr, reinterpret_cast<void*>(fasta_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(fasta_iter)},
    {Py_tp_methods, fasta_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(fasta_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(fasta_length)},
    {Py_sq_contains, reinterpret_cast<void*>(fasta_contains)},
    {Py_tp_doc,
     const_cast<char*>("Fasta(filename, indexname=None, default_seq=None, key_function=None, "
                       "as_raw=False, strict_bounds=False, read_ahead=None, mutable=False, "
                       "split_char=None, filt_function=None, one_based_attributes=True, "
                       "read_long_names=False, duplicate_action=..., sequence_always_upper=False, "
                       "rebuild=True, build_index=True)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec fasta_spec = {
    .name = "builtins.Fasta",
    .basicsize = sizeof(FastaObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = fasta_slots,
};

}  // namespace

PyTypeObject* fasta_type() { return make_type(&g_fasta_type, &fasta_spec); }

PyObject* new_fasta_view(PyObject* faidx) {
  PyTypeObject* type = fasta_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_fasta(self)->core = &faidx_core(faidx);
  as_fasta(self)->faidx = Py_NewRef(faidx);
  return self;
}

}  // namespace tavlo::py
