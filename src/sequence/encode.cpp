// Residue encoders for array rows: one pattern table per direction, built once per call.
#include "sequence/encode.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "sequence/ops.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define TAVLO_ENCODE_AVX2 1
#endif

namespace tavlo {

namespace {

struct ElementInfo {
  ElementType type;
  std::string_view name;
  std::size_t size;
};

constexpr std::array<ElementInfo, 9> kElements = {{
    {ElementType::U8, "uint8", 1},
    {ElementType::I8, "int8", 1},
    {ElementType::I16, "int16", 2},
    {ElementType::I32, "int32", 4},
    {ElementType::I64, "int64", 8},
    {ElementType::Bool, "bool", 1},
    {ElementType::F16, "float16", 2},
    {ElementType::F32, "float32", 4},
    {ElementType::F64, "float64", 8},
}};

bool is_float(ElementType t) {
  return t == ElementType::F16 || t == ElementType::F32 || t == ElementType::F64;
}

// The element of value `v` (a small non-negative integer) in type `t`, in native byte order.
void store_element(ElementType t, unsigned v, unsigned char* dst) {
  switch (t) {
    case ElementType::U8:
    case ElementType::I8:
    case ElementType::Bool: dst[0] = static_cast<unsigned char>(v); return;
    case ElementType::I16: {
      const auto x = static_cast<std::int16_t>(v);
      std::memcpy(dst, &x, sizeof x);
      return;
    }
    case ElementType::I32: {
      const auto x = static_cast<std::int32_t>(v);
      std::memcpy(dst, &x, sizeof x);
      return;
    }
    case ElementType::I64: {
      const auto x = static_cast<std::int64_t>(v);
      std::memcpy(dst, &x, sizeof x);
      return;
    }
    case ElementType::F16: {
      // Only 0 and 1 are ever stored as floats: 1.0 is 0x3C00 in IEEE half precision.
      const std::uint16_t x = v == 0 ? 0 : 0x3C00;
      std::memcpy(dst, &x, sizeof x);
      return;
    }
    case ElementType::F32: {
      const auto x = static_cast<float>(v);
      std::memcpy(dst, &x, sizeof x);
      return;
    }
    case ElementType::F64: {
      const auto x = static_cast<double>(v);
      std::memcpy(dst, &x, sizeof x);
      return;
    }
  }
}

unsigned char upper(unsigned char c) {
  return static_cast<unsigned>(c) - 'a' < 26u ? static_cast<unsigned char>(c - 0x20) : c;
}

// Copies W-byte patterns, one per residue; W known at compile time for the common widths, so
// that each residue is one load from the table and one store.
template <std::size_t W>
void put_patterns(unsigned char* dst, const unsigned char* table, const unsigned char* src,
                  std::size_t n, bool reverse) {
  if (!reverse) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * W, table + src[i] * W, W);
  } else {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * W, table + src[n - 1 - i] * W, W);
  }
}

void put_patterns_any(unsigned char* dst, const unsigned char* table, std::size_t w,
                      const unsigned char* src, std::size_t n, bool reverse) {
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(dst + i * w, table + src[reverse ? n - 1 - i : i] * w, w);
  }
}

// A byte table whose entries differ from one default only in the rows 0x40-0x7F (the letters):
// with AVX2, 32 bytes at a time, each byte's low nibble picks its entry from one of those four
// 16-byte rows and its high nibble selects the row. Codes of either strand have this form, since
// every byte outside the letters complements to N.
bool rows_form(const unsigned char* table, unsigned char* rows, unsigned char* fallback) {
  for (unsigned b = 0; b < 256; ++b) {
    if ((b & 0xC0) != 0x40 && table[b] != table[0]) return false;
  }
  std::memcpy(rows, table + 0x40, 64);
  *fallback = table[0];
  return true;
}

#if defined(TAVLO_ENCODE_AVX2)

bool have_avx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

// The 32 codes of src[0, 32), or of their reverse complement (src[31] first) when Reversed.
template <bool Reversed>
__attribute__((target("avx2"))) inline __m256i codes32(const unsigned char* src,
                                                       const __m256i* rows, __m256i fallback) {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  if constexpr (Reversed) {
    const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                             15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    v = _mm256_shuffle_epi8(v, reverse);
    v = _mm256_permute2x128_si256(v, v, 1);
  }
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(v, nibble);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
  __m256i r = fallback;
  for (int row = 0; row < 4; ++row) {
    const __m256i in_row = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8(static_cast<char>(4 + row)));
    r = _mm256_blendv_epi8(r, _mm256_shuffle_epi8(rows[row], lo), in_row);
  }
  return r;
}

// Writes the codes (Channels == 0) or the four one-hot bytes (Channels == 4) of the first
// n - n % 32 residues; returns how many it wrote.
template <bool Reversed, int Channels>
__attribute__((target("avx2"))) std::size_t encode_avx2(unsigned char* dst,
                                                        const unsigned char* src, std::size_t n,
                                                        const unsigned char* table_rows,
                                                        unsigned char fallback_byte) {
  __m256i rows[4];
  for (int r = 0; r < 4; ++r) {
    rows[r] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(table_rows + 16 * r)));
  }
  const __m256i fallback = _mm256_set1_epi8(static_cast<char>(fallback_byte));
  // One-hot: each code repeated four times, against the channels 0 1 2 3; a code of 4 or more
  // (no channel) matches none.
  const __m128i channel = _mm_setr_epi8(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
  const __m128i one = _mm_set1_epi8(1);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i c = codes32<Reversed>(Reversed ? src + n - i - 32 : src + i, rows, fallback);
    if constexpr (Channels == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), c);
    } else {
      for (int half = 0; half < 2; ++half) {
        const __m128i h = half == 0 ? _mm256_castsi256_si128(c) : _mm256_extracti128_si256(c, 1);
        unsigned char* out = dst + 4 * (i + 16 * half);
        for (int q = 0; q < 4; ++q) {
          const __m128i spread = _mm_shuffle_epi8(
              h, _mm_setr_epi8(static_cast<char>(4 * q), static_cast<char>(4 * q),
                               static_cast<char>(4 * q), static_cast<char>(4 * q),
                               static_cast<char>(4 * q + 1), static_cast<char>(4 * q + 1),
                               static_cast<char>(4 * q + 1), static_cast<char>(4 * q + 1),
                               static_cast<char>(4 * q + 2), static_cast<char>(4 * q + 2),
                               static_cast<char>(4 * q + 2), static_cast<char>(4 * q + 2),
                               static_cast<char>(4 * q + 3), static_cast<char>(4 * q + 3),
                               static_cast<char>(4 * q + 3), static_cast<char>(4 * q + 3)));
          const __m128i bits = _mm_and_si128(_mm_cmpeq_epi8(spread, channel), one);
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * q), bits);
        }
      }
    }
  }
  return i;
}

#endif

}  // namespace

std::string_view element_name(ElementType t) {
  for (const ElementInfo& e : kElements) {
    if (e.type == t) return e.name;
  }
  return "?";
}

std::size_t element_size(ElementType t) {
  for (const ElementInfo& e : kElements) {
    if (e.type == t) return e.size;
  }
  return 1;
}

bool element_from_name(std::string_view name, ElementType* out) {
  for (const ElementInfo& e : kElements) {
    if (e.name == name) {
      *out = e.type;
      return true;
    }
  }
  return false;
}

namespace {

// The channel of each byte value: that of its letter in `alphabet` (either case), kNone for any
// other byte. False with the reason in `error` unless the alphabet is distinct ASCII letters.
constexpr unsigned kNone = 0xFFFF;
bool alphabet_channels(std::string_view alphabet, std::array<unsigned, 256>* channel,
                       std::size_t* letters, std::string* error) {
  channel->fill(kNone);
  *letters = 0;
  if (alphabet.empty()) {
    *error = "alphabet must hold at least one letter";
    return false;
  }
  for (const char ch : alphabet) {
    const auto c = static_cast<unsigned char>(ch);
    const unsigned char u = upper(c);
    if (static_cast<unsigned>(u) - 'A' >= 26u) {
      const bool shown = c >= 0x20 && c < 0x7F;
      *error = "alphabet must hold ASCII letters only, not " +
               (shown ? "'" + std::string(1, ch) + "'" : "byte " + std::to_string(c));
      return false;
    }
    if ((*channel)[u] != kNone) {
      *error = "alphabet holds '" + std::string(1, ch) + "' twice (letters are case-insensitive)";
      return false;
    }
    (*channel)[u] = (*channel)[u + 0x20] = static_cast<unsigned>((*letters)++);
  }
  return true;
}

// False with the reason in `error` when the encoding cannot be held in the element type.
bool element_fits(Encoding encoding, ElementType element, std::string* error) {
  const std::string type(element_name(element));
  if (encoding == Encoding::Bytes && element != ElementType::U8) {
    *error = "encoding 'bytes' gives uint8 elements, not " + type;
    return false;
  }
  if (encoding == Encoding::Codes && (is_float(element) || element == ElementType::Bool)) {
    *error = "encoding 'codes' needs an integer dtype, not " + type;
    return false;
  }
  return true;
}

}  // namespace

bool RowEncoder::make(const EncodeOptions& o, RowEncoder* out, std::string* error) {
  RowEncoder r;
  r.element_bytes_ = element_size(o.element);
  std::array<unsigned, 256> channel;
  channel.fill(kNone);
  std::size_t letters = 0;
  if ((o.encoding != Encoding::Bytes &&
       !alphabet_channels(o.alphabet, &channel, &letters, error)) ||
      !element_fits(o.encoding, o.element, error)) {
    return false;
  }
  if (o.encoding == Encoding::OneHot) {
    r.channels_ = letters;
    r.channels_first_ = o.channels_first;
  }
  r.width_bytes_ = r.channels_ * r.element_bytes_;
  const std::size_t w = r.width_bytes_;
  r.forward_.assign(256 * w, 0);
  r.reverse_.assign(256 * w, 0);
  r.padding_.assign(w, 0);
  for (unsigned b = 0; b < 256; ++b) {
    const auto c = static_cast<unsigned char>(COMPLEMENT_TABLE[b]);
    unsigned char* f = &r.forward_[b * w];
    unsigned char* v = &r.reverse_[b * w];
    switch (o.encoding) {
      case Encoding::Bytes:
        *f = o.upper ? upper(static_cast<unsigned char>(b)) : static_cast<unsigned char>(b);
        *v = o.upper ? upper(c) : c;
        break;
      case Encoding::Codes:
        store_element(o.element, channel[b] == kNone ? letters : channel[b], f);
        store_element(o.element, channel[c] == kNone ? letters : channel[c], v);
        break;
      case Encoding::OneHot:
        if (channel[b] != kNone) store_element(o.element, 1, f + channel[b] * r.element_bytes_);
        if (channel[c] != kNone) store_element(o.element, 1, v + channel[c] * r.element_bytes_);
        break;
    }
    r.channel_[b] = static_cast<unsigned char>(channel[b] == kNone ? letters : channel[b]);
    r.channel_rc_[b] = static_cast<unsigned char>(channel[c] == kNone ? letters : channel[c]);
  }
  switch (o.encoding) {
    case Encoding::Bytes: r.padding_[0] = o.fill; break;
    case Encoding::Codes:
      store_element(o.element, static_cast<unsigned>(letters), r.padding_.data());
      break;
    case Encoding::OneHot: break;  // no channel set
  }
  store_element(o.element, 1, r.one_);
  r.identity_ = o.encoding == Encoding::Bytes && !o.upper;
  // The vector kernels: codes of one byte, and one-hot of four channels of one byte.
  if (o.encoding == Encoding::Codes && r.element_bytes_ == 1) {
    r.vector_ = rows_form(r.forward_.data(), r.rows_, &r.rows_fallback_) &&
                rows_form(r.reverse_.data(), r.rows_rc_, &r.rows_rc_fallback_);
  } else if (o.encoding == Encoding::OneHot && !o.channels_first && r.element_bytes_ == 1 &&
             r.channels_ == 4 && r.one_[0] == 1) {
    r.vector_ = rows_form(r.channel_, r.rows_, &r.rows_fallback_) &&
                rows_form(r.channel_rc_, r.rows_rc_, &r.rows_rc_fallback_);
  }
  *out = std::move(r);
  return true;
}

void RowEncoder::begin_row(unsigned char* row, std::size_t width) const {
  if (channels_first_) std::memset(row, 0, row_bytes(width));
}

void RowEncoder::put(unsigned char* row, std::size_t width, std::size_t pos,
                     const unsigned char* src, std::size_t n, bool reverse) const {
  if (channels_first_) {
    // The row was cleared: set the one element of each residue that has a channel.
    const unsigned char* channel = reverse ? channel_rc_ : channel_;
    const std::size_t es = element_bytes_;
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned k = channel[src[reverse ? n - 1 - i : i]];
      if (k < channels_) std::memcpy(row + (k * width + pos + i) * es, one_, es);
    }
    return;
  }
  unsigned char* dst = row + pos * width_bytes_;
  if (identity_ && !reverse) {
    std::memcpy(dst, src, n);
    return;
  }
#if defined(TAVLO_ENCODE_AVX2)
  if (vector_ && n >= 32 && have_avx2()) {
    const unsigned char* rows = reverse ? rows_rc_ : rows_;
    const unsigned char fallback = reverse ? rows_rc_fallback_ : rows_fallback_;
    std::size_t done;
    if (channels_ == 4) {
      done = reverse ? encode_avx2<true, 4>(dst, src, n, rows, fallback)
                     : encode_avx2<false, 4>(dst, src, n, rows, fallback);
    } else {
      done = reverse ? encode_avx2<true, 0>(dst, src, n, rows, fallback)
                     : encode_avx2<false, 0>(dst, src, n, rows, fallback);
    }
    // The rest: reversed, the first residues of src are the last of the piece.
    dst += done * width_bytes_;
    if (!reverse) src += done;
    n -= done;
  }
#endif
  const unsigned char* table = reverse ? reverse_.data() : forward_.data();
  switch (width_bytes_) {
    case 0: return;
    case 1: put_patterns<1>(dst, table, src, n, reverse); return;
    case 2: put_patterns<2>(dst, table, src, n, reverse); return;
    case 4: put_patterns<4>(dst, table, src, n, reverse); return;
    case 8: put_patterns<8>(dst, table, src, n, reverse); return;
    case 16: put_patterns<16>(dst, table, src, n, reverse); return;
    default: put_patterns_any(dst, table, width_bytes_, src, n, reverse); return;
  }
}

void RowEncoder::pad(unsigned char* row, std::size_t width, std::size_t pos, std::size_t n) const {
  if (channels_first_ || n == 0) return;  // a cleared row is padding already
  unsigned char* dst = row + pos * width_bytes_;
  if (width_bytes_ == 1) {
    std::memset(dst, padding_[0], n);
  } else if (padding_.end() == std::find_if(padding_.begin(), padding_.end(),
                                            [](unsigned char b) { return b != 0; })) {
    std::memset(dst, 0, n * width_bytes_);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(dst + i * width_bytes_, padding_.data(), width_bytes_);
    }
  }
  (void)width;
}

}  // namespace tavlo
