// .fai parsing and atomic writing.
#include "faidx/fai_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "faidx/file_io.hpp"
#include "sequence/text.hpp"

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

Status parse_fai(std::string_view contents, NameTable& table) {
  std::size_t lines = 0;
  for (const char* p = contents.data(); (p = static_cast<const char*>(std::memchr(
                                             p, '\n', contents.data() + contents.size() - p)));
       ++p) {
    ++lines;
  }
  table.reserve(lines + 1, 0);
  static const char* const kInvalid[4] = {"Invalid rlen", "Invalid offset", "Invalid lenc",
                                          "Invalid lenb"};
  std::size_t pos = 0;
  while (pos < contents.size()) {
    const char* start = contents.data() + pos;
    const void* nl = std::memchr(start, '\n', contents.size() - pos);
    const std::size_t len =
        nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1
           : contents.size() - pos;
    pos += len;
    std::string_view line(start, len);
    if (!text::is_valid_utf8(line.data(), line.size())) {
      return FaidxError::io("stream did not contain valid UTF-8");
    }
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
    if (count != 5) continue;
    std::uint64_t v[4];
    for (int i = 0; i < 4; ++i) {
      if (!parse_u64(fields[i + 1], &v[i])) return FaidxError::of(ErrorKind::FastaIndexing, kInvalid[i]);
    }
    table.insert(fields[0], EntryNumbers{v[0], v[1], v[2], v[3]});
  }
  return Ok{};
}

Status read_fai(const std::string& path, NameTable& table) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return FaidxError::of(ErrorKind::IndexNotFound, path);
  std::string contents;
  if (Status s = read_all(fd.get(), contents); !s) return s;
  return parse_fai(contents, table);
}

std::string format_fai(const std::vector<IndexEntry>& entries) {
  std::string out;
  std::size_t size = 0;
  for (const auto& e : entries) size += e.name.size() + 5 + 4 * 20;
  out.reserve(size);
  char num[24];
  for (const auto& e : entries) {
    out.append(e.name);
    for (std::uint64_t v : {e.numbers.rlen, e.numbers.offset, e.numbers.lenc, e.numbers.lenb}) {
      out.push_back('\t');
      auto r = std::to_chars(num, num + sizeof num, v);
      out.append(num, r.ptr);
    }
    out.push_back('\n');
  }
  return out;
}

Status write_fai(const std::string& path, const std::vector<IndexEntry>& entries) {
  return write_file_atomically(path, format_fai(entries));
}

Status write_file_atomically(const std::string& path, std::string_view contents) {
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
  Status written = write_all(fd.get(), contents.data(), contents.size());
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
