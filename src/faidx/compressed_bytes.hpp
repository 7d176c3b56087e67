// The bytes of a compressed file as its readers see them: a memory map, a descriptor, or a reader
// of byte ranges (a remote object through its cache of blocks).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "errors/errors.hpp"
#include "faidx/file_io.hpp"

namespace tavlo {

// Positioned reads of an object that is neither mapped nor a local file. Thread-safe.
class RangeReader {
 public:
  virtual ~RangeReader() = default;
  // Replaces `out` with bytes [at, at + n) of the object, all of them (the caller keeps to its
  // size), or fails.
  virtual Status read(std::uint64_t at, std::size_t n, std::string& out) const = 0;
};

// Where a compressed file's bytes are: `map` when not null, else `ranges` when not null, else
// positioned reads of `fd`. None is owned.
struct CompressedBytes {
  const char* map = nullptr;
  int fd = -1;
  std::uint64_t size = 0;
  const RangeReader* ranges = nullptr;

  // Bytes [at, at + n), fewer at the end of the file (or when a descriptor reads short): the map
  // itself, or read into `buf`. Valid while both are.
  Result<std::string_view> get(std::uint64_t at, std::size_t n, std::string& buf) const {
    if (at >= size) return std::string_view();
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - at));
    if (map != nullptr) return std::string_view(map + at, n);
    if (ranges != nullptr) {
      if (Status s = ranges->read(at, n, buf); !s) return std::move(s).error();
      return std::string_view(buf);
    }
    buf.resize(n);
    const ssize_t r = pread_full(fd, buf.data(), n, at);
    if (r < 0) return FaidxError::io_errno(errno);
    buf.resize(static_cast<std::size_t>(r));
    return std::string_view(buf);
  }
};

}  // namespace tavlo
