// fetch_array: converts the windows (columns through the buffer protocol, or tuples), validates
// the output before anything is written, and fills it with the interpreter lock released.
#include "faidx/array_py.hpp"

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "errors/errors_py.hpp"
#include "faidx/array_fill.hpp"
#include "faidx/faidx_py.hpp"
#include "sequence/encode.hpp"

namespace tavlo::py {

namespace {

// --- Columns ----------------------------------------------------------------------------------

enum class CellKind { Signed, Unsigned, Ucs4, Bytes, Objects };

// One column of the input: a one-dimensional buffer (NumPy arrays, array.array, memoryviews),
// read in place, or else any sequence, read item by item. No object is made per cell of a buffer.
class Column {
 public:
  Column() = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() {
    if (has_view_) PyBuffer_Release(&view_);
  }

  // False with TypeError raised when `o` is neither a one-dimensional buffer of a supported
  // format nor a sequence.
  bool open(PyObject* o, const char* what) {
    what_ = what;
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be a column of values, not %.200s", what,
                   Py_TYPE(o)->tp_name);
      return false;
    }
    if (PyObject_CheckBuffer(o)) {
      if (!open_buffer(o)) return false;
      if (kind_ != CellKind::Objects) return true;
      // NumPy's object arrays (pandas' str columns) export their object pointers: read them
      // as a sequence instead.
      PyBuffer_Release(&view_);
      has_view_ = false;
    }
    items_ = PyRef::steal(PySequence_Fast(o, ""));
    if (!items_) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s' must be a sequence or a one-dimensional array, not %.200s",
                   what, Py_TYPE(o)->tp_name);
      return false;
    }
    kind_ = CellKind::Objects;
    size_ = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items_.get()));
    return true;
  }

  CellKind kind() const { return kind_; }
  std::size_t size() const { return size_; }
  const char* what() const { return what_; }
  // The raw bytes of cell i of a buffer, and their count.
  const unsigned char* cell(std::size_t i) const {
    return static_cast<const unsigned char*>(view_.buf) + static_cast<Py_ssize_t>(i) * stride_;
  }
  std::size_t cell_bytes() const { return static_cast<std::size_t>(view_.itemsize); }
  PyObject* object(std::size_t i) const {
    return PySequence_Fast_ITEMS(items_.get())[static_cast<Py_ssize_t>(i)];
  }

  // Cell i as a signed 64-bit integer; false with an exception set when it is not an integer or
  // does not fit.
  bool integer(std::size_t i, std::int64_t* out) const {
    if (native64_) {  // the common case: int64 in native order
      std::memcpy(out, cell(i), 8);
      return true;
    }
    if (kind_ == CellKind::Signed || kind_ == CellKind::Unsigned) {
      std::uint64_t raw = 0;
      read_int(cell(i), &raw);
      if (kind_ == CellKind::Unsigned && raw > static_cast<std::uint64_t>(INT64_MAX)) {
        PyErr_Format(PyExc_OverflowError, "%s[%zu] is too large", what_, i);
        return false;
      }
      *out = static_cast<std::int64_t>(raw);
      return true;
    }
    if (kind_ != CellKind::Objects) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must hold integers", what_);
      return false;
    }
    return object_integer(object(i), out, i);
  }

  bool object_integer(PyObject* o, std::int64_t* out, std::size_t i) const {
    if (!PyLong_Check(o)) {
      if (!PyIndex_Check(o) || PyBool_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s[%zu] must be an integer, not %.200s", what_, i,
                     Py_TYPE(o)->tp_name);
        return false;
      }
      PyRef v = PyRef::steal(PyNumber_Index(o));
      if (!v) return false;
      return object_integer(v.get(), out, i);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) {
      PyErr_Format(PyExc_OverflowError, "%s[%zu] does not fit a signed 64-bit integer", what_, i);
      return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }

 private:
  bool open_buffer(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) return false;
    has_view_ = true;
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be one-dimensional, not %d-dimensional",
                   what_, view_.ndim);
      return false;
    }
    size_ = static_cast<std::size_t>(view_.shape[0]);
    stride_ = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
    std::string_view f = view_.format != nullptr ? view_.format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<' || f[0] == '>' || f[0] == '!')) {
      swap_ = (f[0] == '>' || f[0] == '!') == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
      f.remove_prefix(1);
    }
    while (!f.empty() && f[0] >= '0' && f[0] <= '9') f.remove_prefix(1);  // a count: "5w"
    const std::size_t size = cell_bytes();
    if (f == "w" && size % 4 == 0) {
      kind_ = CellKind::Ucs4;
    } else if (f == "s") {
      kind_ = CellKind::Bytes;
    } else if (f.size() == 1 && std::string_view("bhilqn").find(f[0]) != std::string_view::npos &&
               size >= 1 && size <= 8) {
      kind_ = CellKind::Signed;
      native64_ = size == 8 && !swap_;
    } else if (f.size() == 1 && std::string_view("BHILQN?").find(f[0]) != std::string_view::npos &&
               size >= 1 && size <= 8) {
      kind_ = CellKind::Unsigned;
    } else if (f == "O") {
      kind_ = CellKind::Objects;
    } else {
      PyErr_Format(PyExc_TypeError, "argument '%s' holds values of buffer format '%s'; it must "
                   "hold integers or text", what_, view_.format != nullptr ? view_.format : "");
      return false;
    }
    return true;
  }

  // The integer of a cell, sign-extended for signed kinds, in native byte order.
  void read_int(const unsigned char* p, std::uint64_t* out) const {
    const std::size_t n = cell_bytes();
    unsigned char b[8];
    for (std::size_t k = 0; k < n; ++k) b[k] = swap_ ? p[n - 1 - k] : p[k];
    std::uint64_t v = 0;
    if (n == 8) {
      std::memcpy(&v, b, 8);
    } else if (n == 4) {
      std::uint32_t x;
      std::memcpy(&x, b, 4);
      v = kind_ == CellKind::Signed ? static_cast<std::uint64_t>(static_cast<std::int32_t>(x)) : x;
    } else if (n == 2) {
      std::uint16_t x;
      std::memcpy(&x, b, 2);
      v = kind_ == CellKind::Signed ? static_cast<std::uint64_t>(static_cast<std::int16_t>(x)) : x;
    } else if (n == 1) {
      v = kind_ == CellKind::Signed ? static_cast<std::uint64_t>(static_cast<std::int8_t>(b[0]))
                                    : b[0];
    } else {
      // Odd widths: little-endian bytes, sign-extended from the top one.
      for (std::size_t k = n; k-- > 0;) v = (v << 8) | b[k];
      if (kind_ == CellKind::Signed && (b[n - 1] & 0x80)) v |= ~std::uint64_t{0} << (8 * n);
    }
    *out = v;
  }

  const char* what_ = "";
  Py_buffer view_{};
  bool has_view_ = false;
  bool swap_ = false;
  bool native64_ = false;
  Py_ssize_t stride_ = 0;
  PyRef items_;
  CellKind kind_ = CellKind::Objects;
  std::size_t size_ = 0;
};

// --- Names ------------------------------------------------------------------------------------

FaidxError name_not_found(std::string_view name) {
  std::string text = "Sequence '";
  text.append(name);
  text += "' not found";
  return FaidxError::of(ErrorKind::Fetch, std::move(text));
}

// Record numbers from names: str or text cells looked up in the name table, integers taken as
// positions in the order of `keys`. The last name looked up is remembered, since loaders often
// draw many windows from one record in a row.
class NameResolver {
 public:
  explicit NameResolver(const NameTable& names) : names_(names) {}

  bool number(std::int64_t v, std::uint32_t* out) {
    if (v < 0 || static_cast<std::uint64_t>(v) >= names_.size()) {
      raise_error(FaidxError::of(ErrorKind::Fetch,
                                 "Sequence number " + std::to_string(v) +
                                     " not found (the index holds " +
                                     std::to_string(names_.size()) + " sequences)"));
      return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return true;
  }

  // `key` (the cell's bytes as stored, or the name itself) is remembered with the record it
  // named, so that a name met again costs a hash of its bytes and a comparison; the UTF-8 name
  // is made only on a miss, by `name`.
  template <class MakeName>
  bool cached(std::string_view key, std::uint32_t* out, MakeName&& name) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ key.size();
    std::size_t k = 0;
    for (; k + 8 <= key.size(); k += 8) {
      std::uint64_t w;
      std::memcpy(&w, key.data() + k, 8);
      h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    }
    for (; k < key.size(); ++k) {
      h = (h ^ static_cast<unsigned char>(key[k])) * 0x94D049BB133111EBULL;
    }
    Entry& e = cache_[(h ^ (h >> 29)) % kCache];
    if (e.used && e.key == key) {
      *out = e.record;
      return true;
    }
    const std::string_view text = name();
    const std::size_t i = names_.find_index(text);
    if (i == NameTable::npos) {
      raise_error(name_not_found(text));
      return false;
    }
    e.key.assign(key);
    e.record = static_cast<std::uint32_t>(i);
    e.used = true;
    *out = e.record;
    return true;
  }

  bool text(std::string_view name, std::uint32_t* out) {
    return cached(name, out, [&] { return name; });
  }

  bool object(PyObject* o, std::size_t row, const Column& col, std::uint32_t* out) {
    if (PyUnicode_Check(o)) {
      if (o == last_object_) {
        *out = last_object_record_;
        return true;
      }
      Py_ssize_t len = 0;
      const char* data = PyUnicode_AsUTF8AndSize(o, &len);
      if (data == nullptr || !text(std::string_view(data, static_cast<std::size_t>(len)), out)) {
        return false;
      }
      // Borrowed: the column's sequence holds the object for the whole conversion.
      last_object_ = o;
      last_object_record_ = *out;
      return true;
    }
    std::int64_t v;
    if (!col.object_integer(o, &v, row)) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "names[%zu] must be str or an integer, not %.200s", row,
                     Py_TYPE(o)->tp_name);
      }
      return false;
    }
    return number(v, out);
  }

  bool cell(const Column& col, std::size_t i, std::uint32_t* out) {
    switch (col.kind()) {
      case CellKind::Signed:
      case CellKind::Unsigned: {
        std::int64_t v;
        return col.integer(i, &v) && number(v, out);
      }
      case CellKind::Bytes: {
        const auto* p = reinterpret_cast<const char*>(col.cell(i));
        std::size_t n = col.cell_bytes();
        while (n > 0 && p[n - 1] == '\0') --n;  // NumPy pads shorter texts with NULs
        return text(std::string_view(p, n), out);
      }
      case CellKind::Ucs4: {
        const auto* p = col.cell(i);
        const std::size_t chars = col.cell_bytes() / 4;
        return cached(std::string_view(reinterpret_cast<const char*>(p), chars * 4), out,
                      [&] { return ucs4(p, chars); });
      }
      case CellKind::Objects: return object(col.object(i), i, col, out);
    }
    return false;
  }

 private:
  // A fixed-width UCS-4 cell (NumPy's str arrays), NUL-padded, as UTF-8.
  std::string_view ucs4(const unsigned char* p, std::size_t chars) {
    utf8_.clear();
    for (std::size_t k = 0; k < chars; ++k) {
      std::uint32_t c;
      std::memcpy(&c, p + 4 * k, 4);
      if (c == 0) break;
      if (c < 0x80) {
        utf8_.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        utf8_.push_back(static_cast<char>(0xC0 | (c >> 6)));
        utf8_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
        utf8_.push_back(static_cast<char>(0xE0 | (c >> 12)));
        utf8_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        utf8_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      } else {
        utf8_.push_back(static_cast<char>(0xF0 | ((c >> 18) & 0x07)));
        utf8_.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        utf8_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        utf8_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    return utf8_;
  }

  struct Entry {
    std::string key;
    std::uint32_t record = 0;
    bool used = false;
  };
  static constexpr std::size_t kCache = 64;

  const NameTable& names_;
  std::string utf8_;
  Entry cache_[kCache];
  PyObject* last_object_ = nullptr;
  std::uint32_t last_object_record_ = 0;
};

// --- Strands ----------------------------------------------------------------------------------

// 1 for "-" or -1, 0 for "+", "." or +1, 0; -1 with ValueError raised for anything else.
int strand_of_text(std::string_view s, std::size_t row) {
  if (s == "+" || s == ".") return 0;
  if (s == "-") return 1;
  PyErr_Format(PyExc_ValueError, "strands[%zu] must be '+', '-' or '.', not '%.20s'", row,
               std::string(s).c_str());
  return -1;
}

int strand_of_number(std::int64_t v, std::size_t row) {
  if (v == 1 || v == 0) return 0;
  if (v == -1) return 1;
  PyErr_Format(PyExc_ValueError, "strands[%zu] must be +1, -1 or 0, not %lld", row,
               static_cast<long long>(v));
  return -1;
}

bool convert_strands(const Column& col, std::vector<std::uint8_t>* out) {
  out->resize(col.size());
  for (std::size_t i = 0; i < col.size(); ++i) {
    int s = -1;
    switch (col.kind()) {
      case CellKind::Signed:
      case CellKind::Unsigned: {
        std::int64_t v;
        if (!col.integer(i, &v)) return false;
        s = strand_of_number(v, i);
        break;
      }
      case CellKind::Bytes: {
        const auto* p = reinterpret_cast<const char*>(col.cell(i));
        std::size_t n = col.cell_bytes();
        while (n > 0 && p[n - 1] == '\0') --n;
        s = strand_of_text(std::string_view(p, n), i);
        break;
      }
      case CellKind::Ucs4: {
        std::uint32_t c = 0, next = 0;
        std::memcpy(&c, col.cell(i), 4);
        if (col.cell_bytes() >= 8) std::memcpy(&next, col.cell(i) + 4, 4);
        const char one[2] = {static_cast<char>(c < 0x80 && next == 0 ? c : '?'), '\0'};
        s = strand_of_text(c == 0 ? std::string_view() : std::string_view(one, 1), i);
        break;
      }
      case CellKind::Objects: {
        PyObject* o = col.object(i);
        if (PyUnicode_Check(o)) {
          Py_ssize_t len = 0;
          const char* d = PyUnicode_AsUTF8AndSize(o, &len);
          if (d == nullptr) return false;
          s = strand_of_text(std::string_view(d, static_cast<std::size_t>(len)), i);
        } else {
          std::int64_t v;
          if (!col.object_integer(o, &v, i)) return false;
          s = strand_of_number(v, i);
        }
        break;
      }
    }
    if (s < 0) return false;
    (*out)[i] = static_cast<std::uint8_t>(s);
  }
  return true;
}

// --- Windows ----------------------------------------------------------------------------------

// The converted windows: record numbers and starts per row, one width for all.
struct Windows {
  std::vector<std::uint32_t> records;
  std::vector<std::int64_t> starts;
  std::uint64_t width = 0;
  bool width_known = false;
};

// Accepts row i's window [start, end]: its width must be that of the rows before it.
bool add_window(Windows* w, std::size_t i, std::int64_t start, std::int64_t end) {
  std::int64_t span;
  if (__builtin_sub_overflow(end, start, &span) || span == INT64_MAX) {
    PyErr_Format(PyExc_OverflowError, "region %zu is too long", i);
    return false;
  }
  if (span < -1) {
    PyErr_Format(PyExc_ValueError, "region %zu ends (%lld) before it starts (%lld)", i,
                 static_cast<long long>(end), static_cast<long long>(start));
    return false;
  }
  const auto width = static_cast<std::uint64_t>(span + 1);
  if (!w->width_known) {
    w->width = width;
    w->width_known = true;
  } else if (width != w->width) {
    PyErr_Format(PyExc_ValueError,
                 "every region must have the same length: region 0 has %llu positions, "
                 "region %zu has %llu",
                 static_cast<unsigned long long>(w->width), i,
                 static_cast<unsigned long long>(width));
    return false;
  }
  w->starts[i] = start;
  return true;
}

bool convert_columns(const NameTable& table, PyObject* names, PyObject* starts, PyObject* ends,
                     Windows* w) {
  Column cn, cs, ce;
  if (!cn.open(names, "names") || !cs.open(starts, "starts") || !ce.open(ends, "ends")) {
    return false;
  }
  const std::size_t n = cn.size();
  if (cs.size() != n || ce.size() != n) {
    PyErr_Format(PyExc_ValueError, "names, starts and ends must be as long as each other "
                 "(%zu, %zu and %zu)", n, cs.size(), ce.size());
    return false;
  }
  w->records.resize(n);
  w->starts.resize(n);
  NameResolver resolver(table);
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t s, e;
    if (!resolver.cell(cn, i, &w->records[i]) || !cs.integer(i, &s) || !ce.integer(i, &e) ||
        !add_window(w, i, s, e)) {
      return false;
    }
  }
  return true;
}

bool convert_tuples(const NameTable& table, PyObject* regions, Windows* w) {
  Column rows;
  if (!rows.open(regions, "regions")) return false;
  if (rows.kind() != CellKind::Objects) {
    PyErr_SetString(PyExc_TypeError, "regions must be a sequence of (name, start, end)");
    return false;
  }
  const std::size_t n = rows.size();
  w->records.resize(n);
  w->starts.resize(n);
  NameResolver resolver(table);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = rows.object(i);
    PyRef fast;
    if (!PyTuple_Check(item)) {
      fast = PyRef::steal(PySequence_Fast(item, ""));
      if (!fast) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "regions[%zu] must be a (name, start, end) tuple, not "
                     "%.200s", i, Py_TYPE(item)->tp_name);
        return false;
      }
      item = fast.get();
    }
    if (PySequence_Fast_GET_SIZE(item) != 3) {
      PyErr_Format(PyExc_ValueError, "regions[%zu] must hold 3 items (name, start, end), not %zd",
                   i, PySequence_Fast_GET_SIZE(item));
      return false;
    }
    PyObject** f = PySequence_Fast_ITEMS(item);
    std::int64_t s, e;
    if (!resolver.object(f[0], i, rows, &w->records[i]) || !rows.object_integer(f[1], &s, i) ||
        !rows.object_integer(f[2], &e, i) || !add_window(w, i, s, e)) {
      return false;
    }
  }
  return true;
}

// --- Options and output ------------------------------------------------------------------------

bool convert_encoding(PyObject* o, Encoding* out) {
  if (o == nullptr || o == Py_None) {
    *out = Encoding::Bytes;
    return true;
  }
  std::string_view s;
  if (!to_str(o, &s, "encoding")) return false;
  if (s == "bytes") {
    *out = Encoding::Bytes;
  } else if (s == "codes") {
    *out = Encoding::Codes;
  } else if (s == "onehot") {
    *out = Encoding::OneHot;
  } else {
    PyErr_Format(PyExc_ValueError, "encoding must be 'bytes', 'codes' or 'onehot', not '%U'", o);
    return false;
  }
  return true;
}

PyObject* import_numpy() {
  PyObject* np = PyImport_ImportModule("numpy");
  if (np == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "fetch_array needs NumPy to make its array or read its dtype: install it "
                    "(pip install tavlo[numpy]), or pass out= and dtype as a string");
  }
  return np;
}

// The element type that `o` names: a string ("float32"), or anything numpy.dtype() accepts.
bool convert_dtype(PyObject* o, ElementType* out) {
  PyRef name;
  if (PyUnicode_Check(o)) {
    std::string_view s;
    if (!to_str(o, &s, "dtype")) return false;
    if (element_from_name(s, out)) return true;
  }
  PyRef np = PyRef::steal(import_numpy());
  if (!np) return false;
  PyRef dtype = PyRef::steal(PyObject_CallMethod(np.get(), "dtype", "O", o));
  if (!dtype) return false;
  name = PyRef::steal(PyObject_GetAttrString(dtype.get(), "name"));
  std::string_view s;
  if (!name || !to_str(name.get(), &s, "dtype")) return false;
  if (!element_from_name(s, out)) {
    PyErr_Format(PyExc_ValueError, "dtype %R is not supported: use uint8, int8, int16, int32, "
                 "int64, bool, float16, float32 or float64", o);
    return false;
  }
  return true;
}

// The element type of a buffer format, when it is one of ours with the right size.
bool element_of_format(const char* format, std::size_t itemsize, ElementType* out) {
  std::string_view f = format != nullptr ? format : "B";
  const bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
  if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<' || f[0] == '>' || f[0] == '!')) {
    const bool big = f[0] == '>' || f[0] == '!';
    if (itemsize > 1 && big == little) return false;  // not native byte order
    f.remove_prefix(1);
  }
  if (f.size() != 1) return false;
  ElementType t;
  switch (f[0]) {
    case 'B': t = ElementType::U8; break;
    case 'b': t = ElementType::I8; break;
    case '?': t = ElementType::Bool; break;
    case 'e': t = ElementType::F16; break;
    case 'f': t = ElementType::F32; break;
    case 'd': t = ElementType::F64; break;
    case 'h': t = ElementType::I16; break;
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      t = itemsize == 8 ? ElementType::I64 : itemsize == 4 ? ElementType::I32 : ElementType::I16;
      break;
    default: return false;
  }
  if (element_size(t) != itemsize) return false;
  *out = t;
  return true;
}

// The caller's out= buffer, checked against the shape and element type before anything is
// written; released when this goes.
class OutBuffer {
 public:
  ~OutBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool open(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
      if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
          PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "out must be a writable C-contiguous array, not %.200s",
                     Py_TYPE(o)->tp_name);
      }
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

std::string shape_text(const std::vector<Py_ssize_t>& shape) {
  std::string t = "(";
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (k > 0) t += ", ";
    t += std::to_string(shape[k]);
  }
  if (shape.size() == 1) t += ",";
  return t + ")";
}

// --- The call ---------------------------------------------------------------------------------

enum Param {
  kRegions, kNames, kStarts, kEnds, kEncoding, kDtype, kAlphabet, kChannelsFirst, kRc, kStrands,
  kFill, kOut, kStrict, kParamCount
};
const char* const kParamNames[] = {
    "regions", "names", "starts", "ends", "encoding", "dtype", "alphabet", "channels_first",
    "rc", "strands", "fill", "out", "strict_bounds"};

bool convert_fill(PyObject* o, unsigned char* out) {
  if (o == nullptr || o == Py_None) return true;
  std::string_view s;
  if (PyBytes_Check(o)) {
    s = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  } else if (!to_str(o, &s, "fill")) {
    return false;
  }
  if (s.size() != 1 || static_cast<unsigned char>(s[0]) >= 0x80) {
    PyErr_SetString(PyExc_ValueError, "fill must be one ASCII character");
    return false;
  }
  *out = static_cast<unsigned char>(s[0]);
  return true;
}

bool convert_flag(PyObject* o, bool* out, const char* what) {
  if (o == nullptr || o == Py_None) return true;
  return to_bool(o, out, what);
}

// Runs the fill with the interpreter lock released when the batch is large enough to be worth
// it. Signals are checked every few tens of milliseconds between chunks: a KeyboardInterrupt
// stops the fill and is raised. Returns false with an exception set.
bool run_fill(const Faidx& fx, const RowEncoder& encoder, const ArrayWindows& w,
              unsigned char* out) {
  constexpr std::uint64_t kReleaseResidues = 1 << 16;
  bool completed = true;
  std::uint64_t work = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(w.count), w.width, &work)) {
    work = UINT64_MAX;
  }
  if (work < kReleaseResidues) {
    Status s = fill_windows(fx, encoder, w, out, nullptr, &completed);
    if (!s) {
      raise_error(s.error());
      return false;
    }
    return true;
  }
  using Clock = std::chrono::steady_clock;
  constexpr auto kEvery = std::chrono::milliseconds(20);
  PyThreadState* state = PyEval_SaveThread();
  auto next = Clock::now() + kEvery;
  bool raised = false;
  const std::function<bool()> interrupted = [&]() -> bool {
    const auto now = Clock::now();
    if (now < next) return false;
    next = now + kEvery;
    // Taking the lock may wait for another thread's turn: hence the rate above.
    PyEval_RestoreThread(state);
    raised = PyErr_CheckSignals() != 0;
    state = PyEval_SaveThread();
    return raised;
  };
  Status s = [&]() -> Status {
    try {
      return fill_windows(fx, encoder, w, out, &interrupted, &completed);
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
  }();
  PyEval_RestoreThread(state);
  if (raised) return false;  // the handler's exception (KeyboardInterrupt) is set
  if (!s) {
    raise_error(s.error());
    return false;
  }
  return true;
}

}  // namespace

const char kFetchArrayDoc[] =
    "fetch_array($self, regions=None, *, names=None, starts=None, ends=None, encoding='bytes', "
    "dtype=None, alphabet='ACGT', channels_first=False, rc=False, strands=None, fill='N', "
    "out=None, strict_bounds=None)\n--\n\n"
    "Fixed-width windows as one array, one row per window.\n\n"
    "Windows come as columns (names, starts, ends: lists or one-dimensional arrays; names as str\n"
    "or as record numbers in the order of keys) or as a sequence of (name, start, end) tuples.\n"
    "Coordinates are 1-based and inclusive; every window has the same length, and positions\n"
    "before 1 or past the record's end are padding.\n\n"
    "encoding 'bytes' gives uint8 residues (N, L); 'codes' the position of each upper-cased\n"
    "residue in alphabet, len(alphabet) for others (N, L), int8 by default; 'onehot' one\n"
    "channel per letter of alphabet (N, L, C), or (N, C, L) with channels_first, uint8 by\n"
    "default. rc=True reverse-complements every row, strands ('+', '-', '.' or +1, -1, 0) each\n"
    "row. out= fills a writable C-contiguous array of the right shape and dtype instead of\n"
    "making one. The interpreter lock is released while large batches are filled.";

namespace {

bool given(PyObject* o) { return o != nullptr && o != Py_None; }

bool convert_options(PyObject* const* a, const Faidx& fx, EncodeOptions* options, bool* rc,
                     bool* strict) {
  *strict = fx.options().strict_bounds;
  if (!convert_encoding(a[kEncoding], &options->encoding) ||
      !convert_flag(a[kChannelsFirst], &options->channels_first, "channels_first") ||
      !convert_flag(a[kRc], rc, "rc") || !convert_flag(a[kStrict], strict, "strict_bounds") ||
      !convert_fill(a[kFill], &options->fill)) {
    return false;
  }
  if (given(a[kAlphabet])) {
    std::string_view s;
    if (!to_str(a[kAlphabet], &s, "alphabet")) return false;
    options->alphabet.assign(s);
  }
  options->upper = fx.options().sequence_always_upper;
  return true;
}

// The windows from either form, and the rows to reverse-complement from strands=.
bool convert_windows(PyObject* const* a, const Faidx& fx, bool rc, Windows* windows,
                     std::vector<std::uint8_t>* reverse_rows) {
  const bool columns = a[kNames] != nullptr || a[kStarts] != nullptr || a[kEnds] != nullptr;
  const bool tuples = given(a[kRegions]);
  if (columns == tuples || (columns && (a[kNames] == nullptr || a[kStarts] == nullptr ||
                                        a[kEnds] == nullptr))) {
    PyErr_SetString(PyExc_TypeError,
                    "fetch_array() takes either regions or all of names, starts and ends");
    return false;
  }
  if (fx.names().size() > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "the index holds too many sequences for fetch_array");
    return false;
  }
  if (columns ? !convert_columns(fx.names(), a[kNames], a[kStarts], a[kEnds], windows)
              : !convert_tuples(fx.names(), a[kRegions], windows)) {
    return false;
  }
  if (!given(a[kStrands])) return true;
  if (rc) {
    PyErr_SetString(PyExc_ValueError, "give rc=True or strands, not both");
    return false;
  }
  Column cs;
  if (!cs.open(a[kStrands], "strands")) return false;
  if (cs.size() != windows->records.size()) {
    PyErr_Format(PyExc_ValueError, "strands holds %zu values for %zu regions", cs.size(),
                 windows->records.size());
    return false;
  }
  return convert_strands(cs, reverse_rows);
}

// The element type (as given, else that of out=, else the encoding's default) and the encoder.
bool make_encoder(PyObject* dtype, const Py_buffer* out, EncodeOptions* options,
                  RowEncoder* encoder) {
  if (given(dtype)) {
    if (!convert_dtype(dtype, &options->element)) return false;
  } else if (out == nullptr || !element_of_format(out->format,
                                                  static_cast<std::size_t>(out->itemsize),
                                                  &options->element)) {
    options->element = options->encoding == Encoding::Codes ? ElementType::I8 : ElementType::U8;
  }
  std::string why;
  if (!RowEncoder::make(*options, encoder, &why)) {
    PyErr_SetString(PyExc_ValueError, why.c_str());
    return false;
  }
  return true;
}

// The shape of the output; an empty batch takes its width from out=, so that a reused buffer
// of shape (0, L) fits.
bool output_shape(const EncodeOptions& options, const RowEncoder& encoder, const Py_buffer* out,
                  Windows* windows, std::vector<Py_ssize_t>* shape) {
  const std::size_t n = windows->records.size();
  const bool channels_first = options.encoding == Encoding::OneHot && options.channels_first;
  const int width_axis = channels_first ? 2 : 1;
  if (n == 0 && out != nullptr && out->ndim > width_axis && out->shape != nullptr) {
    windows->width = static_cast<std::uint64_t>(out->shape[width_axis]);
  }
  std::uint64_t row = 0, total = 0;
  if (windows->width > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) ||
      __builtin_mul_overflow(windows->width,
                             std::uint64_t{encoder.channels() * encoder.element_bytes()}, &row) ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(n), row, &total) ||
      total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_MemoryError, "the array of these windows would be too large");
    return false;
  }
  const auto width = static_cast<Py_ssize_t>(windows->width);
  const auto channels = static_cast<Py_ssize_t>(encoder.channels());
  if (options.encoding != Encoding::OneHot) {
    *shape = {static_cast<Py_ssize_t>(n), width};
  } else if (channels_first) {
    *shape = {static_cast<Py_ssize_t>(n), channels, width};
  } else {
    *shape = {static_cast<Py_ssize_t>(n), width, channels};
  }
  return true;
}

// ValueError unless out= has exactly this shape and element type.
bool check_out(const Py_buffer& v, const std::vector<Py_ssize_t>& shape, ElementType element) {
  const bool shape_ok = v.ndim == static_cast<int>(shape.size()) && v.shape != nullptr &&
                        std::equal(shape.begin(), shape.end(), v.shape);
  if (!shape_ok) {
    std::vector<Py_ssize_t> got;
    for (int k = 0; k < v.ndim; ++k) got.push_back(v.shape != nullptr ? v.shape[k] : v.len);
    PyErr_Format(PyExc_ValueError, "out has shape %s; these windows need %s",
                 shape_text(got).c_str(), shape_text(shape).c_str());
    return false;
  }
  ElementType t;
  if (!element_of_format(v.format, static_cast<std::size_t>(v.itemsize), &t) || t != element) {
    PyErr_Format(PyExc_ValueError, "out holds elements of buffer format '%s' (%zd bytes); "
                 "these windows need %s", v.format != nullptr ? v.format : "B", v.itemsize,
                 std::string(element_name(element)).c_str());
    return false;
  }
  return true;
}

// A new numpy.empty array of `shape` and `element`, and its data.
PyObject* new_array(const std::vector<Py_ssize_t>& shape, ElementType element,
                    unsigned char** data) {
  PyRef np = PyRef::steal(import_numpy());
  if (!np) return nullptr;
  PyRef dims = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!dims) return nullptr;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    PyObject* d = PyLong_FromSsize_t(shape[k]);
    if (d == nullptr) return nullptr;
    PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(k), d);
  }
  const std::string type(element_name(element));
  PyRef array = PyRef::steal(PyObject_CallMethod(np.get(), "empty", "Os", dims.get(),
                                                 type.c_str()));
  if (!array) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    return nullptr;
  }
  *data = static_cast<unsigned char*>(view.buf);
  // The array owns its memory and nobody else sees it yet: the pointer outlives the view.
  PyBuffer_Release(&view);
  return array.release();
}

PyObject* fetch_array(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "fetch_array() takes at most 1 positional argument (%zd given)",
                 nargs);
    return nullptr;
  }
  PyObject* a[kParamCount];
  if (!bind_args("fetch_array", args, nargs, kwnames, kParamNames, kParamCount, 0, a)) {
    return nullptr;
  }
  // The core must outlive the fill, which runs without the interpreter lock.
  const PyRef keep = PyRef::borrow(faidx);
  const Faidx& fx = faidx_core(faidx);
  EncodeOptions options;
  bool rc = false, strict = false;
  Windows windows;
  std::vector<std::uint8_t> reverse_rows;
  if (!convert_options(a, fx, &options, &rc, &strict) ||
      !convert_windows(a, fx, rc, &windows, &reverse_rows)) {
    return nullptr;
  }
  // Everything is checked before anything is written.
  OutBuffer out;
  if (given(a[kOut]) && !out.open(a[kOut])) return nullptr;
  const Py_buffer* out_view = given(a[kOut]) ? &out.view() : nullptr;
  RowEncoder encoder;
  std::vector<Py_ssize_t> shape;
  if (!make_encoder(a[kDtype], out_view, &options, &encoder) ||
      !output_shape(options, encoder, out_view, &windows, &shape) ||
      (out_view != nullptr && !check_out(*out_view, shape, options.element))) {
    return nullptr;
  }
  const ArrayWindows w{windows.records.size(), windows.records.data(), windows.starts.data(),
                       windows.width, reverse_rows.empty() ? nullptr : reverse_rows.data(), rc};
  if (strict) {
    if (Status s = check_windows_inside(fx, w); !s) return raise_error(s.error());
  }
  unsigned char* data = nullptr;
  PyRef result;
  if (out_view != nullptr) {
    result = PyRef::borrow(a[kOut]);
    data = static_cast<unsigned char*>(out_view->buf);
  } else {
    result = PyRef::steal(new_array(shape, options.element, &data));
    if (!result) return nullptr;
  }
  if (!run_fill(fx, encoder, w, data)) return nullptr;
  return result.release();
}

}  // namespace

PyObject* fetch_array_to_python(PyObject* faidx, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] { return fetch_array(faidx, args, nargs, kwnames); });
}

}  // namespace tavlo::py
