// The Python type Sequence: a heap type holding one SequenceRecord, with its text forms,
// equality, subscripts, derivations and statistics.
#include "sequence/sequence_py.hpp"

#include <new>
#include <string>
#include <utility>

#include "pyutil/pickle_py.hpp"
#include "sequence/ops.hpp"

namespace tavlo::py {
namespace {

// Whether the record's text is pure ASCII, remembered between calls: a slice of any other text
// must be checked for characters it cut through, and finding out costs a pass over the text,
// which for one short slice of a chromosome would cost far more than the slice.
enum class Charset : signed char { kUnknown, kAscii, kOther };

// The name object and the charset of a Sequence in one word. With a field of its own each, the
// object would pass an allocator size class and every result of a batch would cost 16 bytes
// more; an object's address is at least 8-byte aligned, so its low bits are free for the charset.
class NameAndCharset {
 public:
  PyObject* name() const { return reinterpret_cast<PyObject*>(bits_ & ~kMask); }
  Charset charset() const { return static_cast<Charset>(bits_ & kMask); }
  void set_name(PyObject* o) { bits_ = reinterpret_cast<std::uintptr_t>(o) | (bits_ & kMask); }
  void set_charset(Charset c) {
    bits_ = (bits_ & ~kMask) | static_cast<std::uintptr_t>(static_cast<unsigned char>(c));
  }
  // Drops the name object (owned), if any.
  void clear_name() {
    PyObject* o = name();
    set_name(nullptr);
    Py_XDECREF(o);
  }

 private:
  static constexpr std::uintptr_t kMask = 3;
  static_assert(alignof(PyObject) >= 4);
  std::uintptr_t bits_ = 0;
};

struct SequenceObject {
  PyObject_HEAD
  SequenceRecord record;
  // name: the str of record.name (owned), or nullptr until `name` is first read; fetches hand in
  // one shared object per record name; cleared whenever the name may change. charset: reset
  // whenever seq may have changed (setter, reverse_complement_in_place()).
  NameAndCharset tags;
};

PyTypeObject* g_sequence_type = nullptr;  // strong reference kept for the life of the process

SequenceObject* as_seq(PyObject* o) { return reinterpret_cast<SequenceObject*>(o); }

bool text_is_ascii(SequenceObject* o) {
  if (o->tags.charset() == Charset::kUnknown) {
    o->tags.set_charset(is_ascii(o->record.seq) ? Charset::kAscii : Charset::kOther);
  }
  return o->tags.charset() == Charset::kAscii;
}

// Objects of released Sequences, kept for reuse with their record constructed and emptied: a
// loop of fetches then allocates neither the object nor, for a result no longer than the one
// before, its residue buffer. Bounded in count and in the buffer each may keep. The GIL guards it.
constexpr int kFreeListSize = 256;
constexpr std::size_t kKeepCapacity = 4096;
SequenceObject* g_free_list[kFreeListSize];
int g_free_count = 0;

// A Sequence object of type `tp` with an empty record (no name object, comp false, no
// coordinates), from the free list when it has one; nullptr with MemoryError set on failure.
SequenceObject* allocate(PyTypeObject* tp) {
  if (g_free_count > 0 && tp == g_sequence_type) {
    SequenceObject* o = g_free_list[--g_free_count];
    PyObject_Init(reinterpret_cast<PyObject*>(o), tp);  // takes a reference to the type
    return o;
  }
  SequenceObject* o = PyObject_New(SequenceObject, tp);
  if (o == nullptr) return nullptr;
  new (&o->record) SequenceRecord();
  new (&o->tags) NameAndCharset();
  return o;
}

// A new Sequence object owning `record` (moved in); a new reference, or nullptr with
// MemoryError set (the record is then not moved from, and the caller's copy drops it).
PyObject* wrap(PyTypeObject* tp, SequenceRecord&& record, Charset charset) {
  SequenceObject* o = allocate(tp);
  if (o == nullptr) return nullptr;
  o->record = std::move(record);
  o->tags.set_charset(charset);
  return reinterpret_cast<PyObject*>(o);
}

// A derived record handed back as an object of the same type as `self`, sharing its name
// object when the name is the same.
PyObject* derived(PyObject* self, SequenceRecord&& record, Charset charset) {
  SequenceObject* parent = as_seq(self);
  PyObject* name = parent->tags.name();
  const bool same_name = name != nullptr && record.name == parent->record.name;
  PyObject* o = wrap(Py_TYPE(self), std::move(record), charset);
  if (o != nullptr && same_name) as_seq(o)->tags.set_name(Py_NewRef(name));
  return o;
}

int cannot_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

PyObject* optional_int(const std::optional<std::uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

// --- Construction and destruction ----------------------------------------------------------------

constexpr const char* kFieldNames[] = {"name", "seq", "start", "end", "comp"};

PyObject* sequence_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[5];  // borrowed from args and kwargs
    if (!bind_call_args("Sequence", args, kwargs, kFieldNames, 5, 0, slots)) return nullptr;
    SequenceRecord record;
    Charset charset = Charset::kAscii;
    std::string_view text;
    if (slots[0] != nullptr) {
      if (!to_str(slots[0], &text, "name")) return nullptr;
      record.name.assign(text);
    }
    if (slots[1] != nullptr) {
      if (!to_str(slots[1], &text, "seq")) return nullptr;
      record.seq.assign(text);
      charset = PyUnicode_IS_ASCII(slots[1]) ? Charset::kAscii : Charset::kOther;
    }
    if (!to_opt_u64(slots[2], &record.start, "start")) return nullptr;
    if (!to_opt_u64(slots[3], &record.end, "end")) return nullptr;
    if (slots[4] != nullptr && !to_bool(slots[4], &record.comp, "comp")) return nullptr;
    return wrap(tp, std::move(record), charset);
  });
}

void sequence_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  SequenceObject* o = as_seq(self);
  o->tags.clear_name();
  SequenceRecord& r = o->record;
  if (g_free_count < kFreeListSize && tp == g_sequence_type &&
      r.seq.capacity() <= kKeepCapacity && r.name.capacity() <= kKeepCapacity) {
    // Emptied now, so that nothing of this result can show in the next one.
    r.name.clear();
    r.seq.clear();
    r.start.reset();
    r.end.reset();
    r.comp = false;
    g_free_list[g_free_count++] = o;
  } else {
    r.~SequenceRecord();
    tp->tp_free(self);
  }
  Py_DECREF(tp);  // instances of a heap type own a reference to it
}

// --- Fields ------------------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    SequenceObject* o = as_seq(self);
    if (o->tags.name() == nullptr) {
      PyObject* name = new_str(o->record.name);
      if (name == nullptr) return nullptr;
      o->tags.set_name(name);
    }
    return Py_NewRef(o->tags.name());
  });
}

int set_name(PyObject* self, PyObject* value, void*) {
  return guarded([&] {
    if (value == nullptr) return cannot_delete();
    std::string_view text;
    if (!to_str(value, &text, "name")) return -1;
    SequenceObject* o = as_seq(self);
    o->record.name.assign(text);
    o->tags.clear_name();
    return 0;
  });
}

PyObject* sequence_str(PyObject* self) {
  return guarded([&] { return new_str(as_seq(self)->record.seq); });
}

PyObject* get_seq(PyObject* self, void*) { return sequence_str(self); }

int set_seq(PyObject* self, PyObject* value, void*) {
  return guarded([&] {
    if (value == nullptr) return cannot_delete();
    std::string_view text;
    if (!to_str(value, &text, "seq")) return -1;
    SequenceObject* o = as_seq(self);
    o->record.seq.assign(text);
    o->tags.set_charset(PyUnicode_IS_ASCII(value) ? Charset::kAscii : Charset::kOther);
    return 0;
  });
}

// start and end share their accessors; the closure is the field's name, for messages.
template <std::optional<std::uint64_t> SequenceRecord::*Field>
PyObject* get_coordinate(PyObject* self, void*) {
  return guarded([&] { return optional_int(as_seq(self)->record.*Field); });
}

template <std::optional<std::uint64_t> SequenceRecord::*Field>
int set_coordinate(PyObject* self, PyObject* value, void* field_name) {
  return guarded([&] {
    if (value == nullptr) return cannot_delete();
    // Convert completely before storing: __index__ may run Python code that reads this object.
    std::optional<std::uint64_t> v;
    if (!to_opt_u64(value, &v, static_cast<const char*>(field_name))) return -1;
    as_seq(self)->record.*Field = v;
    return 0;
  });
}

PyObject* get_comp(PyObject* self, void*) {
  return guarded([&] { return PyBool_FromLong(as_seq(self)->record.comp); });
}

int set_comp(PyObject* self, PyObject* value, void*) {
  return guarded([&] {
    if (value == nullptr) return cannot_delete();
    bool v = false;
    if (!to_bool(value, &v, "comp")) return -1;
    as_seq(self)->record.comp = v;
    return 0;
  });
}

PyObject* get_fancy_name(PyObject* self, void*) {
  return guarded([&] { return new_str(as_seq(self)->record.fancy_name()); });
}

// --- Derivations and statistics ------------------------------------------------------------------

PyObject* get_complement(PyObject* self, void*) {
  // The complement of any text is ASCII.
  return guarded([&] { return derived(self, complement(as_seq(self)->record), Charset::kAscii); });
}

PyObject* get_reverse(PyObject* self, void*) {
  return guarded([&] {
    SequenceObject* o = as_seq(self);
    return derived(self, reverse(o->record), o->tags.charset());
  });
}

PyObject* sequence_negative(PyObject* self) {
  return guarded(
      [&] { return derived(self, reverse_complement(as_seq(self)->record), Charset::kAscii); });
}

PyObject* get_orientation(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::optional<int> v = orientation(as_seq(self)->record);
    if (!v) Py_RETURN_NONE;
    return PyLong_FromLong(*v);
  });
}

template <double (*Statistic)(std::string_view) noexcept>
PyObject* get_statistic(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(Statistic(as_seq(self)->record.seq)); });
}

// --- Protocols ---------------------------------------------------------------------------------

PyObject* sequence_repr(PyObject* self) {
  return guarded([&] {
    const SequenceRecord& r = as_seq(self)->record;
    std::string out = ">";
    out += r.fancy_name();
    out += '\n';
    out += r.seq;
    return new_str(out);
  });
}

Py_ssize_t sequence_length(PyObject* self) {
  return guarded([&] { return static_cast<Py_ssize_t>(as_seq(self)->record.seq.size()); });
}

PyObject* sequence_subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    SequenceObject* o = as_seq(self);
    if (PySlice_Check(key)) {
      Py_ssize_t start = 0;
      Py_ssize_t stop = 0;
      Py_ssize_t step = 0;
      if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
      // The slice fields' __index__ may have run Python code that replaced seq: read the record
      // only from here on.
      const bool ascii = text_is_ascii(o);
      PySlice_AdjustIndices(static_cast<Py_ssize_t>(o->record.seq.size()), &start, &stop, step);
      return derived(self, slice(o->record, start, stop, step, ascii),
                     ascii ? Charset::kAscii : Charset::kUnknown);
    }
    long long i = 0;
    {
      PyRef index = PyRef::steal(PyNumber_Index(key));
      if (index) i = PyLong_AsLongLong(index.get());
      if (!index || (i == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Invalid index type");
        return nullptr;
      }
    }
    const auto n = static_cast<long long>(o->record.seq.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
      PyErr_SetString(PyExc_IndexError, "Index out of range");
      return nullptr;
    }
    SequenceRecord r = at(o->record, i);
    const Charset charset = r.seq.size() == 1 ? Charset::kAscii : Charset::kOther;
    return derived(self, std::move(r), charset);
  });
}

// Equality is of the texts alone; anything that is neither a str nor a Sequence is unequal.
bool text_equals(PyObject* self, PyObject* other) {
  const std::string& seq = as_seq(self)->record.seq;
  if (PyUnicode_Check(other)) {
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(other, &len);
    if (data == nullptr) {
      // A str holding lone surrogates has no UTF-8 form, so it equals no text of ours.
      PyErr_Clear();
      return false;
    }
    return std::string_view(data, static_cast<std::size_t>(len)) == seq;
  }
  if (Py_TYPE(other) == g_sequence_type) return as_seq(other)->record.seq == seq;
  return false;
}

PyObject* sequence_richcompare(PyObject* self, PyObject* other, int op) {
  switch (op) {
    case Py_EQ:
      return PyBool_FromLong(text_equals(self, other));
    case Py_NE: {
      PyRef eq = PyRef::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!eq) return nullptr;
      const int truth = PyObject_IsTrue(eq.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    default:
      Py_RETURN_NOTIMPLEMENTED;
  }
}

// --- Pickling and copying ------------------------------------------------------------------------

// A Sequence pickles as its five fields, the constructor's arguments.
PyObject* sequence_reduce(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    const SequenceRecord& r = as_seq(self)->record;
    PyObject* args = Py_BuildValue("(NNNNO)", new_str(r.name), new_str(r.seq),
                                   optional_int(r.start), optional_int(r.end),
                                   r.comp ? Py_True : Py_False);
    return reduce_by_class(Py_TYPE(self), args);
  });
}

// The texts are values of the record, so a shallow copy is already a deep one.
PyObject* sequence_copy(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    SequenceObject* o = as_seq(self);
    return derived(self, SequenceRecord(o->record), o->tags.charset());
  });
}

PyMethodDef sequence_methods[] = {
    {"__reduce__", sequence_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", sequence_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", sequence_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// --- Type --------------------------------------------------------------------------------------

PyGetSetDef sequence_getset[] = {
    {"name", get_name, set_name, "Name of the source record.", nullptr},
    {"seq", get_seq, set_seq,
     "The residues. len(), subscripts, reverse, complement and the GC statistics work on its\n"
     "UTF-8 bytes, which for ASCII residues are its letters. s[i] of a byte from 0x80 up is the\n"
     "character whose code point is the byte's value. The bytes of a slice or reverse are read\n"
     "as UTF-8 where they form whole characters, and every other byte as that same character,\n"
     "so a cut through a multi-byte character still gives valid text.",
     nullptr},
    {"start", get_coordinate<&SequenceRecord::start>, set_coordinate<&SequenceRecord::start>,
     "Coordinate of the first residue in the source record, or None.",
     const_cast<char*>("start")},
    {"end", get_coordinate<&SequenceRecord::end>, set_coordinate<&SequenceRecord::end>,
     "Coordinate of the last residue in the source record, or None.", const_cast<char*>("end")},
    {"comp", get_comp, set_comp, "True when seq holds the complement of the region.", nullptr},
    {"fancy_name", get_fancy_name, nullptr,
     "name, name:start-end when both coordinates are set, then ' (complement)' when comp.",
     nullptr},
    {"long_name", get_fancy_name, nullptr, "The same as fancy_name.", nullptr},
    {"complement", get_complement, nullptr,
     "A new Sequence with every byte replaced by its IUPAC complement (case kept; any other\n"
     "byte, each byte of a non-ASCII character included, becomes N) and comp negated.",
     nullptr},
    {"reverse", get_reverse, nullptr,
     "A new Sequence with the bytes in reverse order (a non-ASCII text is read back as a slice\n"
     "is: see seq) and start and end swapped.",
     nullptr},
    {"orientation", get_orientation, nullptr,
     "1 for start < end without comp, -1 for start > end with comp, otherwise None.", nullptr},
    {"gc", get_statistic<gc>, nullptr, "Fraction of bytes that are C or G (either case).", nullptr},
    {"gc_strict", get_statistic<gc_strict>, nullptr,
     "C and G among the A, C, G and T residues (either case); 0.0 when there are none.", nullptr},
    {"gc_iupac", get_statistic<gc_iupac>, nullptr,
     "GC content over the IUPAC codes, ambiguous codes weighted by their share of C and G.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    // The docstring is the text signature alone, so that introspection shows the constructor.
    {Py_tp_doc,
     const_cast<char*>("Sequence(name=..., seq=..., start=None, end=None, comp=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(sequence_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sequence_dealloc)},
    {Py_tp_getset, sequence_getset},
    {Py_tp_methods, sequence_methods},
    {Py_tp_str, reinterpret_cast<void*>(sequence_str)},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(sequence_richcompare)},
    {Py_mp_length, reinterpret_cast<void*>(sequence_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(sequence_subscript)},
    {Py_nb_negative, reinterpret_cast<void*>(sequence_negative)},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    .name = "builtins.Sequence",
    .basicsize = sizeof(SequenceObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = sequence_slots,
};

}  // namespace

PyTypeObject* sequence_type() { return make_type(&g_sequence_type, &sequence_spec); }

PyObject* new_sequence(SequenceRecord&& record) {
  PyTypeObject* tp = sequence_type();
  if (tp == nullptr) return nullptr;
  return wrap(tp, std::move(record), Charset::kUnknown);
}

PyObject* new_empty_sequence(SequenceRecord** record, PyObject* name) {
  PyTypeObject* tp = sequence_type();
  if (tp == nullptr) return nullptr;
  SequenceObject* o = allocate(tp);
  if (o == nullptr) return nullptr;
  o->tags.set_charset(Charset::kUnknown);
  o->tags.set_name(Py_XNewRef(name));
  *record = &o->record;
  return reinterpret_cast<PyObject*>(o);
}

void reverse_complement_in_place(PyObject* seq) {
  SequenceObject* s = as_seq(seq);
  // The record changes: forget what is known about it.
  s->tags.set_charset(Charset::kUnknown);
  s->tags.clear_name();
  s->record = reverse_complement(s->record);
}

}  // namespace tavlo::py
