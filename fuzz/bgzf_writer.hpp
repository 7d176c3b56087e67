// Shared by the BGZF fuzz targets: a tiny BGZF writer on zlib, and zlib's own reading of a block,
// to hold the reader's results against.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"

namespace tavlo::fuzz {

inline void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

inline std::uint32_t get_le(std::string_view s, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

// One BGZF block holding `text` (at most 64 KiB), deflated at zlib level `level` (0 to 9).
inline std::string bgzf_block(std::string_view text, int level) {
  z_stream z{};
  FUZZ_REQUIRE(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string deflated(deflateBound(&z, text.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(deflated.data());
  z.avail_out = static_cast<uInt>(deflated.size());
  FUZZ_REQUIRE(deflate(&z, Z_FINISH) == Z_STREAM_END);
  deflated.resize(z.total_out);
  deflateEnd(&z);
  std::string block("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
  put_le(block, 18 + deflated.size() + 8 - 1, 2);
  block += deflated;
  put_le(block, crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())), 4);
  put_le(block, text.size(), 4);
  return block;
}

// zlib's reading of raw deflate data: true with `out` set when the stream ends within `deflated`
// having produced at most `limit` bytes.
inline bool zlib_inflate(std::string_view deflated, std::size_t limit, std::string& out) {
  z_stream z{};
  FUZZ_REQUIRE(inflateInit2(&z, -15) == Z_OK);
  out.assign(limit + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  z.avail_in = static_cast<uInt>(deflated.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int r = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  return r == Z_STREAM_END && out.size() <= limit;
}

}  // namespace tavlo::fuzz
