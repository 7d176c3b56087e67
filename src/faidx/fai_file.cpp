// .fai parsing and atomic writing.
#include "faidx/fai_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "faidx/file_io.hpp"
#include "faidx/map_guard.hpp"
#include "faidx/pool.hpp"
#include "text/text.hpp"

namespace tavlo {

bool parse_u64(std::string_view field, std::uint64_t* out) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  if (field.empty()) return false;
  std::uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
      return false;
    }
  }
  *out = value;
  return true;
}

namespace {

const char* const kInvalid[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc",
                                 "Invalid lenb"};

// The usual line, "name<TAB>n<TAB>n<TAB>n<TAB>n" then LF, CR LF or the end of the text, with a name
// that starts with a printable ASCII byte and numbers of at most 19 plain digits: parsed without
// splitting, trimming or overflow checks. Anything else returns false and takes the general path,
// which gives the same result for these lines.
inline bool parse_plain_line(const char* p, const char* end, std::string_view* name,
                             EntryNumbers* out, const char** next) {
  const char* q = p;
  if (q == end || static_cast<unsigned char>(*q) <= 0x20 || static_cast<unsigned char>(*q) >= 0x7F) {
    return false;
  }
  while (q < end && *q != '\t' && *q != '\n') ++q;
  if (q == end || *q != '\t') return false;
  *name = std::string_view(p, static_cast<std::size_t>(q - p));
  std::uint64_t v[4];
  for (int f = 0; f < 4; ++f) {
    ++q;  // the tab
    const char* digits = q;
    std::uint64_t x = 0;
    while (q < end && static_cast<unsigned>(*q - '0') < 10u) x = x * 10 + static_cast<unsigned>(*q++ - '0');
    if (q == digits || q - digits > 19) return false;
    if (f < 3 && (q == end || *q != '\t')) return false;
    v[f] = x;
  }
  if (q < end && *q == '\r') ++q;
  if (q < end) {
    if (*q != '\n') return false;
    ++q;
  }
  *out = EntryNumbers{v[0], v[1], v[2], v[3]};
  *next = q;
  return true;
}

// One line by the general rules (see parse_fai); `*keep` says whether it yields an entry.
Status parse_general_line(std::string_view line, std::string_view* name, EntryNumbers* out,
                          bool* keep) {
  *keep = false;
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  line = text::trim(line);
  std::string_view fields[5];
  int count = 0;
  std::size_t from = 0;
  while (true) {
    const std::size_t tab = line.find('\t', from);
    if (count == 5) {
      count = 6;  // too many fields
      break;
    }
    fields[count++] = line.substr(from, tab == std::string_view::npos ? line.npos : tab - from);
    if (tab == std::string_view::npos) break;
    from = tab + 1;
  }
  if (count != 5) return Ok{};
  std::uint64_t v[4];
  for (int i = 0; i < 4; ++i) {
    if (!parse_u64(fields[i + 1], &v[i])) return FaidxError::of(ErrorKind::FastaIndexing, kInvalid[i]);
  }
  *name = fields[0];
  *out = EntryNumbers{v[0], v[1], v[2], v[3]};
  *keep = true;
  return Ok{};
}

}  // namespace

Status parse_fai(std::string_view contents, NameTable& table, bool bytewise) {
  std::size_t lines = 0;
  for (const char* p = contents.data(); (p = static_cast<const char*>(std::memchr(
                                             p, '\n', contents.data() + contents.size() - p)));
       ++p) {
    ++lines;
  }
  table.reserve(lines + 1, contents.size());
  // Text that is all ASCII (the usual case) needs no check line by line.
  const bool ascii = text::is_ascii(contents.data(), contents.size());

  NameTable::Loader loader(table);

  const char* p = contents.data();
  const char* const end = p + contents.size();
  while (p < end) {
    const char* next = nullptr;
    std::string_view name;
    EntryNumbers numbers;
    if (ascii && parse_plain_line(p, end, &name, &numbers, &next)) {
      loader.add(name, numbers);
      p = next;
      continue;
    }
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* stop = nl ? static_cast<const char*>(nl) + 1 : end;
    const std::string_view line(p, static_cast<std::size_t>(stop - p));
    p = stop;
    // Only a refused line is numbered: the lines before it are counted then.
    auto at_line = [&](FaidxError e) {
      e.line = 1 + static_cast<std::uint64_t>(std::count(contents.data(), line.data(), '\n'));
      return e;
    };
    if (!ascii && !bytewise && !text::is_valid_utf8(line.data(), line.size())) {
      loader.flush();
      return at_line(FaidxError::io("stream did not contain valid UTF-8"));
    }
    if (!ascii && parse_plain_line(line.data(), stop, &name, &numbers, &next) && next == stop) {
      loader.add(name, numbers);
      continue;
    }
    bool keep = false;
    if (Status s = parse_general_line(line, &name, &numbers, &keep); !s) {
      loader.flush();
      return at_line(std::move(s).error());
    }
    if (keep) loader.add(name, numbers);
  }
  loader.flush();
  return Ok{};
}

// Indexes this large or larger are parsed from a map of the file rather than a copy.
constexpr off_t kMapIndexFrom = 1 << 20;

Status read_fai(const std::string& path, NameTable& table, bool bytewise) {
  // Non-blocking, so that a named pipe put there cannot hold the open; then refused by type.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return FaidxError::of(ErrorKind::IndexNotFound, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FaidxError::io_errno(errno);
  if (const char* what = not_regular(st.st_mode); what && !S_ISDIR(st.st_mode)) {
    return not_regular_error(path, what);
  }
  // A large index is parsed straight from a map of the file, its pages mapped in one call:
  // an index of a million records is tens of megabytes, and copying them into memory of our own
  // (which the system must first clear) shows in the time to open. Should the file shrink or
  // grow meanwhile, it is read again below, whole.
  if (st.st_size >= kMapIndexFrom) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* m = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (m != MAP_FAILED) {
      Status parsed = Ok{};
      bool changed = false;
      {
        MapGuard guard;
        guard.watch(static_cast<const char*>(m), size);
        parsed = parse_fai(std::string_view(static_cast<const char*>(m), size), table, bytewise);
        changed = guard.changed();
      }
      ::munmap(m, size);
      struct stat now;
      if (!changed && ::fstat(fd.get(), &now) == 0 && now.st_size == st.st_size) return parsed;
      const bool keep_first = table.keeps_first();
      table = NameTable();
      table.set_keep_first(keep_first);
    }
  }
  // Read into a buffer that is not zero-filled first.
  if (st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    std::unique_ptr<char[]> buf(new char[size + 1]);
    const ssize_t got = pread_full(fd.get(), buf.get(), size + 1, 0);
    if (got < 0) return FaidxError::io_errno(errno);
    // A file that grew since fstat is read again whole, below.
    if (static_cast<std::size_t>(got) <= size) {
      return parse_fai(std::string_view(buf.get(), static_cast<std::size_t>(got)), table,
                       bytewise);
    }
  }
  std::string contents;
  if (Status s = read_all(fd.get(), contents); !s) return s;
  return parse_fai(contents, table, bytewise);
}

namespace {

// The number of decimal digits of v.
inline std::size_t decimal_digits(std::uint64_t v) {
  static constexpr std::uint64_t kPowers[20] = {1ULL,
                                                10ULL,
                                                100ULL,
                                                1000ULL,
                                                10000ULL,
                                                100000ULL,
                                                1000000ULL,
                                                10000000ULL,
                                                100000000ULL,
                                                1000000000ULL,
                                                10000000000ULL,
                                                100000000000ULL,
                                                1000000000000ULL,
                                                10000000000000ULL,
                                                100000000000000ULL,
                                                1000000000000000ULL,
                                                10000000000000000ULL,
                                                100000000000000000ULL,
                                                1000000000000000000ULL,
                                                10000000000000000000ULL};
  // 1233 / 4096 is just over log10(2): a first guess that is right or one short.
  const auto guess = static_cast<std::size_t>((64 - __builtin_clzll(v | 1)) * 1233) >> 12;
  return guess + ((v | 1) >= kPowers[guess]);
}

// Writes v in decimal so that its last digit is just before `end`; returns where its first digit
// is. Two digits at a time from a table, from the last digit back: an index of a million records
// has four million numbers, and a general formatter costs several times more.
inline char* put_digits_before(char* end, std::uint64_t v) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char* q = end;
  while (v >= 100) {
    const auto pair = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    *--q = kPairs[pair + 1];
    *--q = kPairs[pair];
  }
  if (v >= 10) {
    const auto pair = static_cast<std::size_t>(v) * 2;
    *--q = kPairs[pair + 1];
    *--q = kPairs[pair];
  } else {
    *--q = static_cast<char>('0' + v);
  }
  return q;
}

// Writes a tab and v in decimal at p and returns the end, but also writes up
// to kFieldSpill bytes of scratch past the end (which the caller has room for and writes over
// next): the field is made in a scratch block and copied whole, so that its digits need not be
// counted first.
constexpr std::size_t kFieldSpill = 24;
inline char* put_field(char* p, std::uint64_t v) {
  char tmp[2 * kFieldSpill];  // the bytes after the field are scratch: never written out
  char* const end = tmp + kFieldSpill;  // a tab and 20 digits fit before it
  char* q = put_digits_before(end, v);
  *--q = '\t';
  std::memcpy(p, q, kFieldSpill);
  return p + (end - q);
}

// memcpy for the short names that most records have, without a library call for them.
inline void copy_name(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else {
    std::memcpy(to, from, n);
  }
}

// Formats the .fai lines of records [begin, end) of `listing` a block at a time into one buffer
// (the text of a large index is never held whole, which would cost its pages as well as the
// copy), handing each block to put(data, size), which returns a Status.
template <class Put>
Status format_lines(const NameTable& listing, std::size_t begin, std::size_t end, Put&& put) {
  constexpr std::size_t kBlock = 1 << 18;
  // Tabs, digits and the line feed, and the scratch of the last field.
  constexpr std::size_t kNumbers = 4 * 21 + 1 + kFieldSpill;
  std::unique_ptr<char[]> buf(new char[kBlock]);
  std::size_t capacity = kBlock;
  char* p = buf.get();
  for (std::size_t i = begin; i < end; ++i) {
    const std::string_view name = listing.name_at(i);
    if (static_cast<std::size_t>(buf.get() + capacity - p) < name.size() + kNumbers) {
      if (Status w = put(buf.get(), static_cast<std::size_t>(p - buf.get())); !w) return w;
      p = buf.get();
      if (capacity < name.size() + kNumbers) {
        capacity = name.size() + kNumbers;
        buf.reset(new char[capacity]);
        p = buf.get();
      }
    }
    copy_name(p, name.data(), name.size());
    p += name.size();
    const EntryNumbers e = listing.numbers_at(i);
    p = put_field(p, e.rlen);
    p = put_field(p, e.offset);
    p = put_field(p, e.lenc);
    p = put_field(p, e.lenb);
    *p++ = '\n';
  }
  return put(buf.get(), static_cast<std::size_t>(p - buf.get()));
}

// The bytes of the .fai lines of the first `count` records of `listing`.
std::uint64_t lines_size(const NameTable& listing, std::size_t count) {
  std::uint64_t size = listing.name_bytes_before(count) + 5 * std::uint64_t{count};
  for (std::size_t i = 0; i < count; ++i) {
    const EntryNumbers e = listing.numbers_at(i);
    size += decimal_digits(e.rlen) + decimal_digits(e.offset) + decimal_digits(e.lenc) +
            decimal_digits(e.lenb);
  }
  return size;
}

Status pwrite_all(int fd, const char* data, std::size_t n, std::uint64_t at) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(at));
    if (w < 0) {
      if (errno == EINTR) continue;
      return FaidxError::io_errno(errno);
    }
    data += w;
    at += static_cast<std::uint64_t>(w);
    n -= static_cast<std::size_t>(w);
  }
  return Ok{};
}

}  // namespace

Status write_fai(const std::string& path, const NameTable& listing) {
  return write_fai(path, listing, [] {});
}

Status write_fai(const std::string& path, const NameTable& listing,
                 const std::function<void()>& beside) {
  return write_file_atomically(path, [&](int fd) -> Status {
    // The other thread, once `beside` is done, writes the lines of the last records at their
    // place in the file (a share that evens out the two threads when `beside` is the name
    // table's lookup); a small index is left to this one.
    const std::size_t n = listing.size();
    const std::size_t split = n < (1 << 16) ? n : n - n / 4;
    Status head = Ok{}, tail = Ok{};
    parallel_for(2, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        if (k == 0) {
          head = format_lines(listing, 0, split, [fd](const char* data, std::size_t size) {
            return write_all(fd, data, size);
          });
          continue;
        }
        beside();
        if (split == n) continue;
        std::uint64_t at = lines_size(listing, split);
        tail = format_lines(listing, split, n, [fd, &at](const char* data, std::size_t size) {
          Status w = pwrite_all(fd, data, size, at);
          at += size;
          return w;
        });
      }
    });
    if (!head) return head;
    return tail;
  });
}

Status write_file_atomically(const std::string& path, std::string_view contents) {
  return write_file_atomically(
      path, [&](int fd) { return write_all(fd, contents.data(), contents.size()); });
}

Status write_file_atomically(const std::string& path, const std::function<Status(int)>& fill) {
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  FileDescriptor fd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
          std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    // 0666 before the umask, as for any file the user creates.
    fd = FileDescriptor(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd || errno != EEXIST) break;
  }
  if (!fd) return FaidxError::io_errno(errno);
  Status written = Ok{};
  try {
    written = fill(fd.get());
  } catch (...) {
    fd.close();
    ::unlink(tmp.c_str());
    throw;
  }
  if (written) {
    const int err = fd.close();
    if (err != 0) written = FaidxError::io_errno(err);
  }
  if (written && ::rename(tmp.c_str(), path.c_str()) != 0) written = FaidxError::io_errno(errno);
  if (!written) {
    fd.close();
    ::unlink(tmp.c_str());
  }
  return written;
}

}  // namespace tavlo
