// Fuzz target for array rows: arbitrary encodings, alphabets, windows (signed 64-bit starts near
// the ends of the range) and residue bytes. A row written whole (vector kernels included) must
// equal the row written one position at a time, and nothing may be written outside the row.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "faidx/array_fill.hpp"
#include "fuzz_check.hpp"
#include "sequence/encode.hpp"

namespace {

std::int64_t pick_start(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange(0, 5)) {
    case 0: return fdp.ConsumeIntegral<std::int64_t>();
    case 1: return INT64_MIN + fdp.ConsumeIntegralInRange<std::int64_t>(0, 3);
    case 2: return INT64_MAX - fdp.ConsumeIntegralInRange<std::int64_t>(0, 300);
    default: return fdp.ConsumeIntegralInRange<std::int64_t>(-300, 400);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  tavlo::EncodeOptions o;
  o.encoding = static_cast<tavlo::Encoding>(fdp.ConsumeIntegralInRange(0, 2));
  o.element = static_cast<tavlo::ElementType>(fdp.ConsumeIntegralInRange(0, 8));
  o.alphabet = fdp.ConsumeBool() ? "ACGT" : fdp.ConsumeRandomLengthString(30);
  o.channels_first = fdp.ConsumeBool();
  o.upper = fdp.ConsumeBool();
  o.fill = fdp.ConsumeIntegral<unsigned char>();
  const bool reverse = fdp.ConsumeBool();
  const std::uint64_t width = fdp.ConsumeIntegralInRange<std::uint64_t>(0, 300);
  std::int64_t start = pick_start(fdp);
  if (width > 0 && start > INT64_MAX - static_cast<std::int64_t>(width - 1)) {
    start = INT64_MAX - static_cast<std::int64_t>(width - 1);
  }
  const std::string residues = fdp.ConsumeRemainingBytesAsString();
  tavlo::RowEncoder enc;
  std::string why;
  if (!tavlo::RowEncoder::make(o, &enc, &why)) {
    FUZZ_REQUIRE(!why.empty());
    return 0;
  }
  const std::uint64_t rlen = residues.size();
  const tavlo::WindowSpan w = tavlo::resolve_window(start, width, rlen);
  // Count the positions by brute force, in 128-bit arithmetic.
  std::uint64_t before = 0, inside = 0;
  for (std::uint64_t k = 0; k < width; ++k) {
    const __int128 p = static_cast<__int128>(start) + k;
    before += p < 1;
    inside += p >= 1 && p <= static_cast<__int128>(rlen);
  }
  FUZZ_REQUIRE(w.left == before && w.span == inside);
  FUZZ_REQUIRE(w.span == 0 || (w.first >= 1 && w.first - 1 + w.span <= rlen));

  // Rows of exactly their size on the heap, so that AddressSanitizer sees a write past one.
  const std::size_t bytes = enc.row_bytes(width);
  std::unique_ptr<unsigned char[]> whole(new unsigned char[bytes + 1]);
  std::unique_ptr<unsigned char[]> single(new unsigned char[bytes + 1]);
  std::memset(whole.get(), 0xA5, bytes);
  std::memset(single.get(), 0x5A, bytes);
  const auto* src = reinterpret_cast<const unsigned char*>(residues.data());
  tavlo::write_row(enc, whole.get(), width, w.left, w.span ? src + (w.first - 1) : src, w.span,
                   reverse);
  enc.begin_row(single.get(), width);
  for (std::uint64_t k = 0; k < width; ++k) {
    const std::uint64_t at = reverse ? width - 1 - k : k;
    if (k >= w.left && k < w.left + w.span) {
      enc.put(single.get(), width, at, src + (w.first - 1) + (k - w.left), 1, reverse);
    } else {
      enc.pad(single.get(), width, at, 1);
    }
  }
  FUZZ_REQUIRE(std::memcmp(whole.get(), single.get(), bytes) == 0);
  return 0;
}
