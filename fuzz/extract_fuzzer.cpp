// Fuzz target for region extraction: arbitrary index numbers and coordinates against arbitrary
// file bytes. The descriptor path must give exactly what a byte walk from the computed offset
// gives; the map path a prefix of it, and all of it whenever the file is laid out as the numbers
// say. Neither may read outside the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "faidx/extract.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::EntryNumbers;
using u128 = unsigned __int128;

// Mostly small numbers, sometimes ones near the ends of the 64-bit range, where offsets overflow.
std::uint64_t pick(FuzzedDataProvider& fdp, std::uint64_t small) {
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 0: return fdp.ConsumeIntegral<std::uint64_t>();
    case 1: return UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    case 2: return (std::uint64_t{1} << fdp.ConsumeIntegralInRange(31, 63)) +
                   fdp.ConsumeIntegralInRange<std::uint64_t>(0, 2) - 1;
    default: return fdp.ConsumeIntegralInRange<std::uint64_t>(0, small);
  }
}

bool terminator(char c) { return c == '\n' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  EntryNumbers e;
  e.lenc = pick(fdp, 70);
  e.lenb = fdp.ConsumeBool() ? e.lenc + fdp.ConsumeIntegralInRange(0, 2) : pick(fdp, 72);
  e.offset = pick(fdp, 40);
  e.rlen = pick(fdp, 300);
  const std::uint64_t start = pick(fdp, 300);
  const std::uint64_t count = pick(fdp, 300);
  const std::string bytes = fdp.ConsumeRemainingBytesAsString();
  // An allocation of exactly the file's size, so that AddressSanitizer sees any read past it.
  const std::size_t n = bytes.size();
  std::unique_ptr<char[]> file(new char[n == 0 ? 1 : n]);
  std::memcpy(file.get(), bytes.data(), n);
  const std::string_view map(file.get(), n);

  // The walk: from the residue's byte offset (when it exists and lies in the file) to the end,
  // skipping terminators, until `count` residues.
  std::string walk;
  u128 first = 0;
  const bool readable = count != 0 && e.rlen != 0 && e.lenc != 0 && start != 0;
  if (readable) {
    first = u128{e.offset} + (start - 1) % e.lenc + u128{e.lenb} * ((start - 1) / e.lenc);
    for (u128 at = first; at < n && walk.size() < count; ++at) {
      if (!terminator(map[static_cast<std::size_t>(at)])) walk.push_back(map[static_cast<std::size_t>(at)]);
    }
  }

  const std::string from_map = tavlo::extract_sequence_from_mmap(map, e, start, count);
  auto from_fd = tavlo::extract_sequence_from_file_optimized(tavlo::fuzz::memory_file(bytes), e,
                                                            start, count);
  FUZZ_REQUIRE(from_fd.ok());
  FUZZ_REQUIRE(*from_fd == walk);
  FUZZ_REQUIRE(from_map.size() <= walk.size() && walk.compare(0, from_map.size(), from_map) == 0);

  // Laid out as the numbers say: residue j of the region at its computed byte, never a
  // terminator, and only terminators between the lines. Then the map path must give them all.
  if (readable && count <= n && e.lenb >= e.lenc) {
    bool laid_out = true;
    u128 previous = 0;
    for (std::uint64_t j = 0; j < count && laid_out; ++j) {
      const std::uint64_t i = start - 1 + j;  // no wrap: start + count - 1 < 2^64 checked below
      if (i < start - 1) {
        laid_out = false;
        break;
      }
      const u128 at = u128{e.offset} + i % e.lenc + u128{e.lenb} * (i / e.lenc);
      laid_out = at < n && !terminator(map[static_cast<std::size_t>(at)]);
      for (u128 k = previous + 1; laid_out && j > 0 && k < at; ++k) {
        laid_out = terminator(map[static_cast<std::size_t>(k)]);
      }
      previous = at;
    }
    if (laid_out) {
      FUZZ_REQUIRE(walk.size() == count);
      FUZZ_REQUIRE(from_map == walk);
    }
  }
  return 0;
}
