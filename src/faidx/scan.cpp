// Line-by-line FASTA scan that derives the .fai entries.
#include "faidx/scan.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <optional>
#include <type_traits>

#include "faidx/file_io.hpp"
#include "faidx/pool.hpp"
#include "text/text.hpp"

namespace tavlo {

namespace {

// The first word of a header as the bytes up to the first ASCII white space, whatever they are.
[[gnu::cold, gnu::noinline]] std::string_view ascii_first_word(std::string_view header) {
  auto blank = [](unsigned char c) { return c == ' ' || c - 9u < 5u; };
  std::size_t i = 0;
  while (i < header.size() && blank(static_cast<unsigned char>(header[i]))) ++i;
  std::size_t j = i;
  while (j < header.size() && !blank(static_cast<unsigned char>(header[j]))) ++j;
  return header.substr(i, j - i);
}

// The first word of a header, as text::first_word gives it (or ascii_first_word, `bytewise`);
// headers of plain ASCII whose name starts at once take a byte loop instead of the
// character-by-character one.
inline std::string_view header_name(std::string_view header, bool bytewise) {
  const auto* u = reinterpret_cast<const unsigned char*>(header.data());
  std::size_t i = 0;
#if defined(__SSE2__)
  // 16 bytes at a time to the first byte that is not printable ASCII: as signed bytes, those
  // below '!' are exactly the controls, the space and everything from 0x80 on.
  const __m128i bang = _mm_set1_epi8('!');
  for (; i + 16 <= header.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
    const int m = _mm_movemask_epi8(_mm_cmplt_epi8(v, bang));
    if (m != 0) {
      i += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(m)));
      break;
    }
  }
#endif
  for (; i < header.size(); ++i) {
    const unsigned c = u[i];
    if (c >= 0x80) return bytewise ? ascii_first_word(header) : text::first_word(header);
    if (c == ' ' || c - 9u < 5u) break;  // space, or TAB to CR
  }
  if (i == 0) return bytewise ? ascii_first_word(header) : text::first_word(header);
  return header.substr(0, i);
}

// Whether the n bytes at p hold a space or a tab. Out of line: the scan's line step stays small
// enough to be inlined, and this is called only for lines where such a byte was seen.
[[gnu::noinline]] bool has_blank(const char* p, std::size_t n) {
  return std::memchr(p, ' ', n) != nullptr || std::memchr(p, '\t', n) != nullptr;
}

}  // namespace

void FastaScanner::finish_record() {
  if (in_record_) listing_.set_last_numbers(cur_);
  in_record_ = false;
}

std::string FastaScanner::record_name() const {
  return std::string(listing_.name_at(listing_.size() - 1));
}

// Always inlined: it is the per-line step of the scan, and a call per line would show.
__attribute__((always_inline)) inline bool FastaScanner::line(const char* p, std::size_t len) {
  if (p[0] == '>') {
    finish_record();
    const std::string_view name = header_name(std::string_view(p + 1, len - 1), bytewise_);
    cur_ = EntryNumbers{0, pos_ + len, 0, 0};
    lines_before_ += lines_ + 1;
    lines_ = 0;
    ended_ = false;
    // The record is listed at once; its numbers are set when it ends.
    if (!name.empty()) listing_.append(name, cur_);
    in_record_ = !name.empty();
    return true;
  }
  if (!in_record_) {  // before the first header, or under a nameless one
    ++lines_before_;
    return true;
  }
  // A line holds no LF before its last byte, so only CRs can precede the final LF.
  std::size_t n = len - (p[len - 1] == '\n');
  while (n > 0 && p[n - 1] == '\r') --n;
  // The readers skip every CR, so one among the residues would shift all positions after it.
  if (chunk_has_cr_ && std::memchr(p, '\r', n) != nullptr) {
    inner_cr_ = true;
    return false;
  }
  // Other indexers skip blanks while the readers here would return them as residues: each
  // side would misread the other's index of the same file.
  if (blank_seen_ && has_blank(p, n)) {
    inner_blank_ = true;
    return false;
  }
  if (lines_ == 0) {
    cur_.lenc = n;
    cur_.lenb = len;
    ended_ = n == 0;
  } else if (n == cur_.lenc && len == cur_.lenb && !ended_) {
    // a full line like the first
  } else if (n > cur_.lenc || (ended_ && n > 0)) {
    return false;
  } else {
    ended_ = true;
  }
  cur_.rlen += n;
  ++lines_;
  return true;
}

namespace {

#if !defined(__SSE2__)
// Bit i is set when p[i] is a line feed, for the 64 bytes at p (without SSE2 only: the SSE2
// code finds line feeds together with other bytes).
inline std::uint64_t line_feeds(const char* p) {
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= static_cast<std::uint64_t>(p[i] == '\n') << i;
  return mask;
}
#endif

// Whether the n bytes at p are all ASCII (the return value) and whether any is a CR, in one pass.
inline bool ascii_and_cr(const char* p, std::size_t n, bool* has_cr) {
  std::size_t i = 0;
  unsigned high = 0;
  unsigned crs = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  __m128i acc = _mm_setzero_si128();
  __m128i seen = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    acc = _mm_or_si128(acc, v);
    seen = _mm_or_si128(seen, _mm_cmpeq_epi8(v, cr));
  }
  high = static_cast<unsigned>(_mm_movemask_epi8(acc));
  crs = static_cast<unsigned>(_mm_movemask_epi8(seen));
#endif
  for (; i < n; ++i) {
    high |= static_cast<unsigned char>(p[i]) & 0x80u;
    crs |= p[i] == '\r';
  }
  *has_cr = crs != 0;
  return high == 0;
}

// Bit i is set when p[i] is below '!' as a signed byte, for the 64 bytes at p: the line feeds,
// and anything else that can end a name or must not stand among residues (spaces, tabs, CRs,
// other controls, bytes from 0x80). The same number of operations as finding line feeds alone.
inline std::uint64_t low_bytes(const char* p) {
#if defined(__SSE2__)
  const __m128i bang = _mm_set1_epi8('!');
  std::uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    mask |= static_cast<std::uint64_t>(
                static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmplt_epi8(v, bang))))
            << (16 * k);
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    mask |= static_cast<std::uint64_t>(static_cast<signed char>(p[i]) < '!') << i;
  }
  return mask;
#endif
}

// line_feeds, in *crs the same mask for carriage returns, and in *others for the other bytes
// below '!' (as low_bytes), from the same loads.
inline std::uint64_t line_feeds_and_crs(const char* p, std::uint64_t* crs, std::uint64_t* others) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i bang = _mm_set1_epi8('!');
  std::uint64_t lfs = 0, c = 0, low = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    lfs |= static_cast<std::uint64_t>(
               static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf))))
           << (16 * k);
    c |= static_cast<std::uint64_t>(
             static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr))))
         << (16 * k);
    low |= static_cast<std::uint64_t>(
               static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmplt_epi8(v, bang))))
           << (16 * k);
  }
  *crs = c;
  *others = low & ~(lfs | c);
  return lfs;
#else
  std::uint64_t c = 0;
  for (int i = 0; i < 64; ++i) c |= static_cast<std::uint64_t>(p[i] == '\r') << i;
  *crs = c;
  const std::uint64_t lfs = line_feeds(p);
  *others = low_bytes(p) & ~(lfs | c);
  return lfs;
#endif
}

}  // namespace

Result<std::size_t> FastaScanner::feed(std::string_view chunk, bool last) {
  const bool ascii = ascii_and_cr(chunk.data(), chunk.size(), &chunk_has_cr_);
  const char* line_start = chunk.data();
  const char* end = line_start + chunk.size();
  bool bad_text = false;
  // Plain flags on the per-line path; the error value is made once, on failure.
  auto take_line = [&](const char* stop) __attribute__((always_inline)) -> bool {
    const std::size_t len = static_cast<std::size_t>(stop - line_start);
    if (!ascii && !bytewise_ && !text::is_valid_utf8(line_start, len)) {
      bad_text = true;
      return false;
    }
    if (!line(line_start, len)) return false;
    pos_ += len;
    line_start = stop;
    return true;
  };
  auto failure = [&]() -> FaidxError {
    FaidxError e = FaidxError::io("stream did not contain valid UTF-8");
    if (inner_cr_) {
      e = FaidxError::of(ErrorKind::FastaIndexing,
                         "Carriage return inside a line of sequence '" + record_name() + "'");
    } else if (inner_blank_) {
      e = FaidxError::of(ErrorKind::FastaIndexing,
                         "Space or tab inside a line of sequence '" + record_name() + "'");
    } else if (!bad_text) {
      e = FaidxError::of(ErrorKind::FastaIndexing,
                         "Different line length in sequence '" + record_name() + "'");
    }
    // A header line (a bad one) is not yet counted in lines_before_.
    e.line = lines_before_ + lines_ + 1;
    return e;
  };
  // Line feeds are found 64 bytes at a time: lines are short, and a library call per line would
  // cost more than the line itself.
  // Most lines repeat the first line of their record: those are recognised by their length and
  // terminator alone. `full` says whether the record is in that state.
  auto full = [&] {
    return ascii && lines_ > 0 && !ended_ && (cur_.lenb - cur_.lenc == 1 ||
                                              cur_.lenb - cur_.lenc == 2) && cur_.lenc > 0;
  };
  bool fast = full();
  const char* q = line_start;
  // In a chunk with CRs, a line may only take the quick path while every CR met so far stands
  // right before a LF; after any other CR (a stray one, or CR CR LF) the rest of the chunk goes
  // line by line, where line() checks each line itself.
  bool stray_cr = false;
  // Likewise a space or a tab inside a line sends that line the slow way, where line() refuses
  // one among residues. Without CRs, the line ends are found among all the bytes below '!', so
  // that such a byte costs nothing until it is met; with CRs, every line that ends in a block
  // holding one (or that goes on from a block ending in one) takes the slow way.
  bool blank_open = false;
  bool hold = false;  // the lines ending in this block take the slow way
  // One loop for chunks with CRs and one for those without (most), which then has no CR logic.
  auto walk = [&](auto with_crs) __attribute__((always_inline)) -> bool {
    for (; end - q >= 64; q += 64) {
      std::uint64_t ends;
      if (decltype(with_crs)::value && !stray_cr) {
        std::uint64_t crs, others;
        ends = line_feeds_and_crs(q, &crs, &others);
        const std::uint64_t next_lf = end - q > 64 && q[64] == '\n' ? 1ULL << 63 : 0;
        stray_cr = (crs & ~((ends >> 1) | next_lf)) != 0;
        hold = blank_open || others != 0;
        // A byte after the block's last line feed belongs to the line that a later block ends.
        blank_open = ends == 0 ? hold : ((others >> (63 - __builtin_clzll(ends))) >> 1) != 0;
        blank_seen_ = hold;
        if (stray_cr || hold) fast = false;
      } else {
        // After a stray CR (hold may stay set then) every line takes the slow way anyway.
        ends = low_bytes(q);
      }
      for (std::uint64_t m = ends; m != 0; m &= m - 1) {
        const char* at = q + __builtin_ctzll(m);
        if (*at != '\n') [[unlikely]] {
          // Inside a line: that line takes the slow way.
          fast = false;
          blank_seen_ = true;
          continue;
        }
        const char* stop = at + 1;
        const std::size_t len = static_cast<std::size_t>(stop - line_start);
        if (fast && len == cur_.lenb && line_start[0] != '>' &&
            line_start[cur_.lenc - 1] != '\r' &&
            (len - cur_.lenc == 1 || line_start[len - 2] == '\r')) {
          cur_.rlen += cur_.lenc;
          ++lines_;
          pos_ += len;
          line_start = stop;
          continue;
        }
        if (!take_line(stop)) return false;
        fast = !stray_cr && !hold && full();
        blank_seen_ = hold;
      }
    }
    return true;
  };
  if (!(chunk_has_cr_ ? walk(std::true_type{}) : walk(std::false_type{}))) return failure();
  // The rest is taken line by line, each checked for blanks.
  blank_seen_ = true;
  while (const char* nl =
             q < end ? static_cast<const char*>(std::memchr(q, '\n', end - q)) : nullptr) {
    if (!take_line(nl + 1)) return failure();
    q = nl + 1;
  }
  if (last) {
    if (line_start < end && !take_line(end)) return failure();
    finish_record();
  }
  return static_cast<std::size_t>(line_start - chunk.data());
}

std::vector<IndexEntry> listing_entries(const NameTable& listing) {
  std::vector<IndexEntry> entries;
  entries.reserve(listing.size());
  for (std::size_t i = 0; i < listing.size(); ++i) {
    entries.push_back(IndexEntry{std::string(listing.name_at(i)), listing.numbers_at(i)});
  }
  return entries;
}

NameTable FastaScanner::take_listing() { return std::move(listing_); }

void FastaScanner::expect(std::uint64_t consumed, std::uint64_t total) {
  const std::size_t records = listing_.size();
  if (consumed == 0 || records == 0 || total <= consumed) return;
  const double scale = static_cast<double>(total) / static_cast<double>(consumed);
  const auto name_bytes = listing_.name_bytes_before(records);
  // A little over the estimate; memory reserved and never written costs no resident pages.
  const double want = static_cast<double>(records) * scale * 1.125 + 16;
  const double want_bytes = static_cast<double>(name_bytes) * scale * 1.125 + 256;
  if (want < static_cast<double>(std::size_t{1} << 40) &&
      want_bytes < static_cast<double>(std::size_t{1} << 46)) {
    listing_.reserve_listing(static_cast<std::size_t>(want), static_cast<std::size_t>(want_bytes));
  }
}

namespace {

// Scans `contents`, which starts at `offset` in a text of `total` bytes: the listing makes room
// for the records of the rest of that text, judging by those of its first slice.
Result<NameTable> scan_part(std::string_view contents, std::uint64_t offset,
                            std::uint64_t total, bool bytewise) {
  FastaScanner scanner(offset, bytewise);
  // In slices, so that the ASCII pre-check of a slice stays in cache for the line walk.
  constexpr std::size_t kSlice = 1 << 20;
  std::size_t at = 0;
  do {
    const bool last = contents.size() - at <= kSlice;
    const std::size_t n = last ? contents.size() - at : kSlice;
    auto used = scanner.feed(contents.substr(at, n), last);
    if (!used) return std::move(used).error();
    at += *used;
    if (at == *used) scanner.expect(at, total - offset);
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
  return scanner.take_listing();
}

// The offset of a header line near the middle of `text`, within a sixteenth of its size (or 1
// MiB, for a small text), or 0 when there is none there. Searched outwards from the middle a
// block at a time, so that the cost follows the distance to the nearest header.
std::size_t middle_header(std::string_view text) {
  if (text.size() < 4) return 0;
  const char* const b = text.data();
  const std::size_t mid = text.size() / 2;
  const std::size_t reach =
      std::max(text.size() / 16, std::min<std::size_t>(mid - 1, std::size_t{1} << 20));
  const std::size_t first = mid - reach, last = mid + reach;  // 1 <= first, last <= size
  constexpr std::size_t kBlock = 64 << 10;
  // [lo, mid) is searched backwards and [mid, hi) forwards; a header is a '>' after a LF.
  std::size_t lo = mid, hi = mid;
  while (lo > first || hi < last) {
    if (hi < last) {
      const std::size_t stop = std::min(last, hi + kBlock);
      for (const char* p = b + hi;
           (p = static_cast<const char*>(std::memchr(p, '>', b + stop - p))) != nullptr; ++p) {
        if (p[-1] == '\n') return static_cast<std::size_t>(p - b);
      }
      hi = stop;
    }
    if (lo > first) {
      const std::size_t start = lo - first > kBlock ? lo - kBlock : first;
      for (std::size_t end = lo; end > start;) {
        const char* p = static_cast<const char*>(::memrchr(b + start, '>', end - start));
        if (p == nullptr) break;
        if (p[-1] == '\n') return static_cast<std::size_t>(p - b);
        end = static_cast<std::size_t>(p - b);
      }
      lo = start;
    }
  }
  return 0;
}

}  // namespace

Result<NameTable> scan_fasta_listing(std::string_view contents, std::size_t min_part,
                                     bool bytewise) {
  const std::size_t split =
      contents.size() / 2 >= std::max<std::size_t>(min_part, 1) && worker_count() > 1
          ? middle_header(contents)
          : 0;
  if (split == 0) return scan_part(contents, 0, contents.size(), bytewise);
  // The first part ends with a record, the second starts with one: each is scanned as a text of
  // its own, the second at its offset, and the listings are joined.
  std::optional<Result<NameTable>> parts[2];
  parallel_for(2, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      parts[k] = k == 0 ? scan_part(contents.substr(0, split), 0, contents.size(), bytewise)
                        : scan_part(contents.substr(split), split, contents.size(), bytewise);
    }
  });
  if (!*parts[0]) return std::move(*parts[0]).error();
  if (!*parts[1]) {
    FaidxError e = std::move(*parts[1]).error();
    // The second part counted its lines from its own start.
    if (e.line != 0) {
      e.line += static_cast<std::uint64_t>(
          std::count(contents.begin(), contents.begin() + split, '\n'));
    }
    return e;
  }
  NameTable listing = std::move(**parts[0]);
  listing.append_listing(**parts[1]);
  return listing;
}

Result<NameTable> scan_fasta_fd_listing(int fd, bool bytewise) {
  FastaScanner scanner(0, bytewise);
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
  return scanner.take_listing();
}

}  // namespace tavlo
