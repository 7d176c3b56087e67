// The batch fetches of Faidx and Fasta: region conversion, the name cache of a batch, and the
// streamed and general paths into the batch engine.
#include "faidx/batch_py.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int; part of Python.h from 3.11 on
#endif

#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "errors/errors_py.hpp"
#include "faidx/batch.hpp"
#include "faidx/faidx_py.hpp"
#include "sequence/sequence_py.hpp"
#include "text/text.hpp"

namespace tavlo::py {

namespace {

struct Region {
  std::string_view name;  // borrowed from the batch's tuple
  std::uint64_t start;
  std::uint64_t end;
};

// Regions converted to native values; `keep` holds the items (and so the name texts) alive.
struct ConvertedRegions {
  PyRef keep;
  std::vector<Region> regions;

  // The str region i's name came from (borrowed from `keep`), for regions that carry a name.
  PyObject* name_object(std::size_t i) const {
    return PyTuple_GET_ITEM(PySequence_Fast_ITEMS(keep.get())[i], 0);
  }
};

// False, with TypeError raised, unless `regions` (named `what`s in messages) is a sequence and
// not a str.
bool is_region_sequence(PyObject* regions, const char* what) {
  if (!PyUnicode_Check(regions) && PySequence_Check(regions)) return true;
  PyErr_Format(PyExc_TypeError, "%ss must be a sequence of tuples, not %.200s", what,
               Py_TYPE(regions)->tp_name);
  return false;
}

// A batch argument, a sequence (not a str), as a tuple of our own: an item's __index__ may run
// Python code that empties the caller's list, and the items (and the name texts borrowed from
// them) must outlive the whole batch. A new reference, or nullptr with an exception set.
PyObject* region_tuple(PyObject* regions) {
  if (!is_region_sequence(regions, "region")) return nullptr;
  if (PySequence_Size(regions) < 0) PyErr_Clear();  // only a hint: the tuple tells
  return PySequence_Tuple(regions);
}

// Converts the regions (`what`s in messages) held in out->keep (see region_tuple): tuples of
// (name, start, end) when `with_name`, else of (start, end); every region is converted before
// anything is fetched.
bool convert_regions(bool with_name, const char* what, ConvertedRegions* out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(out->keep.get());
  PyObject** items = PySequence_Fast_ITEMS(out->keep.get());
  const Py_ssize_t arity = with_name ? 3 : 2;
  out->regions.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s %zd must be a tuple, not %.200s", what, i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    if (PyTuple_GET_SIZE(item) != arity) {
      PyErr_Format(PyExc_ValueError, "%s %zd must be a tuple of %zd items, not %zd", what, i, arity,
                   PyTuple_GET_SIZE(item));
      return false;
    }
    Region r{};
    PyObject* const* f = &PyTuple_GET_ITEM(item, 0);
    if (with_name && !to_str(f[0], &r.name, "name")) return false;
    if (!to_u64(f[arity - 2], &r.start, "start") || !to_u64(f[arity - 1], &r.end, "end")) {
      return false;
    }
    out->regions.push_back(r);
  }
  return true;
}

// The shared name objects of a batch's records, memoized by the str each region's name comes
// from: the regions of one record mostly share one str object, so its UTF-8 form and the name
// table are consulted only when the object changes. The names handed out are the table's own
// (or, for a name it lacks, a copy), so that the workers read nothing of the caller's objects,
// which signal handlers may change while the batch runs; the memo holds its keys for the same
// reason (a freed str's address may come back as another str).
class BatchNames {
 public:
  explicit BatchNames(PyObject* faidx) : faidx_(faidx), table_(faidx_core(faidx).names()) {}
  BatchNames(const BatchNames&) = delete;
  BatchNames& operator=(const BatchNames&) = delete;
  ~BatchNames() {
    for (Memo& m : memo_) {
      Py_XDECREF(m.key);
      Py_XDECREF(m.object);
    }
  }

  // The name that str `given` holds (stored in *name, valid for the batch), its position in the
  // table and its shared object (borrowed), or NameTable::npos and nullptr when the table has no
  // such name. False with an exception set on failure.
  bool find(PyObject* given, std::string_view* name, std::size_t* index, PyObject** object) {
    const std::size_t set = ((reinterpret_cast<std::uintptr_t>(given) >> 4) *
                             0x9E3779B97F4A7C15ULL) >> (64 - kSetBits);
    Memo* ways = &memo_[set * 2];
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
    const std::string_view text(data, static_cast<std::size_t>(size));
    if (!find_record(faidx_, given, text, index, object)) return false;
    if (*index == NameTable::npos) {
      *name = unknown_.emplace_back(text);
      return true;
    }
    *name = table_.name_at(*index);
    // Held here too: the name cache may give the slot to another record meanwhile. The newer
    // entry goes first; the one it displaces stays as the second way.
    Py_XDECREF(ways[1].key);
    Py_XDECREF(ways[1].object);
    ways[1] = ways[0];
    ways[0] = Memo{Py_NewRef(given), *name, *index, Py_NewRef(*object)};
    return true;
  }

 private:
  static constexpr int kSetBits = 5;  // two entries a set
  struct Memo {
    PyObject* key = nullptr;  // a new reference while the batch runs
    std::string_view name;    // the table's name
    std::size_t index = 0;
    PyObject* object = nullptr;  // a new reference while the batch runs
  };
  PyObject* faidx_;  // borrowed: the batch holds it
  const NameTable& table_;
  Memo memo_[2 << kSetBits];
  std::deque<std::string> unknown_;  // the names the table lacks, met in this batch
};

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

// The record every region of fetch_many_same_chr reads: its name as given (`object`, borrowed
// from the caller) and, when the table holds it, its position and entry.
struct SameName {
  PyObject* object;
  std::string_view name;
  std::size_t index = NameTable::npos;
  EntryNumbers entry;
};

bool residues_are_text(const SequenceRecord& r) {
  return text::is_valid_utf8(r.seq.data(), r.seq.size());
}

// One large batch through the engine: its items, the list of their Sequence objects, and the
// first failure.
class LargeBatch {
 public:
  LargeBatch(PyObject* faidx, const SameName* same, bool rc, std::size_t n)
      : faidx_(faidx), same_(same), rc_(rc), n_(n), items_(new BatchItem[n]), names_(faidx) {
    options_.same_entry = same != nullptr ? &same->entry : nullptr;
    options_.reverse_complement = rc;
    options_.check = residues_are_text;
    list_ = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  }

  // The streamed path (see fetch_batch): the calling thread converts the regions of `source` (the
  // caller's list, or a tuple of our own) and makes their Sequence objects a chunk at a time,
  // while the pool's workers fetch into the objects of the chunks made before. No Python code
  // runs in the conversion: a region that would need any (an int that is not exactly int or does
  // not fit, a name that is no str or has no UTF-8 form, a tuple of the wrong size), an
  // allocation that fails, or a list that a signal handler changed in size between two chunks
  // ends the attempt, with nothing kept and no exception set, *done false.
  PyObject* stream(PyObject* source, bool* done) {
    if (!list_) return nullptr;
    BatchHooks hooks;
    hooks.produce = [&](std::size_t begin, std::size_t end) {
      // Read again for every chunk: a handler run between chunks may have grown the list.
      if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source)) != n_) return false;
      return produce(PySequence_Fast_ITEMS(source), begin, end);
    };
    return run(std::move(hooks), done);
  }

  // The general path: every region converted already, in `regions`.
  PyObject* fetch(const ConvertedRegions& converted) {
    if (!list_) return nullptr;
    for (std::size_t i = 0; i < n_; ++i) {
      const Region& r = converted.regions[i];
      if (!add(i, same_ != nullptr ? nullptr : converted.name_object(i), r.start, r.end)) {
        return nullptr;
      }
    }
    bool done = true;
    return run(BatchHooks{}, &done);
  }

 private:
  // Item i and its Sequence object, for a region of the name str `given` holds (ignored when the
  // batch reads one record). False with an exception set on failure.
  bool add(std::size_t i, PyObject* given, std::uint64_t start, std::uint64_t end) {
    BatchItem& it = items_[i];
    PyObject* object = nullptr;
    if (same_ != nullptr) {
      it.name = same_->name;
      it.index = same_->index;
      object = same_->object;
    } else if (!names_.find(given, &it.name, &it.index, &object)) {
      return false;
    }
    it.start = start;
    it.end = end;
    // Reverse-complemented results get no shared name object, as a Sequence's own would not.
    PyObject* seq = new_empty_sequence(&it.record, rc_ ? nullptr : object);
    if (seq == nullptr) return false;
    PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), seq);
    return true;
  }

  bool produce(PyObject* const* items, std::size_t begin, std::size_t end) {
    const Py_ssize_t arity = same_ == nullptr ? 3 : 2;
    // The regions' tuples and ints are read from memory, not from cache, one after the other:
    // they are asked for ahead, the tuple first and the fields it points to once it has arrived.
    constexpr std::size_t kTupleAhead = 16;
    constexpr std::size_t kFieldsAhead = 8;
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kTupleAhead < n_) __builtin_prefetch(items[i + kTupleAhead]);
      if (i + kFieldsAhead < n_) prefetch_fields(items[i + kFieldsAhead], arity);
      PyObject* item = items[i];
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != arity) return false;
      PyObject* const* f = &PyTuple_GET_ITEM(item, 0);
      std::uint64_t start, stop;
      if ((same_ == nullptr && !PyUnicode_Check(f[0])) || !exact_u64(f[arity - 2], &start) ||
          !exact_u64(f[arity - 1], &stop) || !add(i, f[0], start, stop)) {
        PyErr_Clear();
        return false;
      }
    }
    return true;
  }

  static void prefetch_fields(PyObject* item, Py_ssize_t arity) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != arity) return;
    for (Py_ssize_t j = arity == 3 ? 1 : 0; j < arity; ++j) {
      __builtin_prefetch(PyTuple_GET_ITEM(item, j));
    }
  }

  // Ctrl-C is looked for between chunks: it stops the batch, which raises KeyboardInterrupt.
  PyObject* run(BatchHooks hooks, bool* done) {
    bool interrupted = false;
    hooks.interrupted = [&] {
      if (!interrupted && PyErr_CheckSignals() != 0) interrupted = true;
      return interrupted;
    };
    BatchFailure failure;
    const bool finished =
        run_batch(faidx_core(faidx_), std::span<BatchItem>(items_.get(), n_), options_, hooks,
                  failure);
    if (interrupted) return nullptr;
    if (!finished) {
      *done = false;
      return nullptr;
    }
    if (failure.failed()) {
      const std::size_t i = failure.position();
      if (failure.error() == nullptr) {
        check_text(items_[i].record->seq);
        return nullptr;
      }
      return raise_batch_error(*failure.error(), i,
                               same_ != nullptr ? std::optional(same_->name) : std::nullopt);
    }
    return list_.release();
  }

  PyObject* faidx_;
  const SameName* same_;
  bool rc_;
  std::size_t n_;
  // Default-initialized: every item is written before its chunk is handed out.
  std::unique_ptr<BatchItem[]> items_;
  BatchNames names_;
  BatchOptions options_;
  PyRef list_;
};

// A small batch: the checked fetch of each region, warnings included, as fetch would do it.
PyObject* fetch_small(PyObject* faidx, const ConvertedRegions& converted, const SameName* same,
                      bool rc) {
  return new_list(converted.regions.size(), [&](std::size_t i) {
    const Region& r = converted.regions[i];
    PyObject* given = same != nullptr ? same->object : converted.name_object(i);
    PyObject* seq = fetch_to_python(faidx, given, r.name, r.start, r.end);
    if (seq != nullptr && rc) reverse_complement_in_place(seq);
    return seq;
  });
}

// Both batch fetches: a large batch on a plain file is first tried on the streamed path; any
// batch it does not take is converted whole (raising what conversion raises) and then fetched.
PyObject* fetch_batch(PyObject* faidx, PyObject* regions, SameName* same, bool rc) {
  // The caller's list is read in place by the streamed path; the general path takes a tuple of
  // its own (an item's __index__ may run Python code that changes the list).
  ConvertedRegions converted;
  PyObject* source = regions;
  if (!PyList_CheckExact(regions)) {
    converted.keep = PyRef::steal(region_tuple(regions));
    if (!converted.keep) return nullptr;
    source = converted.keep.get();
  }
  const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source));
  const bool large = n >= kParallelThreshold;
  const bool streams = large && !faidx_core(faidx).source().wants_file_order() &&
                       (same == nullptr || same->index != NameTable::npos);
  if (streams) {
    LargeBatch batch(faidx, same, rc, n);
    bool done = true;
    PyObject* result = batch.stream(source, &done);
    if (done) return result;
  }
  if (!converted.keep) converted.keep = PyRef::steal(region_tuple(regions));
  if (!converted.keep || !convert_regions(same == nullptr, "region", &converted)) return nullptr;
  if (same != nullptr) {
    if (converted.regions.empty()) return PyList_New(0);
    if (same->index == NameTable::npos) return raise_error(Faidx::not_found(same->name));
    for (Region& r : converted.regions) r.name = same->name;
  }
  if (!large) return fetch_small(faidx, converted, same, rc);
  LargeBatch batch(faidx, same, rc, converted.regions.size());
  return batch.fetch(converted);
}

}  // namespace

bool convert_intervals(PyObject* intervals, Intervals* out) {
  if (!is_region_sequence(intervals, "interval")) return false;
  ConvertedRegions converted;
  converted.keep = PyRef::steal(PySequence_Tuple(intervals));
  if (!converted.keep || !convert_regions(false, "interval", &converted)) return false;
  for (const Region& r : converted.regions) out->emplace_back(r.start, r.end);
  return true;
}

PyObject* fetch_many_method(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, bool with_rc) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"regions", "rc"};
    PyObject* slots[2];  // borrowed from args
    bool rc = false;
    if (!bind_args("fetch_many", args, nargs, kwnames, names, with_rc ? 2 : 1, 1, slots) ||
        (with_rc && !to_opt_bool(slots[1], &rc, "rc"))) {
      return nullptr;
    }
    return fetch_batch(faidx, slots[0], nullptr, rc);
  });
}

PyObject* fetch_many_same_chr_method(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, bool with_rc) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "regions", "rc"};
    PyObject* slots[3];  // borrowed from args
    std::string_view name;
    bool rc = false;
    if (!bind_args("fetch_many_same_chr", args, nargs, kwnames, names, with_rc ? 3 : 2, 2, slots) ||
        !to_str(slots[0], &name, "name") || (with_rc && !to_opt_bool(slots[2], &rc, "rc"))) {
      return nullptr;
    }
    SameName same{slots[0], name, NameTable::npos, {}};
    PyObject* object = nullptr;
    if (!find_record(faidx, slots[0], name, &same.index, &object)) return nullptr;
    // Held: the name cache may let the record's name object go during the batch.
    const PyRef shared = PyRef::borrow(object);
    if (object != nullptr) {
      same.entry = faidx_core(faidx).names().numbers_at(same.index);
      same.object = object;
    }
    return fetch_batch(faidx, slots[1], &same, rc);
  });
}

}  // namespace tavlo::py
