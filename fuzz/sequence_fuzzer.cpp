// Fuzz target for the Sequence kernels: subscripts, slices, reverse, complement and the GC
// statistics on arbitrary bytes and keys, against byte-at-a-time models, with and without the
// SIMD kernels. Every text they return must be valid UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "sequence/ops.hpp"
#include "text/text.hpp"

namespace {

using tavlo::SequenceRecord;
using Coord = std::optional<std::uint64_t>;

// A valid character is exactly the shortest encoding of a scalar value: decode by the bit
// patterns alone, then encode again and compare.
std::size_t model_char_length(const unsigned char* p, std::size_t n) {
  for (std::size_t len = 1; len <= 4 && len <= n; ++len) {
    static const unsigned char kLeadMask[] = {0, 0x80, 0xE0, 0xF0, 0xF8};
    static const unsigned char kLeadBits[] = {0, 0x00, 0xC0, 0xE0, 0xF0};
    if ((p[0] & kLeadMask[len]) != kLeadBits[len]) continue;
    std::uint32_t cp = p[0] & static_cast<unsigned char>(~kLeadMask[len]);
    bool ok = true;
    for (std::size_t k = 1; k < len; ++k) {
      ok &= (p[k] & 0xC0) == 0x80;
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    const std::size_t shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (ok && shortest == len && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) return len;
    return 0;
  }
  return 0;
}

std::string latin1(unsigned char c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  return {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
}

std::string model_as_text(const std::string& bytes) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t len = model_char_length(p + i, bytes.size() - i);
    out += len ? bytes.substr(i, len) : latin1(p[i]);
    i += len ? len : 1;
  }
  return out;
}

Coord model_shift(Coord base, __int128 off) {
  if (!base) return std::nullopt;
  const __int128 v = static_cast<__int128>(*base) + off;
  if (v < 0 || v > static_cast<__int128>(UINT64_MAX)) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

// The interpreter's slice normalisation against length n.
void adjust(std::int64_t n, std::int64_t* v, std::int64_t k) {
  if (*v < 0) {
    *v += n;
    if (*v < 0) *v = k < 0 ? -1 : 0;
  } else if (*v >= n) {
    *v = k < 0 ? n - 1 : n;
  }
}

void require_record(const SequenceRecord& got, const std::string& seq, Coord start, Coord end,
                    bool comp, const SequenceRecord& in) {
  FUZZ_REQUIRE(got.name == in.name);
  FUZZ_REQUIRE(got.seq == seq);
  FUZZ_REQUIRE(got.start == start && got.end == end && got.comp == comp);
  FUZZ_REQUIRE(tavlo::text::is_valid_utf8(got.seq.data(), got.seq.size()));
}

std::uint64_t pick_coordinate(FuzzedDataProvider& fdp) {
  return fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3)
                           : UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3) -
                                 (fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegral<std::uint32_t>());
}

void check_all(const SequenceRecord& rec, std::int64_t a0, std::int64_t b0, std::int64_t k,
               std::int64_t index) {
  const std::string& t = rec.seq;
  const auto n = static_cast<std::int64_t>(t.size());
  const bool both = rec.start && rec.end;

  // Whole-text derivations.
  std::string comp, rev;
  for (char c : t) comp += tavlo::COMPLEMENT_TABLE[static_cast<unsigned char>(c)];
  rev.assign(t.rbegin(), t.rend());
  const Coord sw_start = both ? rec.end : rec.start, sw_end = both ? rec.start : rec.end;
  require_record(tavlo::complement(rec), comp, rec.start, rec.end, !rec.comp, rec);
  require_record(tavlo::reverse(rec), model_as_text(rev), sw_start, sw_end, rec.comp, rec);
  require_record(tavlo::reverse_complement(rec), std::string(comp.rbegin(), comp.rend()),
                 sw_start, sw_end, !rec.comp, rec);

  // One index, normalised and range-checked as the binding does.
  if (index < 0) index += n;
  if (index >= 0 && index < n) {
    require_record(tavlo::at(rec, index), latin1(static_cast<unsigned char>(t[index])),
                   model_shift(rec.start, index), model_shift(rec.start, index), rec.comp, rec);
  }

  // A slice, normalised as the interpreter does.
  std::int64_t a = a0, b = b0;
  adjust(n, &a, k);
  adjust(n, &b, k);
  std::string picked;
  __int128 lo = 0, hi = 0;
  bool shifted = true;
  if (k > 0) {
    for (__int128 i = a; i < b; i += k) picked += t[static_cast<std::size_t>(i)];
    lo = a;
    hi = b - 1;
  } else if (n == 0) {
    shifted = false;
  } else if (b > a) {
    lo = a;
    hi = a - 1;
  } else {
    for (__int128 i = a; i > b; i += k) picked += t[static_cast<std::size_t>(i)];
    lo = b + 1;
    hi = a;
  }
  const Coord s_start = !both ? Coord{} : shifted ? model_shift(rec.start, lo) : rec.start;
  const Coord s_end = !both ? Coord{} : shifted ? model_shift(rec.start, hi) : rec.start;
  const std::string want = model_as_text(picked);
  require_record(tavlo::slice(rec, a, b, k), want, s_start, s_end, rec.comp, rec);
  if (tavlo::is_ascii(t)) {
    require_record(tavlo::slice(rec, a, b, k, true), want, s_start, s_end, rec.comp, rec);
  }
  // Indices outside the normalised ranges are clamped, whatever they are.
  (void)tavlo::slice(rec, a0, b0, k);
  (void)tavlo::slice(rec, b0, a0, k == INT64_MIN ? INT64_MAX : -k);

  // Statistics, as plain counts and a sum in text order.
  std::uint64_t cg = 0, acgt = 0, counted = 0;
  double weights = 0;
  for (char c : t) {
    const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    cg += u == 'C' || u == 'G';
    acgt += u == 'A' || u == 'C' || u == 'G' || u == 'T';
    static const std::string kLetters = "CGSBVKMRYDHNATW";
    static const double kWeights[] = {1, 1, 1, 0.67, 0.67, 0.5, 0.5, 0.5, 0.5, 0.33, 0.33,
                                      0.25, 0, 0, 0};
    if (const std::size_t w = kLetters.find(u); u != '\0' && w != std::string::npos) {
      weights += kWeights[w];
      ++counted;
    }
  }
  FUZZ_REQUIRE(tavlo::gc(t) == (n ? static_cast<double>(cg) / static_cast<double>(n) : 0.0));
  FUZZ_REQUIRE(tavlo::gc_strict(t) ==
               (acgt ? static_cast<double>(cg) / static_cast<double>(acgt) : 0.0));
  FUZZ_REQUIRE(tavlo::gc_iupac(t) == (counted ? weights / static_cast<double>(counted) : 0.0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  SequenceRecord rec;
  rec.name = "r";
  if (fdp.ConsumeBool()) rec.start = pick_coordinate(fdp);
  if (fdp.ConsumeBool()) rec.end = pick_coordinate(fdp);
  rec.comp = fdp.ConsumeBool();
  auto key = [&fdp]() -> std::int64_t {
    return fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::int64_t>(-80, 80)
                             : fdp.ConsumeIntegral<std::int64_t>();
  };
  const std::int64_t a = key(), b = key(), index = key();
  std::int64_t k = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::int64_t>(-4, 4) : key();
  if (k == 0) k = 1;
  rec.seq = fdp.ConsumeRemainingBytesAsString();
  tavlo::detail::use_simd(true);
  check_all(rec, a, b, k, index);
  tavlo::detail::use_simd(false);
  check_all(rec, a, b, k, index);
  return 0;
}
