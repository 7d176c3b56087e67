// Residue encoders for array rows: one pattern table per direction, built once per call.
#include "sequence/encode.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "sequence/ops.hpp"

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

unsigned char upper(unsigned char c) { return c - 'a' < 26u ? c - 0x20 : c; }

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

bool RowEncoder::make(const EncodeOptions& o, RowEncoder* out, std::string* error) {
  RowEncoder r;
  r.element_bytes_ = element_size(o.element);
  const std::string_view type = element_name(o.element);
  // The channel of each upper-cased letter; kNone for bytes outside the alphabet.
  constexpr unsigned kNone = 0xFFFF;
  std::array<unsigned, 256> channel;
  channel.fill(kNone);
  std::size_t letters = 0;
  if (o.encoding != Encoding::Bytes) {
    if (o.alphabet.empty()) {
      *error = "alphabet must hold at least one letter";
      return false;
    }
    for (const char ch : o.alphabet) {
      const auto c = static_cast<unsigned char>(ch);
      const unsigned char u = upper(c);
      if (u - 'A' >= 26u) {
        *error = "alphabet must hold ASCII letters only, not " +
                 (c < 0x20 || c >= 0x7F ? "byte " + std::to_string(c) : "'" + std::string(1, ch) + "'");
        return false;
      }
      if (channel[u] != kNone) {
        *error = "alphabet holds '" + std::string(1, ch) + "' twice (letters are case-insensitive)";
        return false;
      }
      channel[u] = static_cast<unsigned>(letters);
      channel[u + 0x20] = static_cast<unsigned>(letters);
      ++letters;
    }
  }
  switch (o.encoding) {
    case Encoding::Bytes:
      if (o.element != ElementType::U8) {
        *error = "encoding 'bytes' gives uint8 elements, not " + std::string(type);
        return false;
      }
      break;
    case Encoding::Codes:
      if (is_float(o.element) || o.element == ElementType::Bool) {
        *error = "encoding 'codes' needs an integer dtype, not " + std::string(type);
        return false;
      }
      break;
    case Encoding::OneHot:
      r.channels_ = letters;
      r.channels_first_ = o.channels_first;
      break;
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
    case Encoding::Codes: store_element(o.element, static_cast<unsigned>(letters), r.padding_.data()); break;
    case Encoding::OneHot: break;  // no channel set
  }
  store_element(o.element, 1, r.one_);
  r.identity_ = o.encoding == Encoding::Bytes && !o.upper;
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
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * width_bytes_, padding_.data(), width_bytes_);
  }
  (void)width;
}

}  // namespace tavlo
