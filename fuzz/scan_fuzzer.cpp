// Fuzz target for the FASTA scanner: the entries (or the error) must not depend on how the text
// is cut into pieces, whether it is scanned in two parts, or whether it comes from memory or a
// descriptor, and every entry must describe its record exactly, so that extracting any part of
// it gives back those residues.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faidx/extract.hpp"
#include "faidx/scan.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::IndexEntry;
using Scan = tavlo::Result<std::vector<IndexEntry>>;

// Feeds the text in pieces of the given sizes (cycled), as the descriptor scan does with its
// buffer: the unconsumed rest of each piece is fed again with the next one.
Scan scan_in_pieces(std::string_view text, const std::vector<std::uint8_t>& sizes) {
  tavlo::FastaScanner scanner;
  std::string pending;
  std::size_t at = 0;
  for (std::size_t k = 0;; ++k) {
    const std::size_t take = std::min<std::size_t>(sizes[k % sizes.size()], text.size() - at);
    pending.append(text.substr(at, take));
    at += take;
    const bool last = at == text.size();
    auto used = scanner.feed(pending, last);
    if (!used) return std::move(used).error();
    FUZZ_REQUIRE(*used <= pending.size());
    pending.erase(0, *used);
    if (last) break;
  }
  return tavlo::listing_entries(scanner.take_listing());
}

Scan entries_of(tavlo::Result<tavlo::NameTable> listing) {
  if (!listing) return std::move(listing).error();
  return tavlo::listing_entries(*listing);
}

void require_same(Scan& a, Scan& b) {
  FUZZ_REQUIRE(a.ok() == b.ok());
  if (!a) {
    FUZZ_REQUIRE(a.error().kind == b.error().kind);
    FUZZ_REQUIRE(a.error().payload() == b.error().payload());
    FUZZ_REQUIRE(a.error().line == b.error().line);
    return;
  }
  FUZZ_REQUIRE(a->size() == b->size());
  for (std::size_t i = 0; i < a->size(); ++i) {
    const auto &x = (*a)[i], &y = (*b)[i];
    FUZZ_REQUIRE(x.name == y.name && x.numbers.rlen == y.numbers.rlen &&
                 x.numbers.offset == y.numbers.offset && x.numbers.lenc == y.numbers.lenc &&
                 x.numbers.lenb == y.numbers.lenb);
  }
}

// The residues of the record whose sequence lines start at `offset`: every line up to the next
// header or the end, without its terminator (the LF and the CRs before it).
std::string record_residues(std::string_view text, std::size_t offset) {
  std::string out;
  std::size_t at = offset;
  while (at < text.size() && text[at] != '>') {
    std::size_t nl = text.find('\n', at);
    const std::size_t next = nl == text.npos ? text.size() : nl + 1;
    std::size_t end = nl == text.npos ? text.size() : nl;
    while (end > at && text[end - 1] == '\r') --end;
    out.append(text.substr(at, end - at));
    at = next;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The last 12 bytes, when there are that many, choose the piece sizes and the regions
  // checked; the rest is the text.
  constexpr std::size_t kParams = 12;
  const std::size_t text_size = size >= kParams ? size - kParams : size;
  const std::string text(reinterpret_cast<const char*>(data), text_size);
  std::vector<std::uint8_t> sizes(data + text_size, data + text_size + std::min<std::size_t>(4, size - text_size));
  const std::vector<std::uint8_t> regions(data + std::min(size, text_size + 4), data + size);
  if (sizes.empty()) sizes.push_back(7);
  for (auto& s : sizes) s = s == 0 ? 1 : s;

  Scan whole = entries_of(tavlo::scan_fasta_listing(text));
  Scan pieces = scan_in_pieces(text, sizes);
  require_same(whole, pieces);
  // Split at a header near the middle and scanned in two parts (on two threads), the same.
  Scan split = entries_of(tavlo::scan_fasta_listing(text, 1));
  require_same(whole, split);
  const int fd = tavlo::fuzz::memory_file(text);
  // The descriptor scan allocates a 4 MB buffer, which under the sanitizers costs more than
  // everything else here: one input in 64 takes it.
  if (text.size() % 64 == 0) {
    Scan from_fd = entries_of(tavlo::scan_fasta_fd_listing(fd));
    require_same(whole, from_fd);
  }
  if (!whole) {
    // The line numbered is the one refused: a header, or a line of the record named.
    const std::uint64_t line = whole.error().line;
    FUZZ_REQUIRE(line >= 1 && line <= 1 + static_cast<std::uint64_t>(
                                              std::count(text.begin(), text.end(), '\n')));
    return 0;
  }
  std::uint64_t previous_end = 0;
  for (const IndexEntry& e : *whole) {
    const auto& n = e.numbers;
    // The header ends just before the residues, and records follow each other.
    FUZZ_REQUIRE(n.offset >= 2 && n.offset <= text.size() && n.offset > previous_end);
    FUZZ_REQUIRE(text[n.offset - 1] == '\n' || n.offset == text.size());
    FUZZ_REQUIRE(!e.name.empty());
    const std::size_t line_feed = text.rfind('\n', n.offset - 2);
    const std::size_t header = line_feed == std::string::npos ? 0 : line_feed + 1;
    FUZZ_REQUIRE(text[header] == '>' &&
                 text.substr(header, n.offset - header).find(e.name) != std::string::npos);
    const std::string residues = record_residues(text, n.offset);
    FUZZ_REQUIRE(residues.size() == n.rlen);
    // Blanks are refused, never counted as residues.
    FUZZ_REQUIRE(residues.find_first_of(" \t") == std::string::npos);
    previous_end = n.offset;
    if (n.rlen == 0) continue;
    // Any region of the record, on both read paths, is the matching part of its residues.
    for (std::size_t k = 0; k + 1 < regions.size(); k += 2) {
      const std::uint64_t start = 1 + regions[k] % n.rlen;
      const std::uint64_t count = 1 + regions[k + 1] % (n.rlen - start + 1);
      const std::string want = residues.substr(start - 1, count);
      FUZZ_REQUIRE(tavlo::extract_sequence_from_mmap(text, n, start, count) == want);
      auto got = tavlo::extract_sequence_from_file_optimized(fd, n, start, count);
      FUZZ_REQUIRE(got.ok() && *got == want);
    }
    FUZZ_REQUIRE(tavlo::extract_sequence_from_mmap(text, n, 1, n.rlen) == residues);
  }
  return 0;
}
