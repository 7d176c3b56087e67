// Fuzz target for reading BGZF files: a text from the input, cut into blocks (some empty) that
// are deflated here at varying levels, sometimes damaged afterwards. Regions read through
// BgzfReader, from the map, through a descriptor and by byte ranges, equal the same regions of
// the plain text; the file's scan finds the .gzi pairs it was written with and the records the
// plain text holds.
// A damaged file gives an error value or, where the damage spared what was read, the same result
// (a cut file may also give fewer residues); a .gzi that lies may give anything but a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bgzf_writer.hpp"
#include "faidx/bgzf.hpp"
#include "faidx/extract.hpp"
#include "faidx/scan.hpp"

namespace {

using tavlo::EntryNumbers;
using tavlo::GziEntry;

enum Damage { kNone, kFlip, kCut, kLyingIndex, kDamages };

// The file read by byte ranges, as a remote object is.
class Ranges final : public tavlo::RangeReader {
 public:
  explicit Ranges(std::string_view bytes) : bytes_(bytes) {}
  tavlo::Status read(std::uint64_t at, std::size_t n, std::string& out) const override {
    FUZZ_REQUIRE(at <= bytes_.size() && n <= bytes_.size() - at);
    out.assign(bytes_.substr(static_cast<std::size_t>(at), n));
    return tavlo::Ok{};
  }

 private:
  std::string_view bytes_;
};

std::uint64_t pick(FuzzedDataProvider& fdp, std::uint64_t small) {
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 0: return fdp.ConsumeIntegral<std::uint64_t>();
    case 1: return UINT64_MAX - fdp.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    default: return fdp.ConsumeIntegralInRange<std::uint64_t>(0, small);
  }
}

bool same_entries(const std::vector<tavlo::IndexEntry>& a, const std::vector<tavlo::IndexEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const EntryNumbers &x = a[i].numbers, &y = b[i].numbers;
    if (a[i].name != b[i].name || x.rlen != y.rlen || x.offset != y.offset || x.lenc != y.lenc ||
        x.lenb != y.lenb) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const auto damage = static_cast<Damage>(fdp.ConsumeIntegralInRange(0, kDamages - 1));
  const bool eof_block = fdp.ConsumeBool();
  std::vector<std::pair<std::size_t, int>> cuts;  // block lengths and levels
  for (int n = fdp.ConsumeIntegralInRange(1, 8); n > 0; --n) {
    cuts.emplace_back(fdp.ConsumeIntegralInRange<std::size_t>(0, 400), fdp.ConsumeIntegralInRange(0, 9));
  }
  struct Region {
    EntryNumbers e;
    std::uint64_t start, count;
  };
  std::vector<Region> regions(fdp.ConsumeIntegralInRange(1, 4));
  for (Region& r : regions) {
    r.e.lenc = pick(fdp, 70);
    r.e.lenb = fdp.ConsumeBool() ? r.e.lenc + fdp.ConsumeIntegralInRange(0, 2) : pick(fdp, 72);
    r.e.offset = pick(fdp, 300);
    r.e.rlen = pick(fdp, 3000);
    r.start = pick(fdp, 3000);
    r.count = pick(fdp, 3000);
  }
  const std::uint16_t where = fdp.ConsumeIntegral<std::uint16_t>();
  const std::uint8_t flip = fdp.ConsumeIntegralInRange<std::uint8_t>(1, 255);
  std::vector<GziEntry> lies;
  for (int n = fdp.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    lies.push_back({fdp.ConsumeIntegralInRange<std::uint64_t>(0, 4000),
                    fdp.ConsumeIntegralInRange<std::uint64_t>(0, 4000)});
  }
  const std::string text = fdp.ConsumeRemainingBytesAsString();

  // The file and the .gzi it should have: every block holding text but the first one.
  std::string file;
  std::vector<GziEntry> gzi;
  std::size_t used = 0, data_end = 0;  // data_end: where the last block holding text ends
  std::vector<std::size_t> ends;        // where each block ends
  for (std::size_t k = 0; used < text.size() || k < cuts.size(); ++k) {
    const auto [len, level] = k < cuts.size() ? cuts[k] : std::pair<std::size_t, int>{400, 6};
    const std::size_t n = std::min(len, text.size() - used);
    if (n > 0 && used > 0) gzi.push_back({file.size(), used});
    file += tavlo::fuzz::bgzf_block(std::string_view(text).substr(used, n), level);
    used += n;
    if (n > 0) data_end = file.size();
    ends.push_back(file.size());
  }
  if (eof_block) ends.push_back((file += tavlo::fuzz::bgzf_block("", 6)).size());
  if (damage == kFlip) file[where % file.size()] ^= static_cast<char>(flip);
  if (damage == kCut) file.resize(where % (file.size() + 1));
  // A cut between blocks after the text loses nothing.
  const bool intact = damage == kNone || (damage == kCut && file.size() >= data_end &&
                                          std::count(ends.begin(), ends.end(), file.size()) > 0);

  // An allocation of exactly the file's size, so that AddressSanitizer sees any read past it.
  const std::size_t n = file.size();
  std::unique_ptr<char[]> map(new char[n == 0 ? 1 : n]);
  std::memcpy(map.get(), file.data(), n);
  const int fd = tavlo::fuzz::memory_file(file);

  std::vector<GziEntry> given = gzi;
  if (damage == kLyingIndex) {
    GziEntry prev{0, 0};
    given.clear();
    for (const GziEntry& l : lies) {  // pairs that pass the .gzi checks, at made-up places
      prev = {prev.coff + 1 + l.coff, prev.uoff + l.uoff % (tavlo::kBgzfMaxBlock + 1)};
      given.push_back(prev);
    }
  }
  const Ranges ranges(std::string_view(map.get(), n));
  const tavlo::BgzfReader from_map({map.get(), -1, n}, given);
  const tavlo::BgzfReader from_fd({nullptr, fd, n}, given);
  const tavlo::BgzfReader from_ranges({nullptr, -1, n, &ranges}, given);
  std::string got;
  for (const Region& r : regions) {
    const std::string expect = tavlo::extract_sequence_from_mmap(text, r.e, r.start, r.count);
    for (const tavlo::BgzfReader* reader : {&from_map, &from_fd, &from_ranges}) {
      const tavlo::Status s = tavlo::extract_sequence_from_text(*reader, r.e, r.start, r.count, got);
      if (damage == kLyingIndex) continue;
      if (intact) FUZZ_REQUIRE(s.ok());
      if (!s.ok()) continue;
      if (damage == kCut && !intact) {
        FUZZ_REQUIRE(got.size() <= expect.size() && expect.compare(0, got.size(), got) == 0);
      } else {
        FUZZ_REQUIRE(got == expect);
      }
    }
  }

  // The scan: from the map with inflation, through the descriptor without, or the other way.
  const bool inflate_map = fdp.ConsumeBool();
  auto a = tavlo::scan_bgzf({map.get(), -1, n}, inflate_map);
  auto b = tavlo::scan_bgzf({nullptr, fd, n}, !inflate_map);
  if (damage == kNone) {
    auto plain = tavlo::scan_fasta_listing(text);
    for (auto* scan : {&a, &b}) {
      const bool inflated = scan == &a ? inflate_map : !inflate_map;
      if (!inflated) {
        FUZZ_REQUIRE(scan->ok());
      } else {
        FUZZ_REQUIRE(scan->ok() == plain.ok());
        if (!scan->ok()) continue;
        FUZZ_REQUIRE(same_entries(tavlo::listing_entries((*scan)->listing),
                                  tavlo::listing_entries(*plain)));
      }
      FUZZ_REQUIRE((*scan)->gzi.size() == gzi.size());
      for (std::size_t i = 0; i < gzi.size(); ++i) {
        FUZZ_REQUIRE((*scan)->gzi[i].coff == gzi[i].coff && (*scan)->gzi[i].uoff == gzi[i].uoff);
      }
    }
  }
  return 0;
}
