// Region readers: from the memory map and through the file descriptor.
#include "faidx/extract.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "faidx/file_io.hpp"

namespace tavlo {

namespace {

constexpr std::uint64_t kMax = UINT64_MAX;

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? kMax : r;
}

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kMax : r;
}

// True when some byte of w is below 0x0E, i.e. may be CR (0x0D) or LF (0x0A).
[[maybe_unused]] inline bool may_hold_terminator(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  return ((w - kOnes * 0x0E) & ~w & (kOnes * 0x80)) != 0;
}

}  // namespace

std::uint64_t region_span_bytes(const EntryNumbers& e, std::uint64_t count) {
  if (e.lenb < e.lenc) return kMax;  // nonsense widths: bounded by the end of the data only
  // One line for the short regions that most fetches ask for, without a division.
  const std::uint64_t lines = count <= e.lenc ? 1 : count / e.lenc + (count % e.lenc != 0);
  return sat_add(sat_add(count, e.lenb), sat_mul(lines, e.lenb - e.lenc));
}

std::uint64_t residue_offset(const EntryNumbers& e, std::uint64_t p, std::uint64_t* column) {
  const std::uint64_t i = p - 1;
  std::uint64_t line, col;
  // A 32-bit division is several times quicker than a 64-bit one, and it is on the path of
  // every fetch: positions and line widths almost always fit.
  if ((i | e.lenc) <= UINT32_MAX) {
    const auto i32 = static_cast<std::uint32_t>(i), w32 = static_cast<std::uint32_t>(e.lenc);
    line = i32 / w32;
    col = i32 % w32;
  } else {
    line = i / e.lenc;
    col = i % e.lenc;
  }
  if (column != nullptr) *column = col;
  return sat_add(sat_add(e.offset, col), sat_mul(e.lenb, line));
}

std::size_t append_residues(const char* p, std::size_t n, std::string& out, std::size_t want) {
  std::size_t have = out.size();
  if (have >= want) return 0;
  // Grow once; the loop writes through a raw pointer.
  out.resize(std::min(want, have + n));
  char* dst = out.data();
  std::size_t i = 0;
  while (i < n && have < want) {
#if defined(__SSE2__)
    // 16 bytes at a time: store them whole, then keep only those before the first CR or LF.
    if (n - i >= 16 && want - have >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const int stops = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                       _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + have), v);
      if (stops == 0) {
        have += 16;
        i += 16;
        continue;
      }
      const int clean = __builtin_ctz(static_cast<unsigned>(stops));
      have += clean;
      i += clean + 1;  // past the terminator byte
      continue;
    }
#else
    if (n - i >= 8 && want - have >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (!may_hold_terminator(w)) {
        std::memcpy(dst + have, &w, 8);
        have += 8;
        i += 8;
        continue;
      }
    }
#endif
    const char c = p[i++];
    if (c != '\n' && c != '\r') dst[have++] = c;
  }
  out.resize(have);
  return i;
}

namespace {

// Copies n bytes and tells whether any of them is CR or LF, in one pass that does not branch on
// the bytes (a branch waiting on a cache miss would hold back the loads after it).
bool copy_clean(char* dst, const char* src, std::size_t n) {
#if defined(__SSE2__)
  if (n >= 16) {
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    __m128i seen = _mm_setzero_si128();
    auto step = [&](std::size_t at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      seen = _mm_or_si128(seen, _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), v);
    };
    for (std::size_t i = 0; i + 16 <= n; i += 16) step(i);
    step(n - 16);  // the tail, overlapping bytes already copied
    return _mm_movemask_epi8(seen) == 0;
  }
#endif
  bool seen = false;
  for (std::size_t i = 0; i < n; ++i) {
    dst[i] = src[i];
    seen |= (src[i] == '\n') | (src[i] == '\r');
  }
  return !seen;
}

// Copies `want` residues starting at byte `a` (residue column `column` of its line) line by
// line, as the index says the record is laid out, and checks the layout on the way: every byte
// skipped must be a terminator and no byte copied may be one. Then the result is exactly what the
// byte walk gives. Returns false, leaving `dst` undefined, when the file does not match (the
// caller then walks). Unlike the walk, nothing here branches on a byte in a way the CPU cannot
// predict, so the cache misses of a region's lines overlap instead of following each other.
bool copy_by_lines(const char* base, std::uint64_t a, std::uint64_t column, std::uint64_t stop,
                   const EntryNumbers& e, std::size_t want, char* dst) {
  const std::uint64_t term = e.lenb - e.lenc;
  std::size_t have = 0;
  std::uint64_t pos = a;
  std::uint64_t run = e.lenc - column;
  bool clean = true;
  while (true) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(run, want - have));
    if (n > stop - pos) return false;
    clean &= copy_clean(dst + have, base + pos, n);
    have += n;
    pos += n;
    if (have == want) break;
    if (term > stop - pos) return false;
    for (std::uint64_t k = 0; k < term; ++k) {
      if (base[pos + k] != '\n' && base[pos + k] != '\r') return false;
    }
    pos += term;
    run = e.lenc;
  }
  return clean;
}

}  // namespace

std::string extract_sequence_from_mmap(std::string_view map, const EntryNumbers& e,
                                       std::uint64_t start, std::uint64_t count) {
  std::string out;
  extract_sequence_from_mmap(map, e, start, count, out);
  return out;
}

void extract_sequence_from_mmap(std::string_view map, const EntryNumbers& e, std::uint64_t start,
                                std::uint64_t count, std::string& out) {
  out.clear();
  if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return;
  std::uint64_t column = 0;
  const std::uint64_t a = residue_offset(e, start, &column);
  if (a >= map.size()) return;
  const std::uint64_t stop =
      std::min<std::uint64_t>(sat_add(a, region_span_bytes(e, count)), map.size());
  const std::size_t want = static_cast<std::size_t>(std::min(count, stop - a));
  if (e.lenb >= e.lenc && e.lenc >= 16) {  // short lines: the walk is as quick
    // Written in place: the storage is not zero-filled first.
    bool copied = false;
    out.resize_and_overwrite(want, [&](char* dst, std::size_t) {
      copied = copy_by_lines(map.data(), a, column, stop, e, want, dst);
      return copied ? want : 0;
    });
    if (copied) return;
  }
  out.clear();
  out.reserve(want);
  append_residues(map.data() + a, static_cast<std::size_t>(stop - a), out, want);
}

Result<std::string> extract_sequence_from_file_optimized(int fd, const EntryNumbers& e,
                                                         std::uint64_t start, std::uint64_t count) {
  std::string out;
  if (Status s = extract_sequence_from_file_optimized(fd, e, start, count, out); !s) {
    return std::move(s).error();
  }
  return out;
}

Status extract_sequence_from_file_optimized(int fd, const EntryNumbers& e, std::uint64_t start,
                                            std::uint64_t count, std::string& out) {
  out.clear();
  if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return Ok{};
  if (fd < 0) return FaidxError::io("No file handle available");
  std::uint64_t at = residue_offset(e, start);
  struct stat st;
  if (::fstat(fd, &st) != 0) return FaidxError::io_errno(errno);
  const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  if (at >= size) return Ok{};
  // The file cannot supply more residues than it has bytes left.
  const std::size_t want = static_cast<std::size_t>(std::min(count, size - at));
  out.reserve(want);
  // First read just the span the residues need; larger blocks only when a malformed file needs
  // more, and never past the end of the file.
  constexpr std::uint64_t kBlock = 1 << 20;
  std::string buf(
      static_cast<std::size_t>(std::min({kBlock, region_span_bytes(e, want), size - at})), '\0');
  while (out.size() < want && at < size) {
    const std::size_t ask =
        static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), size - at));
    const ssize_t r = pread_full(fd, buf.data(), ask, at);
    if (r < 0) return FaidxError::io_errno(errno);
    if (r == 0) break;
    append_residues(buf.data(), static_cast<std::size_t>(r), out, want);
    at += static_cast<std::uint64_t>(r);
    if (static_cast<std::size_t>(r) < ask) break;  // the file ended early
    if (buf.size() < kBlock && out.size() < want) {
      buf.resize(static_cast<std::size_t>(std::min(kBlock, size - at)));
    }
  }
  return Ok{};
}

}  // namespace tavlo
