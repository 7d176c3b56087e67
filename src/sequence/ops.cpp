// Derivations and statistics of Sequence records: complement, reverse, subscripts, GC content.
#include "sequence/ops.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <utility>

#include <sys/mman.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavlo {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline void store64(char* p, std::uint64_t w) noexcept { std::memcpy(p, &w, 8); }

// Outputs of at least this many bytes are built on huge pages, one huge page at a time (see
// build_string).
constexpr std::size_t kLargeOutput = std::size_t{4} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Asks the kernel to back the 2 MB-aligned interior of a fresh buffer with huge pages: filling
// 100 MB of new 4 KB pages costs 25,000 page faults, more time than the work itself.
void advise_huge_pages(char* p, std::size_t n) noexcept {
#if defined(MADV_HUGEPAGE)
  const auto first = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHugePage - 1);
  // Advice only: when it is refused the buffer simply stays on small pages.
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

// A string of n bytes written by fill(out, pos, len), which writes bytes [pos, pos + len) at out
// and returns false to give up (the result is then meaningless). std::string zeroes what it
// grows by; a large output grows one huge page at a time, so that the kernel's clearing of the
// new page, the zeroing and the writing all happen while the page is in cache.
template <class Fill>
std::string build_string(std::size_t n, Fill fill, bool* ok) {
  std::string out;
  *ok = true;
  if (n < kLargeOutput) {
    out.resize(n);
    *ok = fill(out.data(), 0, n);
    return out;
  }
#if defined(__cpp_lib_string_resize_and_overwrite)
  // Where the library can skip the zeroing, the pages are written once, by the kernel fill.
  // The length handed to the operation may be the grown capacity (GCC 12's library), so the
  // operation uses n, the length asked for.
  out.resize_and_overwrite(n, [&](char* p, std::size_t) {
    advise_huge_pages(p, n);
    *ok = fill(p, 0, n);
    return n;
  });
#else
  out.reserve(n);
  advise_huge_pages(out.data(), n);
  const auto base = reinterpret_cast<std::uintptr_t>(out.data());
  for (std::size_t pos = 0; pos < n && *ok;) {
    // Up to the next huge-page boundary of the buffer's address.
    const std::size_t to_boundary = kHugePage - ((base + pos) & (kHugePage - 1));
    const std::size_t len = std::min(to_boundary, n - pos);
    out.append(len, '\0');  // within capacity: the buffer does not move
    *ok = fill(out.data() + pos, pos, len);
    pos += len;
  }
#endif
  return out;
}

// base + off, or absent when the result leaves 0 .. 2^64 - 1: a wrapped value would pass for a
// coordinate near the end of the range.
std::optional<std::uint64_t> shift(std::uint64_t base, std::int64_t off) {
  if (off >= 0) {
    const auto u = static_cast<std::uint64_t>(off);
    if (base > std::numeric_limits<std::uint64_t>::max() - u) return std::nullopt;
    return base + u;
  }
  // -(off + 1) + 1 avoids negating INT64_MIN.
  const std::uint64_t u = static_cast<std::uint64_t>(-(off + 1)) + 1;
  if (base < u) return std::nullopt;
  return base - u;
}

// --- Byte kernels ------------------------------------------------------------------------------
//
// Each writes n bytes to out from the n bytes at in and returns whether every input byte was
// ASCII; the callers then start over per character for a text that was not.

inline bool no_high_bit(std::uint64_t seen) noexcept { return (seen & kHigh) == 0; }

// out[i] = COMPLEMENT_TABLE[in[i]], or back to front (out[n - 1 - i]) when Reversed.
template <bool Reversed>
bool complement_scalar(const char* in, char* out, std::size_t n) noexcept {
  const auto* u = reinterpret_cast<const unsigned char*>(in);
  unsigned seen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    seen |= u[i];
    out[Reversed ? n - 1 - i : i] = COMPLEMENT_TABLE[u[i]];
  }
  return seen < 0x80;
}

// out[n - 1 - i] = in[i]. Byte swaps of 8-byte words keep this near the speed of memory.
bool reverse_scalar(const char* in, char* out, std::size_t n) noexcept {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t w = load64(in + i);
    seen |= w;
    store64(out + n - i - 8, __builtin_bswap64(w));
  }
  for (; i < n; ++i) {
    seen |= static_cast<unsigned char>(in[i]);
    out[n - 1 - i] = in[i];
  }
  return no_high_bit(seen);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAVLO_HAVE_AVX2_KERNELS 1

// The table lookup above costs about a cycle per byte. With AVX2, 32 bytes take a few shuffles:
// only the rows 0x40-0x7F of the table hold letters other than N, so each byte's low nibble picks
// its entry from one of those four 16-byte rows and its high nibble selects the row; every other
// byte, the non-ASCII ones included, keeps the default N.
template <bool Reversed>
__attribute__((target("avx2"))) bool complement_avx2(const char* in, char* out,
                                                     std::size_t n) noexcept {
  __m256i rows[4];
  for (int r = 0; r < 4; ++r) {
    rows[r] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(COMPLEMENT_TABLE.data() + 64 + 16 * r)));
  }
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i fill = _mm256_set1_epi8('N');
  // Reverses the bytes within each 128-bit lane; a lane swap completes the reversal.
  const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                           15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  __m256i seen = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    seen = _mm256_or_si256(seen, v);
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    __m256i r = fill;
    for (int row = 0; row < 4; ++row) {
      const __m256i in_row = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(static_cast<char>(4 + row)));
      r = _mm256_blendv_epi8(r, _mm256_shuffle_epi8(rows[row], lo), in_row);
    }
    if constexpr (Reversed) {
      r = _mm256_shuffle_epi8(r, reverse);
      r = _mm256_permute2x128_si256(r, r, 1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n - i - 32), r);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), r);
    }
  }
  const bool ascii = _mm256_movemask_epi8(seen) == 0;
  const bool tail = complement_scalar<Reversed>(in + i, Reversed ? out : out + i, n - i);
  return ascii && tail;
}

// out[n - 1 - i] = in[i], 32 bytes at a time.
__attribute__((target("avx2"))) bool reverse_avx2(const char* in, char* out,
                                                  std::size_t n) noexcept {
  const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                           15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  __m256i seen = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    seen = _mm256_or_si256(seen, v);
    v = _mm256_shuffle_epi8(v, reverse);
    v = _mm256_permute2x128_si256(v, v, 1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n - i - 32), v);
  }
  const bool ascii = _mm256_movemask_epi8(seen) == 0;
  const bool tail = reverse_scalar(in + i, out, n - i);
  return ascii && tail;
}

#endif

std::atomic<bool> g_simd_enabled{true};

bool have_avx2() noexcept {
#if defined(TAVLO_HAVE_AVX2_KERNELS)
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported && g_simd_enabled.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

template <bool Reversed>
bool complement_bytes(const char* in, char* out, std::size_t n) noexcept {
#if defined(TAVLO_HAVE_AVX2_KERNELS)
  if (have_avx2()) return complement_avx2<Reversed>(in, out, n);
#endif
  return complement_scalar<Reversed>(in, out, n);
}

bool reverse_bytes(const char* in, char* out, std::size_t n) noexcept {
#if defined(TAVLO_HAVE_AVX2_KERNELS)
  if (have_avx2()) return reverse_avx2(in, out, n);
#endif
  return reverse_scalar(in, out, n);
}

// Runs a kernel over a whole text into a new string, in chunks for large texts; *ascii tells
// whether every byte was ASCII.
template <bool Reversed, class Kernel>
std::string run_kernel(std::string_view text, Kernel kernel, bool* ascii) {
  const std::size_t n = text.size();
  return build_string(
      n,
      [&](char* out, std::size_t pos, std::size_t len) {
        // Output bytes [pos, pos + len) come from input [n - pos - len, n - pos) when reversed.
        return kernel(text.data() + (Reversed ? n - pos - len : pos), out, len);
      },
      ascii);
}

// A copy of text; a long one lands on huge pages like the other large outputs.
std::string copy_text(std::string_view text) {
  if (text.size() < kLargeOutput) return std::string(text);
  bool ok = true;
  return build_string(
      text.size(),
      [&](char* out, std::size_t pos, std::size_t len) {
        std::memcpy(out, text.data() + pos, len);
        return true;
      },
      &ok);
}

SequenceRecord with_text(const SequenceRecord& rec, std::string seq) {
  return SequenceRecord{rec.name, std::move(seq), rec.start, rec.end, rec.comp};
}

// Swaps start and end when both are present.
void swap_coordinates(SequenceRecord& r) {
  if (r.start && r.end) std::swap(r.start, r.end);
}

// Counts, over the 8 bytes of w, the bytes equal to one of two values (exact: no carries cross
// byte lanes). Returns 1 in each matching lane, 0 elsewhere.
inline std::uint64_t match2(std::uint64_t w, std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t x = w ^ a;
  const std::uint64_t y = w ^ b;
  // A lane is zero iff its high bit stays clear in ((lane & 0x7F) + 0x7F) | lane.
  const std::uint64_t nx = ((x & kLow7) + kLow7) | x;
  const std::uint64_t ny = ((y & kLow7) + kLow7) | y;
  return (~(nx & ny) & kHigh) >> 7;
}

// Sum of the eight byte lanes of w.
inline std::uint64_t lane_sum(std::uint64_t w) noexcept {
  w = (w & 0x00FF00FF00FF00FFULL) + ((w >> 8) & 0x00FF00FF00FF00FFULL);
  return (w * 0x0001000100010001ULL) >> 48;
}

// Per-byte class counts packed into one 64-bit word so that counting is one load and one add per
// byte, whatever the letter (no branch, no store to a counter in memory).
struct PackedTable {
  std::array<std::uint64_t, 256> inc{};
};

constexpr int kStrictBits = 32;  // fields: ACGT count, CG count
constexpr PackedTable make_strict_table() {
  PackedTable t;
  for (char c : std::string_view("ACGTacgt")) t.inc[static_cast<unsigned char>(c)] += 1;
  for (char c : std::string_view("CGcg")) t.inc[static_cast<unsigned char>(c)] += 1ULL << 32;
  return t;
}
constexpr PackedTable kStrict = make_strict_table();

// IUPAC classes by weight, as 12-bit fields: 1, 0.5, 0.25, 0, and the weights that are not
// multiples of 0.25 (0.67 and 0.33).
enum IupacClass { kOne, kHalf, kQuarter, kZero, kFraction, kClasses };
constexpr int kIupacBits = 12;
constexpr std::size_t kIupacChunk = (1u << kIupacBits) - 1;

constexpr PackedTable make_iupac_table() {
  PackedTable t;
  auto set = [&t](std::string_view letters, IupacClass cls) {
    for (char c : letters) {
      const std::uint64_t v = 1ULL << (kIupacBits * cls);
      t.inc[static_cast<unsigned char>(c)] = v;
      t.inc[static_cast<unsigned char>(c - 'A' + 'a')] = v;
    }
  };
  set("CGS", kOne);
  set("KMRY", kHalf);
  set("N", kQuarter);
  set("ATW", kZero);
  set("BVDH", kFraction);
  return t;
}
constexpr PackedTable kIupac = make_iupac_table();

struct IupacWeights {
  std::array<double, 256> weight{};
  std::array<std::uint8_t, 256> counted{};
};

constexpr IupacWeights make_iupac_weights() {
  IupacWeights w;
  auto set = [&w](std::string_view letters, double weight) {
    for (char c : letters) {
      for (char cc : {c, static_cast<char>(c - 'A' + 'a')}) {
        w.weight[static_cast<unsigned char>(cc)] = weight;
        w.counted[static_cast<unsigned char>(cc)] = 1;
      }
    }
  };
  set("CGS", 1.0);
  set("BV", 0.67);
  set("KMRY", 0.5);
  set("DH", 0.33);
  set("N", 0.25);
  set("ATW", 0.0);
  return w;
}
constexpr IupacWeights kIupacWeights = make_iupac_weights();

}  // namespace

namespace detail {
bool use_simd(bool enabled) noexcept { return g_simd_enabled.exchange(enabled); }
}  // namespace detail

// --- Texts --------------------------------------------------------------------------------------

bool is_ascii(std::string_view text) noexcept {
  return text::is_ascii(text.data(), text.size());
}

std::string bytes_as_text(std::string bytes) {
  if (text::is_valid_utf8(bytes.data(), bytes.size())) return bytes;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::string out;
  out.reserve(2 * n);
  for (std::size_t i = 0; i < n;) {
    if (const std::size_t len = text::utf8_char_length(p + i, n - i)) {
      out.append(bytes, i, len);
      i += len;
    } else {
      out.push_back(static_cast<char>(0xC0 | (p[i] >> 6)));
      out.push_back(static_cast<char>(0x80 | (p[i] & 0x3F)));
      ++i;
    }
  }
  return out;
}

std::string complement_text(std::string_view text) {
  bool ascii = true;
  return run_kernel<false>(text, complement_bytes<false>, &ascii);
}

std::string reverse_text(std::string_view text) {
  bool ascii = true;
  std::string out = run_kernel<true>(text, reverse_bytes, &ascii);
  if (ascii) return out;  // returned as is: a conditional expression would copy it
  return bytes_as_text(std::move(out));
}

std::string reverse_complement_text(std::string_view text) {
  bool ascii = true;
  return run_kernel<true>(text, complement_bytes<true>, &ascii);
}

// --- Records ------------------------------------------------------------------------------------

SequenceRecord complement(const SequenceRecord& rec) {
  SequenceRecord r = with_text(rec, complement_text(rec.seq));
  r.comp = !rec.comp;
  return r;
}

SequenceRecord reverse(const SequenceRecord& rec) {
  SequenceRecord r = with_text(rec, reverse_text(rec.seq));
  swap_coordinates(r);
  return r;
}

SequenceRecord reverse_complement(const SequenceRecord& rec) {
  SequenceRecord r = with_text(rec, reverse_complement_text(rec.seq));
  swap_coordinates(r);
  r.comp = !rec.comp;
  return r;
}

std::optional<int> orientation(const SequenceRecord& rec) {
  if (!rec.start || !rec.end) return std::nullopt;
  if (*rec.start < *rec.end && !rec.comp) return 1;
  if (*rec.start > *rec.end && rec.comp) return -1;
  return std::nullopt;
}

SequenceRecord at(const SequenceRecord& rec, std::int64_t i) {
  std::string seq;
  if (i >= 0 && static_cast<std::uint64_t>(i) < rec.seq.size()) {
    const auto c = static_cast<unsigned char>(rec.seq[static_cast<std::size_t>(i)]);
    if (c < 0x80) {
      seq.assign(1, static_cast<char>(c));
    } else {
      seq = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    }
  }
  SequenceRecord r{rec.name, std::move(seq), std::nullopt, std::nullopt, rec.comp};
  if (rec.start) r.start = r.end = shift(*rec.start, i);
  return r;
}

SequenceRecord slice(const SequenceRecord& rec, std::int64_t a, std::int64_t b, std::int64_t k,
                     bool ascii) {
  const std::string_view text = rec.seq;
  const auto n = static_cast<std::int64_t>(text.size());
  auto byte = [&](std::int64_t c) { return text[static_cast<std::size_t>(c)]; };
  std::string seq;
  std::int64_t lo = 0;
  std::int64_t hi = 0;
  bool shifted = true;  // false: both coordinates equal start (the empty text, negative step)

  if (k == 0) k = 1;
  if (k > 0) {
    a = std::clamp<std::int64_t>(a, 0, n);
    b = std::clamp<std::int64_t>(b, 0, n);
    lo = a;
    hi = b - 1;
    if (a < b) {
      const auto count = static_cast<std::uint64_t>(b - a - 1) / static_cast<std::uint64_t>(k) + 1;
      if (k == 1) {
        seq = copy_text(text.substr(static_cast<std::size_t>(a), static_cast<std::size_t>(b - a)));
      } else {
        seq.reserve(count);
        for (std::uint64_t j = 0; j < count; ++j) {
          seq.push_back(byte(static_cast<std::int64_t>(static_cast<std::uint64_t>(a) +
                                                       j * static_cast<std::uint64_t>(k))));
        }
      }
    }
  } else {
    // |k| without negating INT64_MIN; a step beyond the text selects one byte anyway.
    const std::uint64_t step = static_cast<std::uint64_t>(-(k + 1)) + 1;
    a = std::clamp<std::int64_t>(a, -1, n - 1);
    b = std::clamp<std::int64_t>(b, -1, n - 1);
    if (n == 0) {
      shifted = false;
    } else if (b > a) {
      // Nothing selected (also for a = -1, where a clamped start would select from the end).
      lo = a;
      hi = a - 1;
    } else if (b == a) {
      // An empty run (b = hi); its coordinates still come from lo and hi.
      lo = b + 1;
      hi = a;
    } else {
      lo = b + 1;
      hi = a;
      const auto count = static_cast<std::uint64_t>(hi - lo) / step + 1;
      if (step == 1) {
        bool seen_ascii = true;  // known already: `ascii` decides the pass below
        seq = run_kernel<true>(
            text.substr(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi - lo + 1)),
            reverse_bytes, &seen_ascii);
      } else {
        seq.reserve(count);
        for (std::uint64_t j = 0; j < count; ++j) {
          seq.push_back(byte(static_cast<std::int64_t>(static_cast<std::uint64_t>(hi) - j * step)));
        }
      }
    }
  }
  if (!ascii) seq = bytes_as_text(std::move(seq));

  SequenceRecord r{rec.name, std::move(seq), std::nullopt, std::nullopt, rec.comp};
  if (rec.start && rec.end) {
    if (shifted) {
      r.start = shift(*rec.start, lo);
      r.end = shift(*rec.start, hi);
    } else {
      r.start = r.end = rec.start;
    }
  }
  return r;
}

SequenceRecord slice(const SequenceRecord& rec, std::int64_t a, std::int64_t b, std::int64_t k) {
  return slice(rec, a, b, k, is_ascii(rec.seq));
}

// --- Statistics ---------------------------------------------------------------------------------

double gc(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n == 0) return 0.0;
  const char* p = text.data();
  std::uint64_t count = 0;
  std::size_t i = 0;
  while (n - i >= 8) {
    // Byte lanes count up to 255 matches before they are summed.
    const std::size_t words = std::min<std::size_t>((n - i) / 8, 255);
    std::uint64_t lanes = 0;
    for (std::size_t w = 0; w < words; ++w, i += 8) {
      // Setting bit 5 folds case: only C and c become c, only G and g become g.
      lanes += match2(load64(p + i) | (0x20 * kOnes), 'c' * kOnes, 'g' * kOnes);
    }
    count += lane_sum(lanes);
  }
  for (; i < n; ++i) {
    const unsigned c = static_cast<unsigned char>(p[i]) | 0x20;
    count += (c == 'c') | (c == 'g');
  }
  return static_cast<double>(count) / static_cast<double>(n);
}

double gc_strict(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint64_t total = 0;
  std::uint64_t cg = 0;
  constexpr std::size_t kChunk = std::size_t{1} << 30;  // well below 2^32 per field
  for (std::size_t i = 0; i < n;) {
    const std::size_t end = i + std::min(kChunk, n - i);
    // Two accumulators halve the dependency chain of the adds.
    std::uint64_t acc0 = 0;
    std::uint64_t acc1 = 0;
    for (; i + 2 <= end; i += 2) {
      acc0 += kStrict.inc[p[i]];
      acc1 += kStrict.inc[p[i + 1]];
    }
    if (i < end) acc0 += kStrict.inc[p[i++]];
    const std::uint64_t acc = acc0 + acc1;
    total += acc & 0xFFFFFFFFULL;
    cg += acc >> kStrictBits;
  }
  if (total == 0) return 0.0;
  return static_cast<double>(cg) / static_cast<double>(total);
}

double gc_iupac(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::array<std::uint64_t, kClasses> counts{};
  std::size_t i = 0;
  // While only the weights 1, 0.5, 0.25 and 0 have been met, every running sum is a multiple of
  // 0.25 well inside the exact range of a double, so counting per class gives exactly the sum
  // that letter-by-letter addition gives. From the first chunk holding a 0.67 or 0.33 on, the
  // sum is added letter by letter in text order.
  const bool exact_range = n < (std::size_t{1} << 50);
  while (exact_range && i < n) {
    const std::size_t end = i + std::min(kIupacChunk, n - i);
    std::uint64_t acc0 = 0;
    std::uint64_t acc1 = 0;
    std::size_t j = i;
    for (; j + 2 <= end; j += 2) {
      acc0 += kIupac.inc[p[j]];
      acc1 += kIupac.inc[p[j + 1]];
    }
    if (j < end) acc0 += kIupac.inc[p[j]];
    const std::uint64_t acc = acc0 + acc1;
    constexpr std::uint64_t kMask = (1u << kIupacBits) - 1;
    if ((acc >> (kIupacBits * kFraction)) & kMask) break;  // redo this chunk letter by letter
    for (int c = 0; c < kClasses; ++c) counts[c] += (acc >> (kIupacBits * c)) & kMask;
    i = end;
  }
  std::uint64_t total = 0;
  for (auto c : counts) total += c;
  double sum = static_cast<double>(4 * counts[kOne] + 2 * counts[kHalf] + counts[kQuarter]) / 4;
  for (; i < n; ++i) {
    // Adding 0.0 for an uncounted byte leaves the sum unchanged, so no branch is needed.
    sum += kIupacWeights.weight[p[i]];
    total += kIupacWeights.counted[p[i]];
  }
  if (total == 0) return 0.0;
  return sum / static_cast<double>(total);
}

}  // namespace tavlo
