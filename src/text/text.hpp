// Byte-level text helpers shared by the core: ASCII and UTF-8 checks, Unicode white space.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavlo::text {

// True when no byte has its high bit set.
inline bool is_ascii(const char* p, std::size_t n) {
  std::size_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    __m128i acc = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
      acc = _mm_or_si128(acc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    }
    // The last 16 bytes again cover the remainder without a byte loop.
    acc = _mm_or_si128(acc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
    return _mm_movemask_epi8(acc) == 0;
  }
#endif
  std::uint64_t acc = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

// Length of the valid UTF-8 character that starts at p, or 0 when none does: no overlongs, no
// surrogates, nothing above U+10FFFF.
inline std::size_t utf8_char_length(const unsigned char* p, std::size_t n) {
  if (n == 0) return 0;
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  }
  return len;
}

// Strict UTF-8 validation, character by character (ASCII runs checked 16 bytes at a time first).
inline bool is_valid_utf8(const char* data, std::size_t n) {
  if (is_ascii(data, n)) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = utf8_char_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

inline bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Length in bytes of a white-space character at the start of s (valid UTF-8), or 0.
inline std::size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  if (p[0] < 0x80) return is_white_space(p[0]) ? 1 : 0;
  if (p[0] == 0xC2 && s.size() >= 2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if ((p[0] == 0xE1 || p[0] == 0xE2 || p[0] == 0xE3) && s.size() >= 3) {
    const std::uint32_t cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return is_white_space(cp) ? 3 : 0;
  }
  return 0;
}

// Length in bytes of a white-space character at the end of s (valid UTF-8), or 0.
inline std::size_t trailing_space(std::string_view s) {
  if (s.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  if (p[n - 1] < 0x80) return is_white_space(p[n - 1]) ? 1 : 0;
  if (n >= 2 && p[n - 2] == 0xC2) return (p[n - 1] == 0x85 || p[n - 1] == 0xA0) ? 2 : 0;
  if (n >= 3 && (p[n - 3] == 0xE1 || p[n - 3] == 0xE2 || p[n - 3] == 0xE3)) {
    const std::uint32_t cp =
        ((p[n - 3] & 0x0Fu) << 12) | ((p[n - 2] & 0x3Fu) << 6) | (p[n - 1] & 0x3Fu);
    return is_white_space(cp) ? 3 : 0;
  }
  return 0;
}

inline std::string_view trim(std::string_view s) {
  while (std::size_t k = leading_space(s)) s.remove_prefix(k);
  while (std::size_t k = trailing_space(s)) s.remove_suffix(k);
  return s;
}

// The first white-space separated word of s (empty when s holds only white space).
inline std::string_view first_word(std::string_view s) {
  while (std::size_t k = leading_space(s)) s.remove_prefix(k);
  std::size_t i = 0;
  while (i < s.size() && leading_space(s.substr(i)) == 0) {
    const auto c = static_cast<unsigned char>(s[i]);
    i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  }
  return s.substr(0, i < s.size() ? i : s.size());
}

}  // namespace tavlo::text
