// Fuzz target for single BGZF blocks and the .gzi format. A block, arbitrary bytes or one written
// here and then damaged, inflates exactly when zlib reads it as a complete block of the declared
// size and CRC32, and then to zlib's bytes; otherwise it is an error value. A .gzi parses exactly
// when its pairs are well ordered, and formats back to the same bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bgzf_writer.hpp"
#include "faidx/bgzf.hpp"

namespace {

using tavlo::GziEntry;
using tavlo::fuzz::get_le;

void check_block(std::string_view bytes, const std::string* written) {
  auto h = tavlo::parse_bgzf_header(bytes, 7);
  FUZZ_REQUIRE(tavlo::is_bgzf(bytes) == h.ok());
  if (written != nullptr && bytes.size() >= 18 + 10 && bytes.substr(0, 18) == std::string_view(*written).substr(0, 18)) {
    FUZZ_REQUIRE(h.ok() && h->header_size == 18 && h->block_size == written->size());
  }
  std::string out;
  tavlo::Status s = tavlo::inflate_bgzf_block(bytes, 7, out);
  if (!h) {
    FUZZ_REQUIRE(!s.ok() && s.error().text.find("compressed offset 7") != std::string::npos);
    return;
  }
  FUZZ_REQUIRE(h->header_size >= 18 && h->header_size <= bytes.size() &&
               h->block_size >= h->header_size + 10 && h->block_size <= tavlo::kBgzfMaxBlock);
  bool model = h->block_size <= bytes.size();
  std::string expect;
  if (model) {
    const std::uint32_t isize = get_le(bytes, h->block_size - 4, 4);
    const std::uint32_t crc = get_le(bytes, h->block_size - 8, 4);
    const std::string_view deflated =
        bytes.substr(h->header_size, h->block_size - h->header_size - 8);
    model = isize <= tavlo::kBgzfMaxBlock && tavlo::fuzz::zlib_inflate(deflated, isize, expect) &&
            expect.size() == isize &&
            crc32(0, reinterpret_cast<const Bytef*>(expect.data()), isize) == crc;
  }
  FUZZ_REQUIRE(s.ok() == model);
  if (!s) {
    FUZZ_REQUIRE(s.error().text.find("compressed offset 7") != std::string::npos);
    return;
  }
  FUZZ_REQUIRE(out == expect);
}

void check_gzi(std::string_view bytes) {
  auto parsed = tavlo::parse_gzi(bytes);
  bool model = bytes.size() >= 8 && (bytes.size() - 8) % 16 == 0 &&
               get_le(bytes, 0, 4) == (bytes.size() - 8) / 16 && get_le(bytes, 4, 4) == 0;
  std::vector<GziEntry> pairs;
  GziEntry prev{0, 0};
  for (std::size_t at = 8; model && at < bytes.size(); at += 16) {
    const GziEntry e{get_le(bytes, at, 4) | std::uint64_t{get_le(bytes, at + 4, 4)} << 32,
                     get_le(bytes, at + 8, 4) | std::uint64_t{get_le(bytes, at + 12, 4)} << 32};
    model = e.coff > prev.coff && e.uoff >= prev.uoff && e.uoff - prev.uoff <= tavlo::kBgzfMaxBlock;
    pairs.push_back(prev = e);
  }
  FUZZ_REQUIRE(parsed.ok() == model);
  if (!parsed) return;
  FUZZ_REQUIRE(parsed->size() == pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    FUZZ_REQUIRE((*parsed)[i].coff == pairs[i].coff && (*parsed)[i].uoff == pairs[i].uoff);
  }
  FUZZ_REQUIRE(tavlo::format_gzi(*parsed) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0: {  // arbitrary bytes, as a block and as a .gzi
      const std::string bytes = fdp.ConsumeRemainingBytesAsString();
      check_block(bytes, nullptr);
      check_gzi(bytes);
      break;
    }
    case 1: {  // a written block, damaged in a few bytes, cut short or followed by more bytes
      const int level = fdp.ConsumeIntegralInRange(0, 9);
      const int flips = fdp.ConsumeIntegralInRange(0, 3);
      const int cut = fdp.ConsumeIntegralInRange(0, 2);
      std::vector<std::pair<std::size_t, std::uint8_t>> damage;
      for (int i = 0; i < flips; ++i) {
        damage.emplace_back(fdp.ConsumeIntegral<std::uint16_t>(), fdp.ConsumeIntegral<std::uint8_t>());
      }
      const std::size_t keep = fdp.ConsumeIntegral<std::uint16_t>();
      const std::string text = fdp.ConsumeRemainingBytesAsString();
      const std::string written = tavlo::fuzz::bgzf_block(text, level);
      if (written.size() > tavlo::kBgzfMaxBlock) return 0;
      std::string bytes = written;
      for (auto [at, x] : damage) bytes[at % bytes.size()] ^= static_cast<char>(x);
      if (cut == 1) bytes.resize(keep % bytes.size());
      if (cut == 2) bytes += written;
      check_block(bytes, &written);
      if (flips == 0 && cut != 1) {
        std::string out;
        FUZZ_REQUIRE(tavlo::inflate_bgzf_block(bytes, 0, out).ok() && out == text);
      }
      break;
    }
    default: {  // pairs, mostly well ordered, formatted and parsed back
      std::vector<GziEntry> pairs;
      GziEntry prev{0, 0};
      while (fdp.remaining_bytes() > 0 && pairs.size() < 64) {
        if (fdp.ConsumeBool()) {
          prev = {prev.coff + fdp.ConsumeIntegralInRange<std::uint64_t>(0, 70000),
                  prev.uoff + fdp.ConsumeIntegralInRange<std::uint64_t>(0, 70000)};
        } else {
          prev = {fdp.ConsumeIntegral<std::uint64_t>(), fdp.ConsumeIntegral<std::uint64_t>()};
        }
        pairs.push_back(prev);
      }
      const std::string bytes = tavlo::format_gzi(pairs);
      FUZZ_REQUIRE(bytes.size() == 8 + 16 * pairs.size());
      check_gzi(bytes);
      break;
    }
  }
  return 0;
}
