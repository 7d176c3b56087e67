// The Python type FastaRecord: a view of one named sequence that reads through its Faidx on every
// operation (length, text, subscripts and slices, line-by-line iteration, reversal).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "errors/errors_py.hpp"
#include "faidx/faidx_py.hpp"
#include "text/text.hpp"
#include "lib/facade_py.hpp"
#include "pyutil/pickle_py.hpp"
#include "sequence/ops.hpp"
#include "sequence/sequence_py.hpp"

namespace tavlo::py {
namespace {

// Residues per piece when the name has no index entry.
constexpr std::uint64_t kDefaultWidth = 70;

struct FastaRecordObject {
  PyObject_HEAD
  PyObject* faidx;     // strong reference: keeps `core` valid
  PyObject* name;      // strong reference to an exact str
  const Faidx* core;   // owned by `faidx`
  EntryNumbers entry;  // a copy of the name's entry in core's table; zero without one
  bool has_entry;
};

PyTypeObject* g_record_type = nullptr;  // kept for the life of the process

FastaRecordObject* as_record(PyObject* o) { return reinterpret_cast<FastaRecordObject*>(o); }

std::uint64_t length_of(const FastaRecordObject* r) {
  return r->has_entry ? r->entry.rlen : 0;
}

std::uint64_t width_of(const FastaRecordObject* r) {
  return r->has_entry ? r->entry.lenc : kDefaultWidth;
}

std::string_view name_of(const FastaRecordObject* r) { return str_bytes(r->name); }

// A slice field as a signed 64-bit integer, or nullopt when it is None or does not convert
// (whatever the reason; the conversion's error is discarded).
std::optional<std::int64_t> field_as_i64(PyObject* o) {
  if (o == Py_None) return std::nullopt;
  PyRef index;  // holds the result of __index__ for keys that are not ints themselves
  if (!PyLong_Check(o)) {
    if (!PyIndex_Check(o)) return std::nullopt;
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) {
      PyErr_Clear();
      return std::nullopt;
    }
    o = index.get();
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow != 0) return std::nullopt;
  return v;
}

// A slice bound that is None (`absent` then) or an exact int, as PySlice_Unpack reads it (clipped
// into the Py_ssize_t range); false for anything else, which takes PySlice_Unpack itself. The
// usual rec[s:e] then needs no call into the generic slice machinery.
bool plain_bound(PyObject* o, Py_ssize_t absent, Py_ssize_t* out) {
  if (o == Py_None) {
    *out = absent;
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow != 0) {
    *out = overflow > 0 ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN;
    return true;
  }
  if (v == -1 && PyErr_Occurred()) {  // cannot happen for an exact int; be safe
    PyErr_Clear();
    return false;
  }
  static_assert(sizeof(long long) == sizeof(Py_ssize_t));
  *out = static_cast<Py_ssize_t>(v);
  return true;
}

// record[start:stop:step].
PyObject* subscript_slice(const FastaRecordObject* r, PyObject* key) {
  // The fields are read directly: a slice's attributes are plain members, and going through
  // attribute look-up would cost more than a short fetch.
  const auto* sl = reinterpret_cast<PySliceObject*>(key);
  const std::uint64_t length = length_of(r);

  // [:], [::1] and [0:length:1] read the whole record without coordinate checks. A step that
  // is no 64-bit integer at all counts as "no step" here.
  const std::optional<std::int64_t> step1 = field_as_i64(sl->step);
  if (sl->start == Py_None && sl->stop == Py_None && (!step1 || *step1 == 1)) {
    return entire_sequence_to_python(*r->core, name_of(r));
  }
  if (step1 == 1) {
    const auto a = field_as_i64(sl->start), b = field_as_i64(sl->stop);
    if (a == 0 && b && *b >= 0 && static_cast<std::uint64_t>(*b) == length) {
      return entire_sequence_to_python(*r->core, name_of(r));
    }
  }

  // A length beyond what a slice can address (only a hand-written index has one) is
  // normalised as the largest that can, less one so that n + 1 cannot overflow below.
  const Py_ssize_t n = static_cast<Py_ssize_t>(
      std::min<std::uint64_t>(length, static_cast<std::uint64_t>(PY_SSIZE_T_MAX - 1)));
  Py_ssize_t s, e, st;
  if (sl->step == Py_None && plain_bound(sl->start, 0, &s) &&
      plain_bound(sl->stop, PY_SSIZE_T_MAX, &e)) {
    st = 1;
  } else if (PySlice_Unpack(key, &s, &e, &st) < 0) {
    return nullptr;
  }
  PySlice_AdjustIndices(n, &s, &e, st);

  if (st == 1) {
    // 0 <= s, e <= n: no wrap. s >= e asks for a start beyond the end, which the fetch
    // answers with a warning and an empty result, or an error under strict bounds.
    return fetch_to_python(r->faidx, r->name, name_of(r), static_cast<std::uint64_t>(s) + 1,
                           static_cast<std::uint64_t>(e));
  }

  // Other steps fetch the window of 1-based positions that covers the selection, then slice it.
  // Without strict bounds both ends are clamped into 1..n. Under strict bounds a positive step
  // keeps them unclamped, so that a slice selecting nothing at or past the end is refused by
  // the fetch. For a negative step the two windows agree except for a stop of 0 (rec[5:0:-1]),
  // where the unclamped window would start at position 0 and refuse a slice whose residues all
  // lie inside the record; there the clamped window is used under strict bounds too.
  const bool strict = r->core->options().strict_bounds;
  auto clamp = [n](Py_ssize_t v) { return std::max<Py_ssize_t>(1, std::min(n, v)); };
  Py_ssize_t a, b;
  if (s >= 0) {
    a = strict && st > 0 ? s + 1 : clamp(s + 1);
  } else {
    a = st < 0 ? n : 1;
  }
  if (e >= 0) {
    b = strict && st > 0 ? e : clamp(e);
  } else {
    b = st > 0 ? n : 1;
  }
  const Py_ssize_t lo = st > 0 ? a : std::min(a, b);
  const Py_ssize_t hi = st > 0 ? b : std::max(a, b);

  SequenceRecord window;
  if (!fetch_checked(*r->core, name_of(r), static_cast<std::uint64_t>(lo),
                     static_cast<std::uint64_t>(hi), &window)) {
    return nullptr;
  }
  // Record index i is window index i - (lo - 1). A start of -1 (a negative step that selects
  // nothing) becomes 0:0; a stop below the window means "down to its first residue".
  Py_ssize_t ws = 0, we = 0;
  if (s != -1) {
    ws = s - (lo - 1);
    we = e - (lo - 1);
    if (we < 0) we = st > 0 ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN;
  }
  const bool ascii = text::is_ascii(window.seq.data(), window.seq.size());
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(window.seq.size()), &ws, &we, st);
  return new_sequence(slice(window, ws, we, st, ascii));
}

// record[i]: position i + 1, or length + i + 1 for a negative i.
PyObject* subscript_index(const FastaRecordObject* r, PyObject* key) {
  const std::optional<std::int64_t> i = field_as_i64(key);
  if (!i) {
    PyErr_SetString(PyExc_TypeError, "Invalid index type");
    return nullptr;
  }
  const std::uint64_t length = length_of(r);
  std::uint64_t p;
  if (*i >= 0) {
    p = static_cast<std::uint64_t>(*i) + 1;  // at most 2**63: no wrap
  } else {
    // length + i + 1 in unsigned (two's-complement) arithmetic. With back = -i in 1..2**63:
    // back <= length gives 1..length; back == length + 1 gives 0; a larger back wraps to
    // 2**64 + length + 1 - back > length. So a position before the first residue arrives as 0
    // or as a coordinate past the end, never as one inside the record, whatever the length.
    const std::uint64_t back = 0 - static_cast<std::uint64_t>(*i);
    p = length + 1 - back;
  }
  return fetch_to_python(r->faidx, r->name, name_of(r), p, p);
}

PyObject* record_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    return PySlice_Check(key) ? subscript_slice(r, key) : subscript_index(r, key);
  });
}

Py_ssize_t record_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    const std::uint64_t length = length_of(as_record(self));
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "record length exceeds 2**63 - 1");
      return -1;
    }
    return static_cast<Py_ssize_t>(length);
  });
}

PyObject* record_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    SequenceRecord fetched;
    if (!fetch_checked(*r->core, name_of(r), 1, length_of(r), &fetched, false)) return nullptr;
    return new_str(fetched.seq);
  });
}

PyObject* record_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return PyUnicode_FromFormat("FastaRecord(\"%U\")", as_record(self)->name);
  });
}

PyObject* record_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    return new_sequence_iterator(r->faidx, r->name, width_of(r), length_of(r));
  });
}

PyObject* record_reversed(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    const std::uint64_t length = length_of(r);
    // A line width of 0 (an index entry written by hand, or built from a record whose first
    // line is empty) cannot cut the record into lines: it is taken as one line, one piece.
    const std::uint64_t width = width_of(r) != 0 ? width_of(r) : std::max<std::uint64_t>(length, 1);
    std::vector<SequenceRecord> pieces;
    // Saturating arithmetic and an explicit last piece: no wrap can restart the walk.
    for (std::uint64_t v = 1; length != 0;) {
      const std::uint64_t piece_end = width - 1 >= length - v ? length : v + width - 1;
      SequenceRecord piece;
      if (!fetch_checked(*r->core, name_of(r), v, piece_end, &piece)) return nullptr;
      pieces.push_back(std::move(piece));
      if (piece_end == length) break;
      v = piece_end + 1;
    }
    return new_list(pieces.size(), [&](std::size_t k) {
      return new_sequence(reverse(pieces[pieces.size() - 1 - k]));
    });
  });
}

PyObject* record_long_name(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    if (!r->has_entry) return raise_error(Faidx::not_found(name_of(r)));
    return Py_NewRef(r->name);  // str is immutable: the record's own name serves as the copy
  });
}

PyObject* record_unpadded_len(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    const FastaRecordObject* r = as_record(self);
    SequenceRecord fetched;
    if (!fetch_checked(*r->core, name_of(r), 1, length_of(r), &fetched, false)) return nullptr;
    const std::string& seq = fetched.seq;
    auto is_n = [](char c) { return c == 'N' || c == 'n'; };
    const auto first = std::find_if_not(seq.begin(), seq.end(), is_n);
    if (first == seq.end()) return PyLong_FromLong(0);
    const auto last = std::find_if_not(seq.rbegin(), seq.rend(), is_n).base();
    return PyLong_FromSize_t(static_cast<std::size_t>(last - first));
  });
}

// Objects of released records, kept for reuse: `fa[name][s:e]` in a loop then allocates no
// record. Bounded; the GIL guards it. Only plain records go there, untracked and holding nothing.
constexpr int kFreeRecords = 64;
FastaRecordObject* g_free_records[kFreeRecords];
int g_free_record_count = 0;

void record_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_record(self)->faidx);
  Py_CLEAR(as_record(self)->name);
  if (tp == g_record_type && g_free_record_count < kFreeRecords) {
    g_free_records[g_free_record_count++] = as_record(self);
  } else {
    tp->tp_free(self);
  }
  Py_DECREF(tp);
}

// A record pickles as a Fasta over the same file and options, and its name: loading opens the
// file again and subscripts the new Fasta with the name. A record never changes, so a copy may
// be the object itself.
PyObject* record_reduce(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    PyRef fasta = PyRef::steal(new_fasta_view(as_record(self)->faidx));
    if (!fasta) return nullptr;
    PyRef operator_module = PyRef::steal(PyImport_ImportModule("operator"));
    if (!operator_module) return nullptr;
    PyRef getitem = PyRef::steal(PyObject_GetAttrString(operator_module.get(), "getitem"));
    if (!getitem) return nullptr;
    return Py_BuildValue("(O(OO))", getitem.get(), fasta.get(), as_record(self)->name);
  });
}

PyMethodDef record_methods[] = {
    {"__reversed__", record_reversed, METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {"__reduce__", record_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", copy_self, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef record_getset[] = {
    {"long_name", record_long_name, nullptr, nullptr, nullptr},
    {"unpadded_len", record_unpadded_len, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_traverse,
     reinterpret_cast<void*>(
         traverse_refs<FastaRecordObject, &FastaRecordObject::faidx, &FastaRecordObject::name>)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_str, reinterpret_cast<void*>(record_str)},
    {Py_tp_iter, reinterpret_cast<void*>(record_iter)},
    {Py_tp_methods, record_methods},
    {Py_tp_getset, record_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(record_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(record_length)},
    {0, nullptr},
};

PyType_Spec record_spec = {
    .name = "builtins.FastaRecord",
    .basicsize = sizeof(FastaRecordObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = record_slots,
};

}  // namespace

PyTypeObject* fasta_record_type() { return make_type(&g_record_type, &record_spec); }

PyObject* new_fasta_record(PyObject* faidx, PyObject* name, const EntryNumbers* entry) {
  PyTypeObject* tp = fasta_record_type();
  if (tp == nullptr) return nullptr;
  FastaRecordObject* r = nullptr;
  if (g_free_record_count > 0) {
    r = g_free_records[--g_free_record_count];
    PyObject_Init(reinterpret_cast<PyObject*>(r), tp);  // takes a reference to the type
  } else {
    r = PyObject_GC_New(FastaRecordObject, tp);
    if (r == nullptr) return nullptr;
  }
  r->faidx = Py_NewRef(faidx);
  r->name = Py_NewRef(name);
  r->core = &faidx_core(faidx);
  r->has_entry = entry != nullptr;
  r->entry = entry != nullptr ? *entry : EntryNumbers{};
  PyObject_GC_Track(r);
  return reinterpret_cast<PyObject*>(r);
}

std::string_view str_bytes(PyObject* name) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(name, &size);
  if (data == nullptr) {
    // Unreachable for the names we hold: each came from the name table or matched a name in it,
    // so it has a UTF-8 form. An empty name matches nothing else that could be looked up.
    PyErr_Clear();
    return {};
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace tavlo::py
