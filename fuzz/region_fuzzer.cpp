// Fuzz target for the command-line tool's region strings: a few record names and a region text
// from the input. A resolved region names a record of the table, by a name that is part of the
// text, with 0 <= beg < end; a refused one says why; clamping stays inside the record. A text
// written from chosen numbers (plain, with thousands separators, open at either end, the name in
// braces or not) must read back as those numbers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/region.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::cli::ClampedRegion;
using tavlo::cli::kToEnd;
using tavlo::cli::ParsedRegion;
using tavlo::cli::RegionStatus;

void check_clamp(std::int64_t beg, std::int64_t end, std::uint64_t length) {
  const ClampedRegion c = tavlo::cli::clamp_region(beg, end, length);
  const std::uint64_t len = length > INT64_MAX ? INT64_MAX : length;
  FUZZ_REQUIRE(c.first >= 1 && c.last <= len && c.first <= c.last + 1);
  FUZZ_REQUIRE(c.truncated == (end != kToEnd && end > 0 && static_cast<std::uint64_t>(end) > len));
  if (beg >= 0 && end > beg && static_cast<std::uint64_t>(end) <= len) {
    FUZZ_REQUIRE(c.first == static_cast<std::uint64_t>(beg) + 1 &&
                 c.last == static_cast<std::uint64_t>(end));
  }
}

void check(const ParsedRegion& r, std::string_view text, const tavlo::NameTable& names) {
  if (r.status != RegionStatus::Ok) {
    FUZZ_REQUIRE(!r.message.empty() && !r.entry);
    return;
  }
  FUZZ_REQUIRE(r.entry && names.lookup(r.name) == r.entry);
  FUZZ_REQUIRE(r.name.data() >= text.data() &&
               r.name.data() + r.name.size() <= text.data() + text.size());
  FUZZ_REQUIRE(r.beg >= 0 && r.beg < r.end);
  check_clamp(r.beg, r.end, r.entry->rlen);
}

std::string with_commas(std::int64_t v) {
  std::string digits = std::to_string(v), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  tavlo::NameTable names;
  std::vector<std::string> listed;
  const int count = fdp.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    listed.push_back(fdp.ConsumeRandomLengthString(12));
    tavlo::EntryNumbers e;
    e.rlen = fdp.ConsumeBool() ? fdp.ConsumeIntegral<std::uint64_t>()
                               : fdp.ConsumeIntegralInRange<std::uint64_t>(0, 1000);
    names.insert(listed.back(), e);
  }

  // The model: a listed name and numbers written in one of the forms the tool documents, read
  // back as those numbers. A name holding a colon or starting with a brace is quoted in braces
  // (unless it holds a closing brace too); a text that is itself a listed name is left out.
  if (!listed.empty() && fdp.ConsumeBool()) {
    const std::string& name = listed[fdp.ConsumeIntegralInRange<std::size_t>(0, listed.size() - 1)];
    const auto first = fdp.ConsumeIntegralInRange<std::int64_t>(1, INT64_MAX - 1);
    const auto last = fdp.ConsumeIntegralInRange<std::int64_t>(first, INT64_MAX - 1);
    const bool quote = fdp.ConsumeBool() || name.find(':') != std::string::npos ||
                       (!name.empty() && name[0] == '{');
    std::string text = quote ? "{" + name + "}:" : name + ":";
    std::int64_t beg = first - 1, end = last;
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
      case 0: text += std::to_string(first) + "-" + std::to_string(last); break;
      case 1: text += with_commas(first) + "-" + with_commas(last); break;
      case 2: text += std::to_string(first), end = kToEnd; break;
      default: text += "-" + std::to_string(last), beg = 0; break;
    }
    const ParsedRegion r = tavlo::cli::parse_region(text, names);
    check(r, text, names);
    if (name.find('}') == std::string::npos && !names.lookup(text)) {
      FUZZ_REQUIRE(r.status == RegionStatus::Ok && r.name == name);
      FUZZ_REQUIRE(r.beg == beg && r.end == end);
    }
    return 0;
  }

  const std::string text = fdp.ConsumeRemainingBytesAsString();
  check(tavlo::cli::parse_region(text, names), text, names);
  return 0;
}
