// The Python type Faidx: argument conversion around the Faidx core.
#include "faidx/faidx_py.hpp"

#include <structmember.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int; part of Python.h from 3.11 on
#endif

#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

#include "errors/errors_py.hpp"
#include "faidx/batch.hpp"
#include "faidx/pool.hpp"
#include "lib/pickle_py.hpp"
#include "sequence/ops.hpp"
#include "sequence/text.hpp"
#include "sequence/sequence_py.hpp"

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

constexpr const char* kFaidxNames[] = {
    "filename",  "indexname",           "as_raw",      "strict_bounds",
    "sequence_always_upper", "rebuild", "build_index", "one_based_attributes",
    "default_seq", "mutable", "key_function", "split_char",
    "filt_function", "read_long_names", "duplicate_action", "read_ahead"};
constexpr FaidxParam kFaidxOrder[] = {
    FaidxParam::filename,      FaidxParam::indexname,      FaidxParam::as_raw,
    FaidxParam::strict_bounds, FaidxParam::sequence_always_upper, FaidxParam::rebuild,
    FaidxParam::build_index,   FaidxParam::one_based_attributes, FaidxParam::default_seq,
    FaidxParam::mutable_file,  FaidxParam::key_function,   FaidxParam::split_char,
    FaidxParam::filt_function, FaidxParam::read_long_names, FaidxParam::duplicate_action,
    FaidxParam::read_ahead};
constexpr int kParamCount = 16;

bool convert_flag(PyObject* value, const char* name, bool* out) {
  return value == nullptr || to_bool(value, out, name);
}

// The system reads a path up to its first NUL, so such a path names another file: refused as
// Python's own open() refuses it.
bool refuse_nul(std::string_view path, const char* name) {
  if (path.find('\0') == std::string_view::npos) return true;
  PyErr_Format(PyExc_ValueError, "embedded null byte in argument '%s'", name);
  return false;
}

bool convert_opt_text(PyObject* value, const char* name, std::optional<std::string>* out) {
  std::optional<std::string_view> v;
  if (!to_opt_str(value, &v, name)) return false;
  if (v) *out = std::string(*v);
  return true;
}

PyObject* faidx_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kParamCount];
    if (!bind_call_args("Faidx", args, kwargs, kFaidxNames, kParamCount, 1, slots)) {
      return nullptr;
    }
    FaidxArgs converted;
    for (int i = 0; i < kParamCount; ++i) {
      if (!convert_faidx_param(kFaidxOrder[i], kFaidxNames[i], slots[i], &converted)) {
        return nullptr;
      }
    }
    return new_faidx(std::move(converted));
  });
}

int faidx_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_faidx(self)->key_function);
  Py_VISIT(as_faidx(self)->filt_function);
  Py_VISIT(Py_TYPE(self));
  return 0;
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
    auto r = as_faidx(self)->core->fetch_entire_sequence(name);
    if (!r) return raise_error(r.error());
    return checked_sequence(std::move(*r));
  });
}

PyObject* faidx_keys(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const NameTable& t = as_faidx(self)->core->names();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(t.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < t.size(); ++i) {
      PyObject* s = new_str(t.name_at(i));
      if (s == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
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


// Regions converted to native values; `keep` holds the items (and so the name texts) alive.
struct ConvertedRegions {
  PyRef keep;
  std::vector<BatchRegion> regions;

  // The str region i's name came from (borrowed from `keep`), for regions that carry a name.
  PyObject* name_object(std::size_t i) const {
    return PyTuple_GET_ITEM(PySequence_Fast_ITEMS(keep.get())[i], 0);
  }
};

// A batch argument, a sequence (not a str), as a tuple of our own: an item's __index__ may run
// Python code that empties the caller's list, and the items (and the name texts borrowed from
// them) must outlive the whole batch. A new reference, or nullptr with an exception set.
PyObject* region_tuple(PyObject* regions) {
  if (PyUnicode_Check(regions) || !PySequence_Check(regions)) {
    PyErr_Format(PyExc_TypeError, "regions must be a sequence of tuples, not %.200s",
                 Py_TYPE(regions)->tp_name);
    return nullptr;
  }
  if (PySequence_Size(regions) < 0) PyErr_Clear();  // only a hint: the tuple tells
  return PySequence_Tuple(regions);
}

// Converts the regions of a batch, held in out->keep (see region_tuple): tuples of (name,
// start, end) when `with_name`, else of (start, end); every region is converted before anything
// is fetched.
bool convert_regions(bool with_name, ConvertedRegions* out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out->keep.get());
  PyObject** items = PySequence_Fast_ITEMS(out->keep.get());
  const Py_ssize_t arity = with_name ? 3 : 2;
  out->regions.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "region %zd must be a tuple, not %.200s", i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    if (PyTuple_GET_SIZE(item) != arity) {
      PyErr_Format(PyExc_ValueError, "region %zd must be a tuple of %zd items, not %zd", i, arity,
                   PyTuple_GET_SIZE(item));
      return false;
    }
    BatchRegion r{};
    PyObject* const* f = &PyTuple_GET_ITEM(item, 0);
    if (with_name && !to_str(f[0], &r.name, "name")) return false;
    if (!to_u64(f[arity - 2], &r.start, "start") || !to_u64(f[arity - 1], &r.end, "end")) {
      return false;
    }
    out->regions.push_back(r);
  }
  return true;
}

// The first failure of a parallel batch, in position order, as the error to raise: `error`, or
// when it is nullptr residues `seq` that are not UTF-8.
PyObject* raise_batch_failure(const FaidxError* error, std::string_view seq,
                              std::size_t position, std::optional<std::string_view> name) {
  if (error != nullptr) {
    std::string message = "Error fetching region " + std::to_string(position);
    if (name) {
      message += " from ";
      message.append(*name);
    }
    message += ": " + error->display();
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
  }
  // Residues that are not UTF-8: let the decoder raise its own error.
  PyObject* probe =
      PyUnicode_DecodeUTF8(seq.data(), static_cast<Py_ssize_t>(seq.size()), "strict");
  Py_XDECREF(probe);
  if (probe != nullptr) PyErr_SetString(PyExc_SystemError, "batch outcome lost");
  return nullptr;
}

// The shared name objects of a batch's records, looked up by the address of the name text: the
// regions of one record mostly borrow their name from one str object, so a look-up in the name
// table is needed only when the address changes.
class BatchNames {
 public:
  explicit BatchNames(FaidxObject* fo) : fo_(fo) {}
  BatchNames(const BatchNames&) = delete;
  BatchNames& operator=(const BatchNames&) = delete;
  ~BatchNames() {
    for (Memo& m : memo_) Py_XDECREF(m.object);
    for (StrMemo& m : by_str_) Py_XDECREF(m.object);
  }

  // The position of `name` in the table and its shared object (borrowed), or NameTable::npos
  // and nullptr when the table has no such name; `given` is the str it came from, or nullptr.
  // False with an exception set on failure.
  bool find(std::string_view name, PyObject* given, std::size_t* index, PyObject** object) {
    Memo& m = memo_[(reinterpret_cast<std::uintptr_t>(name.data()) >> 4) % kMemo];
    if (m.object == nullptr || m.data != name.data() || m.size != name.size()) {
      const std::size_t i = fo_->core->names().find_index(name);
      if (i == NameTable::npos) {
        *index = NameTable::npos;
        *object = nullptr;
        return true;
      }
      PyObject* o = record_name(fo_, i, given);
      if (o == nullptr) return false;
      // Held here too: the name cache may give the slot to another record meanwhile.
      Py_XSETREF(m.object, Py_NewRef(o));
      m.data = name.data();
      m.size = name.size();
      m.index = i;
    }
    *index = m.index;
    *object = m.object;
    return true;
  }

  // As find, for the name that str `given` holds (stored in *name, borrowed from `given`),
  // memoized by the object itself: the regions of one record mostly share one str object, so
  // its UTF-8 form and the memo above are consulted only when the object changes.
  bool find_str(PyObject* given, std::string_view* name, std::size_t* index, PyObject** object) {
    const std::size_t set = ((reinterpret_cast<std::uintptr_t>(given) >> 4) *
                             0x9E3779B97F4A7C15ULL) >> (64 - kStrSetBits);
    StrMemo* ways = &by_str_[set * 2];
    for (int w = 0; w < 2; ++w) {
      if (ways[w].key == given) {
        *name = ways[w].name;
        *index = ways[w].index;
        *object = ways[w].object;
        return true;
      }
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(given, &size);
    if (data == nullptr) return false;
    *name = std::string_view(data, static_cast<std::size_t>(size));
    if (!find(*name, given, index, object)) return false;
    if (*index == NameTable::npos) return true;
    // The newer entry goes first; the one it displaces stays as the second way.
    Py_XDECREF(ways[1].object);
    ways[1] = ways[0];
    ways[0] = StrMemo{given, *name, *index, Py_NewRef(*object)};
    return true;
  }

  // The shared object of `name`, which must be in the table (borrowed); nullptr with an
  // exception set on failure.
  PyObject* get(std::string_view name, PyObject* given) {
    std::size_t index = 0;
    PyObject* object = nullptr;
    return find(name, given, &index, &object) ? object : nullptr;
  }

 private:
  static constexpr std::size_t kMemo = 64;
  struct Memo {
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t index = 0;
    PyObject* object = nullptr;  // a new reference while the batch runs
  };
  static constexpr int kStrSetBits = 5;  // two entries a set
  struct StrMemo {
    PyObject* key = nullptr;  // borrowed: a str the regions of the batch keep alive
    std::string_view name;    // its UTF-8 form
    std::size_t index = 0;
    PyObject* object = nullptr;  // a new reference while the batch runs
  };
  FaidxObject* fo_;
  Memo memo_[kMemo];
  StrMemo by_str_[2 << kStrSetBits];
};

// `same_object`, for a batch on one name, is the str that name came from; otherwise each region
// carries its own.
PyObject* run_batch(PyObject* faidx, const ConvertedRegions& converted, PyObject* same_object,
                    std::optional<std::string_view> same_name,
                    const EntryNumbers* same_entry = nullptr) {
  FaidxObject* fo = as_faidx(faidx);
  const Faidx& fx = *fo->core;
  const std::vector<BatchRegion>& regions = converted.regions;
  auto name_object = [&](std::size_t i) {
    return same_object != nullptr ? same_object : converted.name_object(i);
  };
  const std::size_t n = regions.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  if (n < kParallelThreshold) {
    for (std::size_t i = 0; i < n; ++i) {
      const BatchRegion& r = regions[i];
      PyObject* seq = fetch_to_python(faidx, name_object(i), r.name, r.start, r.end);
      if (seq == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), seq);
    }
    return list.release();
  }
  std::vector<BatchSlot> slots = fetch_parallel(fx, regions, same_entry);
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i].error || !slots[i].valid_utf8) {
      return raise_batch_failure(slots[i].error.get(), slots[i].seq, i, same_name);
    }
  }
  BatchNames names(fo);
  for (std::size_t i = 0; i < n; ++i) {
    BatchSlot& slot = slots[i];
    PyObject* name = names.get(regions[i].name, name_object(i));
    if (name == nullptr) return nullptr;
    SequenceRecord* record = nullptr;
    PyObject* seq = new_empty_sequence(&record, name);
    if (seq == nullptr) return nullptr;
    record->name.assign(regions[i].name);
    record->seq = std::move(slot.seq);  // the residues move; they are not copied
    if (slot.has_coordinates) {
      record->start = slot.start;
      record->end = slot.end;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), seq);
  }
  return list.release();
}

// Replaces every Sequence of `list` (a new list that only the caller holds; nullptr passes
// through) by its reverse complement in place, when `rc`.
PyObject* replace_by_reverse_complement(PyObject* list, bool rc) {
  if (list == nullptr || !rc) return list;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    reverse_complement_in_place(PyList_GET_ITEM(list, i));
  }
  return list;
}

// Whether a batch of `n` regions takes the streamed path: a large one on the map or through the
// descriptor. The regions of a compressed file are fetched in file order, after all are known.
bool streams(const Faidx& fx, std::size_t n) {
  return n >= kParallelThreshold && !fx.is_bgzf() && !fx.is_gzip();
}

// Regions a chunk of the streamed path holds: enough that handing one over costs little against
// its fetches, few enough that the workers start soon and finish together.
constexpr std::size_t kStreamChunk = 512;

// An exact int that fits, converted with no Python code run and no exception left set.
bool exact_u64(PyObject* o, std::uint64_t* out) {
  if (!PyLong_CheckExact(o)) return false;
  // Coordinates below 2**30 are one digit: read without a call.
#if PY_VERSION_HEX >= 0x030C0000
  const auto* l = reinterpret_cast<PyLongObject*>(o);
  if (PyUnstable_Long_IsCompact(l)) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(l);
    if (v < 0) return false;
    *out = static_cast<std::uint64_t>(v);
    return true;
  }
#else
  const Py_ssize_t digits = Py_SIZE(o);
  if (digits == 0 || digits == 1) {
    *out = digits == 0 ? 0 : reinterpret_cast<PyLongObject*>(o)->ob_digit[0];
    return true;
  }
#endif
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = v;
  return true;
}

// The streamed path of a large batch (see streams()): the calling thread converts the regions
// of `source` (a list or tuple, see stream_source) and makes their Sequence objects a chunk at a
// time, while the pool's workers fetch into the objects of the chunks made before. The GIL
// stays held and no Python code runs meanwhile: a region that would need any (an int that is
// not exactly int or does not fit, a name that is no str or has no UTF-8 form, a tuple of the
// wrong size) or an allocation that fails ends the attempt, with nothing kept and no exception
// set, *done false: the general path then converts and fetches the batch and raises what it
// must. Otherwise as run_batch; `same_entry` and `same_index` describe `same_name` when given.
// With `rc` the workers turn each chunk they fetched into its reverse complement, and the
// objects get no name object (as replace_by_reverse_complement leaves them).
PyObject* stream_batch(FaidxObject* fo, PyObject* source, PyObject* same_object,
                       std::optional<std::string_view> same_name, std::size_t same_index,
                       const EntryNumbers* same_entry, bool rc, bool* done) {
  *done = true;
  const Faidx& fx = *fo->core;
  const bool with_name = same_entry == nullptr;
  const Py_ssize_t arity = with_name ? 3 : 2;
  PyObject* const* items = PySequence_Fast_ITEMS(source);
  const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source));
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  // Default-initialized: every item is written by produce before its chunk is handed out.
  std::unique_ptr<BatchItem[]> batch(new BatchItem[n]);
  std::vector<BatchFailure> failures(n / kStreamChunk + 1);
  BatchNames names(fo);
  // The regions' tuples and ints are read from memory, not from cache, one after the other: they
  // are asked for ahead, the tuple first and the fields it points to once it has arrived.
  constexpr std::size_t kTupleAhead = 16;
  constexpr std::size_t kFieldsAhead = 8;
  const auto prefetch_fields = [&](PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != arity) return;
    for (Py_ssize_t j = with_name ? 1 : 0; j < arity; ++j) {
      __builtin_prefetch(PyTuple_GET_ITEM(item, j));
    }
  };
  const auto produce = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kTupleAhead < n) __builtin_prefetch(items[i + kTupleAhead]);
      if (i + kFieldsAhead < n) prefetch_fields(items[i + kFieldsAhead]);
      PyObject* item = items[i];
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != arity) return false;
      PyObject* const* f = &PyTuple_GET_ITEM(item, 0);
      BatchItem& it = batch[i];
      PyObject* name_object = same_object;
      if (with_name) {
        if (!PyUnicode_Check(f[0])) return false;
        if (!names.find_str(f[0], &it.name, &it.index, &name_object)) {
          PyErr_Clear();
          return false;
        }
      } else {
        it.name = *same_name;
        it.index = same_index;
      }
      if (!exact_u64(f[arity - 2], &it.start) || !exact_u64(f[arity - 1], &it.end)) return false;
      PyObject* seq = new_empty_sequence(&it.record, rc ? nullptr : name_object);
      if (seq == nullptr) {
        PyErr_Clear();
        return false;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), seq);
    }
    return true;
  };
  const bool use_map = fx.has_map();
  const auto consume = [&](std::size_t begin, std::size_t end) {
    BatchFailure& failure = failures[begin / kStreamChunk];
    fetch_items(fx, std::span<BatchItem>(batch.get() + begin, end - begin), same_entry, use_map,
                failure);
    if (!rc || failure.position != SIZE_MAX) return;  // a failed batch returns no results
    for (std::size_t i = begin; i < end; ++i) {
      SequenceRecord& r = *batch[i].record;
      r = reverse_complement(r);
    }
  };
  if (!parallel_stream(n, kStreamChunk, produce, consume)) {
    *done = false;
    return nullptr;
  }
  for (std::size_t k = 0; k < failures.size(); ++k) {
    const BatchFailure& f = failures[k];
    if (f.position == SIZE_MAX) continue;
    const std::size_t i = k * kStreamChunk + f.position;
    return raise_batch_failure(f.error.get(), batch[i].record->seq, i, same_name);
  }
  return list.release();
}

// The object whose items the streamed path reads: the caller's list itself when it is exactly a
// list (no Python code runs on that path, so nothing can change the list meanwhile; the general
// path takes a tuple of its own later), else the tuple of region_tuple, stored in out->keep.
// Borrowed; nullptr with an exception set on failure.
PyObject* stream_source(PyObject* regions, ConvertedRegions* out) {
  if (PyList_CheckExact(regions)) return regions;
  out->keep = PyRef::steal(region_tuple(regions));
  return out->keep.get();
}

// Makes sure out->keep holds the regions' tuple for the general path; false with an exception.
bool keep_regions(PyObject* regions, ConvertedRegions* out) {
  if (!out->keep) out->keep = PyRef::steal(region_tuple(regions));
  return static_cast<bool>(out->keep);
}

std::size_t source_size(PyObject* source) {
  return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source));
}

PyObject* faidx_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"regions"};
    PyObject* regions;
    if (!bind_args("fetch_many", args, nargs, kwnames, names, 1, 1, &regions)) return nullptr;
    return fetch_many_to_python(self, regions);
  });
}

PyObject* faidx_fetch_many_same_chr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "regions"};
    PyObject* slots[2];
    std::string_view name;
    if (!bind_args("fetch_many_same_chr", args, nargs, kwnames, names, 2, 2, slots) ||
        !to_str(slots[0], &name, "name")) {
      return nullptr;
    }
    return fetch_many_same_chr_to_python(self, slots[0], name, slots[1]);
  });
}

// --- Pickling and copying ------------------------------------------------------------------------

// A pickle holds the file name and every constructor option; loading it opens the file again
// by the usual rules (the index read, or built when missing or stale).
PyObject* faidx_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded([&]() -> PyObject* {
    return reduce_by_class(Py_TYPE(self), faidx_pickle_args(self, kFaidxOrder, kFaidxNames,
                                                            kParamCount, "Faidx", protocol));
  });
}

PyObject* faidx_reduce(PyObject* self, PyObject* /*unused*/) {
  return faidx_reduce_ex(self, Py_None);
}

// A Faidx never changes: a copy, deep or not, may be the object itself.
PyObject* faidx_copy(PyObject* self, PyObject* /*unused*/) { return Py_NewRef(self); }

PyMethodDef faidx_methods[] = {
    {"fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(faidx_fetch)),
     METH_FASTCALL | METH_KEYWORDS, "fetch($self, name, start, end)\n--\n\n"},
    {"fetch_entire_sequence",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(faidx_fetch_entire_sequence)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_entire_sequence($self, name)\n--\n\nUltra-fast method for fetching entire sequences "
     "- bypasses all bounds checking"},
    {"fetch_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(faidx_fetch_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many($self, regions)\n--\n\nHigh-performance batch fetch for many sequences\n\n"
     "Efficiently processes large numbers of regions (e.g., 200,000+) using smart batching:\n"
     "- Sequential processing for small batches (< 1000 regions) to avoid overhead\n"
     "- Parallel processing for large batches to maximize throughput\n\n"
     "Args:\n    regions: List of (name, start, end) tuples specifying regions to fetch\n\n"
     "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n    >>> regions = [(\"chr1\", 1000, 2000), (\"chr2\", 5000, 6000)]\n"
     "    >>> sequences = faidx.fetch_many(regions)"},
    {"fetch_many_same_chr",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(faidx_fetch_many_same_chr)),
     METH_FASTCALL | METH_KEYWORDS,
     "fetch_many_same_chr($self, name, regions)\n--\n\n"
     "Ultra-fast batch fetch for regions from the same chromosome\n\n"
     "Optimized for BED file processing where many regions come from the same chromosome.\n"
     "Uses smart batching like fetch_many but optimized for single chromosome access.\n\n"
     "Args:\n    name: Chromosome/sequence name\n    regions: List of (start, end) tuples\n\n"
     "Returns:\n    List of Sequence objects in the same order as input regions\n\n"
     "Example:\n    >>> regions = [(1000, 2000), (5000, 6000), (10000, 11000)]\n"
     "    >>> sequences = faidx.fetch_many_same_chr(\"chr1\", regions)"},
    {"__reduce__", faidx_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__reduce_ex__", faidx_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"__copy__", faidx_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", faidx_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef faidx_getset[] = {
    {"keys", faidx_keys, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot faidx_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(faidx_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(faidx_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(faidx_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(faidx_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(faidx_repr)},
    {Py_tp_methods, faidx_methods},
    {Py_tp_getset, faidx_getset},
    {Py_sq_contains, reinterpret_cast<void*>(faidx_contains)},
    {Py_tp_doc, const_cast<char*>(
                    "Faidx(filename, indexname=None, as_raw=False, strict_bounds=False, "
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

bool convert_faidx_param(FaidxParam param, const char* name, PyObject* value, FaidxArgs* out) {
  FaidxOptions& o = out->options;
  switch (param) {
    case FaidxParam::filename: {
      std::string_view v;
      if (!to_str(value, &v, name) || !refuse_nul(v, name)) return false;
      o.filename = std::string(v);
      return true;
    }
    case FaidxParam::indexname:
      return convert_opt_text(value, name, &o.indexname) &&
             (!o.indexname || refuse_nul(*o.indexname, name));
    case FaidxParam::as_raw: return convert_flag(value, name, &o.as_raw);
    case FaidxParam::strict_bounds: return convert_flag(value, name, &o.strict_bounds);
    case FaidxParam::sequence_always_upper:
      return convert_flag(value, name, &o.sequence_always_upper);
    case FaidxParam::rebuild: return convert_flag(value, name, &o.rebuild);
    case FaidxParam::build_index: return convert_flag(value, name, &o.build_index);
    case FaidxParam::one_based_attributes:
      return convert_flag(value, name, &o.one_based_attributes);
    case FaidxParam::default_seq: return convert_opt_text(value, name, &o.default_seq);
    case FaidxParam::mutable_file: return convert_flag(value, name, &o.mutable_file);
    case FaidxParam::key_function:
      out->key_function = value == Py_None ? nullptr : value;
      return true;
    case FaidxParam::split_char: return convert_opt_text(value, name, &o.split_char);
    case FaidxParam::filt_function:
      out->filt_function = value == Py_None ? nullptr : value;
      return true;
    case FaidxParam::read_long_names: return convert_flag(value, name, &o.read_long_names);
    case FaidxParam::duplicate_action: {
      if (value == nullptr) return true;
      std::string_view v;
      if (!to_str(value, &v, name)) return false;
      o.duplicate_action = std::string(v);
      return true;
    }
    case FaidxParam::read_ahead: return to_opt_u64(value, &o.read_ahead, name);
  }
  return true;
}

namespace {

// Text options come back as the str they were given as; file names as fasta_repr shows them.
PyObject* text_value(const std::string& text, const char* errors) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors);
}

PyObject* opt_text_value(const std::optional<std::string>& text, const char* errors) {
  if (!text) Py_RETURN_NONE;
  return text_value(*text, errors);
}

PyObject* object_value(PyObject* o) { return Py_NewRef(o != nullptr ? o : Py_None); }

PyObject* param_value(const FaidxObject* fo, FaidxParam param) {
  const FaidxOptions& o = fo->core->options();
  switch (param) {
    case FaidxParam::filename: return text_value(o.filename, "surrogateescape");
    case FaidxParam::indexname: return opt_text_value(o.indexname, "surrogateescape");
    case FaidxParam::as_raw: return PyBool_FromLong(o.as_raw);
    case FaidxParam::strict_bounds: return PyBool_FromLong(o.strict_bounds);
    case FaidxParam::sequence_always_upper: return PyBool_FromLong(o.sequence_always_upper);
    case FaidxParam::rebuild: return PyBool_FromLong(o.rebuild);
    case FaidxParam::build_index: return PyBool_FromLong(o.build_index);
    case FaidxParam::one_based_attributes: return PyBool_FromLong(o.one_based_attributes);
    case FaidxParam::default_seq: return opt_text_value(o.default_seq, "strict");
    case FaidxParam::mutable_file: return PyBool_FromLong(o.mutable_file);
    case FaidxParam::key_function: return object_value(fo->key_function);
    case FaidxParam::split_char: return opt_text_value(o.split_char, "strict");
    case FaidxParam::filt_function: return object_value(fo->filt_function);
    case FaidxParam::read_long_names: return PyBool_FromLong(o.read_long_names);
    case FaidxParam::duplicate_action: return text_value(o.duplicate_action, "strict");
    case FaidxParam::read_ahead:
      if (!o.read_ahead) Py_RETURN_NONE;
      return PyLong_FromUnsignedLongLong(*o.read_ahead);
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* faidx_pickle_args(PyObject* faidx, const FaidxParam* order, const char* const* names,
                            int count, const char* owner, PyObject* protocol) {
  const FaidxObject* fo = as_faidx(faidx);
  PyRef args = PyRef::steal(PyTuple_New(count));
  if (!args) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject* value = param_value(fo, order[i]);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, value);
    const bool holds_object =
        order[i] == FaidxParam::key_function || order[i] == FaidxParam::filt_function;
    if (holds_object && value != Py_None &&
        !check_picklable(value, owner, names[i], protocol)) {
      return nullptr;
    }
  }
  return args.release();
}

PyObject* new_faidx(FaidxArgs&& args) {
  PyTypeObject* type = faidx_type();
  if (type == nullptr) return nullptr;
  auto opened = Faidx::open(std::move(args.options));
  if (!opened) return raise_error(opened.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FaidxObject* fo = as_faidx(self);
  fo->core = opened->release();
  fo->key_function = Py_XNewRef(args.key_function);
  fo->filt_function = Py_XNewRef(args.filt_function);
  return self;
}

PyTypeObject* faidx_type() {
  if (g_faidx_type == nullptr) {
    g_faidx_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&faidx_spec));
  }
  return g_faidx_type;
}

const Faidx& faidx_core(PyObject* o) { return *as_faidx(o)->core; }

PyObject* fetch_to_python(PyObject* faidx, PyObject* name_object, std::string_view name,
                          std::uint64_t start, std::uint64_t end) {
  const Faidx& fx = faidx_core(faidx);
  std::size_t index = NameTable::npos;
  PyObject* shared = nullptr;
  if (!find_record(faidx, name_object, name, &index, &shared)) return nullptr;
  if (index == NameTable::npos) {
    SequenceRecord unused;
    Status s = fx.fetch_into(unused, name, start, end);  // fails: the name has no entry
    return raise_error(s.error());
  }
  // The record is filled inside its object: no copy or move of the residues on this hot path.
  SequenceRecord* record = nullptr;
  PyRef seq = PyRef::steal(new_empty_sequence(&record, shared));
  if (!seq) return nullptr;
  if (Status s = fx.fetch_into(*record, name, fx.names().numbers_at(index), start, end); !s) {
    return raise_error(s.error());
  }
  if (!check_text(record->seq)) return nullptr;
  return seq.release();
}

bool find_record(PyObject* faidx, PyObject* name_object, std::string_view name,
                 std::size_t* index, PyObject** shared) {
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

PyObject* fetch_many_to_python(PyObject* faidx, PyObject* regions, bool rc) {
  ConvertedRegions converted;
  PyObject* source = stream_source(regions, &converted);
  if (source == nullptr) return nullptr;
  if (streams(faidx_core(faidx), source_size(source))) {
    bool done = false;
    PyObject* result = stream_batch(as_faidx(faidx), source, nullptr, std::nullopt,
                                    NameTable::npos, nullptr, rc, &done);
    if (done) return result;
  }
  if (!keep_regions(regions, &converted) || !convert_regions(true, &converted)) return nullptr;
  return replace_by_reverse_complement(run_batch(faidx, converted, nullptr, std::nullopt), rc);
}

PyObject* fetch_many_same_chr_to_python(PyObject* faidx, PyObject* name_object,
                                        std::string_view name, PyObject* regions, bool rc) {
  const Faidx& fx = faidx_core(faidx);
  ConvertedRegions converted;
  PyObject* source = stream_source(regions, &converted);
  if (source == nullptr) return nullptr;
  if (streams(fx, source_size(source))) {
    // Only for a name in the table: the general path raises for any other, once it has
    // converted every region.
    const std::size_t index = fx.names().find_index(name);
    PyObject* found =
        index != NameTable::npos ? record_name(as_faidx(faidx), index, name_object) : nullptr;
    if (found != nullptr) {
      PyRef shared = PyRef::borrow(found);  // the name cache may let it go during the batch
      const EntryNumbers entry = fx.names().numbers_at(index);
      bool done = false;
      PyObject* result =
          stream_batch(as_faidx(faidx), source, shared.get(), name, index, &entry, rc, &done);
      if (done) return result;
    }
    PyErr_Clear();  // a failure of record_name comes again below
  }
  if (!keep_regions(regions, &converted) || !convert_regions(false, &converted)) return nullptr;
  if (converted.regions.empty()) return PyList_New(0);
  const std::size_t index = fx.names().find_index(name);
  if (index == NameTable::npos) {
    return raise_error(FaidxError::of(ErrorKind::Fetch,
                                      "Sequence '" + std::string(name) + "' not found"));
  }
  const EntryNumbers entry = fx.names().numbers_at(index);
  // Every result shares the caller's name object (or the table's own).
  PyObject* found = record_name(as_faidx(faidx), index, name_object);
  if (found == nullptr) return nullptr;
  PyRef shared = PyRef::borrow(found);  // the name cache may let it go during the batch
  for (BatchRegion& r : converted.regions) r.name = name;
  return replace_by_reverse_complement(run_batch(faidx, converted, shared.get(), name, &entry),
                                       rc);
}

PyObject* checked_sequence(SequenceRecord&& record) {
  if (!check_text(record.seq)) return nullptr;
  return new_sequence(std::move(record));
}

}  // namespace tavlo::py
