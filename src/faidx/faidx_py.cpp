// The Python type Faidx: argument conversion around the Faidx core, and its name cache.
#include "faidx/faidx_py.hpp"

#include <memory>
#include <utility>

#include "errors/errors_py.hpp"
#include "faidx/array_py.hpp"
#include "faidx/batch_py.hpp"
#include "faidx/file_io.hpp"
#include "faidx/remote/url.hpp"
#include "pyutil/pickle_py.hpp"
#include "sequence/sequence_py.hpp"
#include "text/text.hpp"

namespace tavlo::py {

namespace {

// A record's shared name object, in the cache of recent records.
struct NameSlot {
  std::size_t index;  // position of the record in the name table
  PyObject* name;     // owned: an exact str equal to the record's name, or nullptr (empty slot)
};

struct FaidxObject {
  PyObject_HEAD
  Faidx* core;               // owned; never null once the object is published
  PyObject* key_function;    // owned reference, or nullptr; kept, never called
  PyObject* filt_function;   // owned reference, or nullptr; kept, never called
  // The name objects of recently fetched records, shared by their results: slot index % size.
  // Bounded, so that fetching from every record of a database of millions does not keep a
  // str per record alive; allocated on the first fetch.
  NameSlot* names;
  std::size_t names_size;  // a power of 2, or 0 before the first fetch
  // Records recently fetched through their shared name object, by the object's address:
  // position + 1, or 0. An entry counts only while the name cache still holds that very object
  // for that position, which keeps it alive and equal to the record's name; a hit skips hashing
  // and comparing.
  std::uint32_t name_memo[64];
};

constexpr std::size_t kNameCacheSize = 4096;

std::size_t memo_slot(PyObject* name) {
  return (reinterpret_cast<std::uintptr_t>(name) >> 4) % 64;
}

FaidxObject* as_faidx(PyObject* o) { return reinterpret_cast<FaidxObject*>(o); }

// Writes the warnings of a checked fetch to file descriptor 2, a line each ("WARNING: ...").
void write_warning_lines(const Warnings& warnings) {
  for (int i = 0; i < warnings.count; ++i) {
    std::string line = "WARNING: " + warnings.text[i] + "\n";
    // Best effort: a warning that cannot be written is not worth failing the fetch for.
    (void)write_all(2, line.data(), line.size());
  }
}

inline void write_warnings(const Warnings& warnings) {
  if (warnings.count != 0) [[unlikely]]
    write_warning_lines(warnings);
}

// The shared name object of record `index` (borrowed): the cached one, else `given` (a str the
// caller's name came from, or nullptr) when it is an exact str, else a new one, which then
// replaces what its cache slot held. nullptr with MemoryError set on failure.
PyObject* record_name(FaidxObject* fo, std::size_t index, PyObject* given) {
  if (fo->names == nullptr) {
    std::size_t size = 1;
    while (size < kNameCacheSize && size < fo->core->names().size()) size *= 2;
    fo->names = static_cast<NameSlot*>(PyMem_Calloc(size, sizeof(NameSlot)));
    if (fo->names == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
    fo->names_size = size;
  }
  NameSlot& slot = fo->names[index & (fo->names_size - 1)];
  if (slot.name == nullptr || slot.index != index) {
    PyObject* name = given != nullptr && PyUnicode_CheckExact(given)
                         ? Py_NewRef(given)
                         : new_str(fo->core->names().name_at(index));
    if (name == nullptr) return nullptr;
    Py_XSETREF(slot.name, name);
    slot.index = index;
  }
  return slot.name;
}

// Whether `name` is the cached name object of record `index`.
bool is_record_name(const FaidxObject* fo, std::size_t index, PyObject* name) {
  if (fo->names == nullptr) return false;
  const NameSlot& slot = fo->names[index & (fo->names_size - 1)];
  return slot.name == name && slot.index == index;
}

void release_record_names(FaidxObject* fo) {
  if (fo->names == nullptr) return;
  NameSlot* names = std::exchange(fo->names, nullptr);
  for (std::size_t i = 0; i < fo->names_size; ++i) Py_XDECREF(names[i].name);
  fo->names_size = 0;
  PyMem_Free(names);
}

PyTypeObject* g_faidx_type = nullptr;  // kept for the life of the process

constexpr FaidxParams kFaidxParams = {
    "Faidx",
    {FaidxParam::filename, FaidxParam::indexname, FaidxParam::as_raw, FaidxParam::strict_bounds,
     FaidxParam::sequence_always_upper, FaidxParam::rebuild, FaidxParam::build_index,
     FaidxParam::one_based_attributes, FaidxParam::default_seq, FaidxParam::mutable_file,
     FaidxParam::key_function, FaidxParam::split_char, FaidxParam::filt_function,
     FaidxParam::read_long_names, FaidxParam::duplicate_action, FaidxParam::read_ahead},
    {"filename", "indexname", "as_raw", "strict_bounds", "sequence_always_upper", "rebuild",
     "build_index", "one_based_attributes", "default_seq", "mutable", "key_function", "split_char",
     "filt_function", "read_long_names", "duplicate_action", "read_ahead"}};

PyObject* faidx_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FaidxArgs converted;
    if (!convert_faidx_args(kFaidxParams, args, kwargs, &converted)) return nullptr;
    return new_faidx(std::move(converted));
  });
}

int faidx_clear(PyObject* self) {
  Py_CLEAR(as_faidx(self)->key_function);
  Py_CLEAR(as_faidx(self)->filt_function);
  return 0;
}

void faidx_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  faidx_clear(self);
  release_record_names(as_faidx(self));
  delete as_faidx(self)->core;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* faidx_fetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "start", "end"};
    PyObject* slots[3];
    PyObject* const* a = args;
    if (kwnames != nullptr || nargs != 3) {
      if (!bind_args("fetch", args, nargs, kwnames, names, 3, 3, slots)) return nullptr;
      a = slots;
    }
    std::string_view name;
    std::uint64_t start, end;
    if (!to_str(a[0], &name, "name") || !to_u64(a[1], &start, "start") ||
        !to_u64(a[2], &end, "end")) {
      return nullptr;
    }
    return fetch_to_python(self, a[0], name, start, end);
  });
}

PyObject* faidx_fetch_entire_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name"};
    PyObject* slot;
    std::string_view name;
    if (!bind_args("fetch_entire_sequence", args, nargs, kwnames, names, 1, 1, &slot) ||
        !to_str(slot, &name, "name")) {
      return nullptr;
    }
    return entire_sequence_to_python(*as_faidx(self)->core, name);
  });
}

PyObject* faidx_keys(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const NameTable& t = as_faidx(self)->core->names();
    return new_list(t.size(), [&](std::size_t i) { return new_str(t.name_at(i)); });
  });
}

int faidx_contains(PyObject* self, PyObject* key) {
  return guarded([&]() -> int {
    std::string_view name;
    if (!to_str(key, &name, "name")) return -1;
    return as_faidx(self)->core->names().find_index(name) != NameTable::npos ? 1 : 0;
  });
}

PyObject* faidx_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const std::string text = "Faidx(\"" + as_faidx(self)->core->options().filename + "\")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return fetch_many_method(self, args, nargs, kwnames, false);
}

PyObject* faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return fetch_many_same_chr_method(self, args, nargs, kwnames, false);
}

// --- Pickling and copying ------------------------------------------------------------------------

// A pickle holds the file name and every constructor option; loading it opens the file again
// by the usual rules (the index read, or built when missing or stale). As __reduce__, `protocol`
// is nullptr. A Faidx never changes: a copy, deep or not, may be the object itself.
PyObject* faidx_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded([&]() -> PyObject* {
    return reduce_by_class(Py_TYPE(self), faidx_pickle_args(self, kFaidxParams, protocol));
  });
}

PyMethodDef faidx_methods[] = {
    {"fetch", fast(faidx_fetch), METH_FASTCALL | METH_KEYWORDS,
     "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence", fast(faidx_fetch_entire_sequence), METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\nUltra-fast method for fetching entire sequences "
     "- bypasses all bounds checking"},
    {"fetch_many", fast(faidx_fetch_many), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\nHigh-performance batch fetch for many sequences\n\n"
     "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
     "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
     "- Parallel processing for large batches to maximize throughput\n\n"
     "Args:\n    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
     "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = faidx.fetch_many(regions)"},
    {"fetch_many_same_chr", fast(faidx_fetch_many_same_chr), METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "Optimized for BED file processing where many regions come from the same chromosome.\n"
     "Uses smart batching like fetch_many but optimized for single chromosome access.\n\n"
     "Args:\n    name: Chromosome/sequence name\n    regions: List of (start, end) tuples\n\n"
     "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)"},
    {"fetch_array", fast(fetch_array_to_python), METH_FASTCALL | METH_KEYWORDS, kFetchArrayDoc},
    {"__reduce__", faidx_reduce_ex, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reduce_ex__", faidx_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__copy__", copy_self, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", copy_self, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef faidx_getset[] = {
    {"keys", faidx_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot faidx_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(faidx_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(faidx_dealloc)},
    {Py_tp_traverse,
     reinterpret_cast<void*>(
         traverse_refs<FaidxObject, &FaidxObject::key_function, &FaidxObject::filt_function>)},
    {Py_tp_clear, reinterpret_cast<void*>(faidx_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(faidx_repr)},
    {Py_tp_methods, faidx_methods},
    {Py_tp_getset, faidx_getset},
    {Py_sq_contains, reinterpret_cast<void*>(faidx_contains)},
    {Py_tp_doc,
     const_cast<char*>("Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, "
                       "sequence_always_upper=False, rebuild=True, build_index=True, "
                       "one_based_attributes=True, default_seq=None, mutable=False, "
                       "key_function=None, split_char=None, filt_function=None, "
                       "read_long_names=False, duplicate_action=..., read_ahead=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec faidx_spec = {
    .name = "builtins.Faidx",
    .basicsize = sizeof(FaidxObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = faidx_slots,
};

}  // namespace

PyObject* faidx_pickle_args(PyObject* faidx, const FaidxParams& params, PyObject* protocol) {
  const FaidxObject* fo = as_faidx(faidx);
  return options_pickle_args(fo->core->options(), fo->key_function, fo->filt_function, params,
                             protocol);
}

PyObject* new_faidx(FaidxArgs&& args) {
  PyTypeObject* type = faidx_type();
  if (type == nullptr) return nullptr;
  // Opening a URL waits on the network: other Python threads run meanwhile.
  const bool remote = looks_like_url(args.options.filename);
  PyThreadState* released = remote ? PyEval_SaveThread() : nullptr;
  auto opened = [&] {
    struct Reacquire {
      PyThreadState* state;
      ~Reacquire() {
        if (state != nullptr) PyEval_RestoreThread(state);
      }
    } reacquire{released};
    return Faidx::open(std::move(args.options));
  }();
  if (!opened) return raise_error(opened.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FaidxObject* fo = as_faidx(self);
  fo->core = opened->release();
  fo->key_function = Py_XNewRef(args.key_function);
  fo->filt_function = Py_XNewRef(args.filt_function);
  return self;
}

PyTypeObject* faidx_type() { return make_type(&g_faidx_type, &faidx_spec); }

const Faidx& faidx_core(PyObject* o) { return *as_faidx(o)->core; }

namespace {

// find_record, inlined into the fetch of one region.
[[gnu::always_inline]] inline bool look_up_record(PyObject* faidx, PyObject* name_object,
                                                  std::string_view name, std::size_t* index,
                                                  PyObject** shared) {
  FaidxObject* fo = as_faidx(faidx);
  if (name_object != nullptr) {
    const std::uint32_t m = fo->name_memo[memo_slot(name_object)];
    if (m != 0 && is_record_name(fo, m - 1, name_object)) {
      *index = m - 1;
      *shared = name_object;
      return true;
    }
  }
  *index = fo->core->names().find_index(name);
  *shared = nullptr;
  if (*index == NameTable::npos) return true;
  *shared = record_name(fo, *index, name_object);
  if (*shared == nullptr) return false;
  if (*shared == name_object) {
    fo->name_memo[memo_slot(name_object)] = static_cast<std::uint32_t>(*index + 1);
  }
  return true;
}

}  // namespace

// Calls `read`, with the GIL released when `fx` reads over the network: a fetch that waits on a
// server lets the program's other threads run meanwhile.
template <typename Read>
auto off_gil_if_remote(const Faidx& fx, Read&& read) {
  if (!fx.source().fetches_ahead()) return read();
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    ~Released() { PyEval_RestoreThread(state); }
  } released;
  return read();
}

PyObject* fetch_to_python(PyObject* faidx, PyObject* name_object, std::string_view name,
                          std::uint64_t start, std::uint64_t end) {
  const Faidx& fx = faidx_core(faidx);
  std::size_t index = NameTable::npos;
  PyObject* shared = nullptr;
  if (!look_up_record(faidx, name_object, name, &index, &shared)) return nullptr;
  if (index == NameTable::npos) return raise_error(Faidx::not_found(name));
  // The record is filled inside its object: no copy or move of the residues on this hot path.
  SequenceRecord* record = nullptr;
  PyRef seq = PyRef::steal(new_empty_sequence(&record, shared));
  if (!seq) return nullptr;
  Warnings warnings;
  Status s = off_gil_if_remote(fx, [&] {
    return fx.fetch(*record, name, fx.names().numbers_at(index), start, end, warnings);
  });
  write_warnings(warnings);
  if (!s) return raise_error(s.error());
  if (!check_text(record->seq)) return nullptr;
  return seq.release();
}

bool find_record(PyObject* faidx, PyObject* name_object, std::string_view name,
                 std::size_t* index, PyObject** shared) {
  return look_up_record(faidx, name_object, name, index, shared);
}

bool check_text(std::string_view residues) {
  // Residues come from the file unchecked when the index was not built here: bytes that are not
  // UTF-8 must become a Python error, never a Sequence whose text cannot be read.
  if (text::is_valid_utf8(residues.data(), residues.size())) return true;
  PyObject* probe =
      PyUnicode_DecodeUTF8(residues.data(), static_cast<Py_ssize_t>(residues.size()), "strict");
  if (probe == nullptr) return false;
  Py_DECREF(probe);
  return true;
}

bool fetch_checked(const Faidx& fx, std::string_view name, std::uint64_t start, std::uint64_t end,
                   SequenceRecord* out, bool check) {
  Warnings warnings;
  auto r = off_gil_if_remote(fx, [&] { return fx.fetch(name, start, end, warnings); });
  write_warnings(warnings);
  if (!r) return raise_error(r.error()) != nullptr;
  if (check && !check_text(r->seq)) return false;
  *out = std::move(*r);
  return true;
}

PyObject* entire_sequence_to_python(const Faidx& fx, std::string_view name) {
  auto r = off_gil_if_remote(fx, [&] { return fx.fetch_entire_sequence(name); });
  if (!r) return raise_error(r.error());
  if (!check_text(r->seq)) return nullptr;
  return new_sequence(std::move(*r));
}

}  // namespace tavlo::py
