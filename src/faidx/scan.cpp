// Line-by-line FASTA scan that derives the .fai entries.
#include "faidx/scan.hpp"

#include <cstring>

#include "faidx/file_io.hpp"
#include "faidx/text.hpp"

namespace tavlo {

void FastaScanner::finish_record() {
  if (!name_.empty()) entries_.push_back(IndexEntry{std::move(name_), cur_});
  name_.clear();
}

Status FastaScanner::line(const char* p, std::size_t len) {
  if (p[0] == '>') {
    finish_record();
    name_ = std::string(text::first_word(std::string_view(p + 1, len - 1)));
    cur_ = EntryNumbers{0, pos_ + len, 0, 0};
    lines_ = 0;
    ended_ = false;
    return Ok{};
  }
  if (name_.empty()) return Ok{};  // before the first header, or under a nameless one
  std::size_t n = len;
  while (n > 0 && (p[n - 1] == '\n' || p[n - 1] == '\r')) --n;
  if (lines_ == 0) {
    cur_.lenc = n;
    cur_.lenb = len;
    ended_ = n == 0;
  } else if (n == cur_.lenc && len == cur_.lenb && !ended_) {
    // a full line like the first
  } else if (n > cur_.lenc || (ended_ && n > 0)) {
    return FaidxError::of(ErrorKind::FastaIndexing,
                          "Different line length in sequence '" + name_ + "'");
  } else {
    ended_ = true;
  }
  cur_.rlen += n;
  ++lines_;
  return Ok{};
}

Result<std::size_t> FastaScanner::feed(std::string_view chunk, bool last) {
  const bool ascii = text::is_ascii(chunk.data(), chunk.size());
  const char* p = chunk.data();
  const char* end = p + chunk.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (nl == nullptr && !last) break;
    const std::size_t len = nl ? static_cast<std::size_t>(nl - p) + 1 : end - p;
    if (!ascii && !text::is_valid_utf8(p, len)) {
      return FaidxError::io("stream did not contain valid UTF-8");
    }
    if (Status s = line(p, len); !s) return std::move(s).error();
    pos_ += len;
    p += len;
  }
  if (last) finish_record();
  return static_cast<std::size_t>(p - chunk.data());
}

std::vector<IndexEntry> FastaScanner::take() { return std::move(entries_); }

Result<std::vector<IndexEntry>> scan_fasta(std::string_view contents) {
  FastaScanner scanner;
  // In slices, so that the ASCII pre-check of a slice stays in cache for the line walk.
  constexpr std::size_t kSlice = 1 << 20;
  std::size_t at = 0;
  do {
    const bool last = contents.size() - at <= kSlice;
    const std::size_t n = last ? contents.size() - at : kSlice;
    auto used = scanner.feed(contents.substr(at, n), last);
    if (!used) return std::move(used).error();
    at += *used;
    if (!last && *used == 0) {
      // One line longer than a slice: take it whole.
      const void* nl = std::memchr(contents.data() + at, '\n', contents.size() - at);
      const std::size_t len = nl ? static_cast<const char*>(nl) - (contents.data() + at) + 1
                                 : contents.size() - at;
      auto whole = scanner.feed(contents.substr(at, len), nl == nullptr);
      if (!whole) return std::move(whole).error();
      at += *whole;
    }
  } while (at < contents.size());
  // Ends the last record (a no-op when the last slice already did).
  auto r = scanner.feed({}, true);
  if (!r) return std::move(r).error();
  return scanner.take();
}

Result<std::vector<IndexEntry>> scan_fasta_fd(int fd) {
  FastaScanner scanner;
  std::string buf(4 << 20, '\0');
  std::size_t have = 0;
  std::uint64_t at = 0;
  while (true) {
    if (have == buf.size()) buf.resize(buf.size() * 2);
    const ssize_t r = pread_full(fd, buf.data() + have, buf.size() - have, at);
    if (r < 0) return FaidxError::io_errno(errno);
    at += static_cast<std::uint64_t>(r);
    have += static_cast<std::size_t>(r);
    const bool last = r == 0;
    auto used = scanner.feed(std::string_view(buf.data(), have), last);
    if (!used) return std::move(used).error();
    if (last) break;
    std::memmove(buf.data(), buf.data() + *used, have - *used);
    have -= *used;
  }
  return scanner.take();
}

}  // namespace tavlo
