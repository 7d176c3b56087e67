// Fuzz target for the command-line tool's BED reader: one line of arbitrary bytes. A row has its
// columns inside the line and start <= end; written back with its numbers in plain decimal it
// reads as the same row; its blocks are the ones its BED12 columns describe, as a plain model
// reads them, each at or after the row's start.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/bed.hpp"
#include "fuzz_check.hpp"

namespace {

using tavlo::cli::BedLine;
using tavlo::cli::BedLineKind;
using tavlo::cli::BedRow;

bool inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// A plain reading of a comma-separated list of decimals, a trailing comma allowed.
bool model_list(std::string_view s, std::vector<unsigned __int128>& out) {
  out.clear();
  if (s.empty()) return true;
  std::string item;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != ',') {
      item.push_back(s[i]);
      continue;
    }
    if (i == s.size() && item.empty() && !out.empty()) break;  // trailing comma
    if (item.empty()) return false;
    unsigned __int128 v = 0;
    for (char c : item) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<unsigned>(c - '0');
      if (v > UINT64_MAX) return false;
    }
    out.push_back(v);
    item.clear();
  }
  return true;
}

void check_blocks(const BedRow& row) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
  std::string message;
  const bool ok = tavlo::cli::bed_blocks(row, blocks, message);
  std::vector<unsigned __int128> count, sizes, starts;
  const bool one = row.fields < 12 ||
                   (model_list(row.block_count, count) && count.size() == 1 && count[0] == 0 &&
                    row.block_count.find(',') == std::string_view::npos);
  if (one) {
    FUZZ_REQUIRE(ok && blocks.size() == 1 && blocks[0].first == row.start &&
                 blocks[0].second == row.end);
    return;
  }
  bool expect = model_list(row.block_count, count) && count.size() == 1 &&
                row.block_count.find(',') == std::string_view::npos &&
                model_list(row.block_sizes, sizes) && model_list(row.block_starts, starts) &&
                sizes.size() == count[0] && starts.size() == count[0];
  for (std::size_t i = 0; expect && i < starts.size(); ++i) {
    expect = row.start + starts[i] + sizes[i] <= UINT64_MAX;
  }
  FUZZ_REQUIRE(ok == expect);
  if (!ok) {
    FUZZ_REQUIRE(!message.empty());
    return;
  }
  FUZZ_REQUIRE(blocks.size() == starts.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    FUZZ_REQUIRE(blocks[i].first == row.start + starts[i] &&
                 blocks[i].second == blocks[i].first + sizes[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const BedLine parsed = tavlo::cli::parse_bed_line(line);
  if (parsed.kind == BedLineKind::Error) FUZZ_REQUIRE(!parsed.message.empty());
  if (parsed.kind != BedLineKind::Row) return 0;
  const BedRow& row = parsed.row;
  FUZZ_REQUIRE(row.fields >= 3 && row.start <= row.end);
  FUZZ_REQUIRE(row.chrom.find('\t') == std::string_view::npos);
  for (std::string_view part : {row.line, row.chrom, row.name, row.strand, row.block_count,
                                row.block_sizes, row.block_starts}) {
    FUZZ_REQUIRE(inside(part, line));
  }
  check_blocks(row);

  // Columns 4 on are kept as they are; the line ends in CR LF this time (the CR is dropped).
  std::size_t third = row.line.find('\t', row.chrom.size() + 1);
  third = third == std::string_view::npos ? third : row.line.find('\t', third + 1);
  std::string again(row.chrom);
  again += "\t" + std::to_string(row.start) + "\t" + std::to_string(row.end);
  if (third != std::string_view::npos) again.append(row.line.substr(third));
  again += '\r';
  const BedLine back = tavlo::cli::parse_bed_line(again);
  FUZZ_REQUIRE(back.kind == BedLineKind::Row);
  const BedRow& r = back.row;
  FUZZ_REQUIRE(r.chrom == row.chrom && r.start == row.start && r.end == row.end &&
               r.name == row.name && r.strand == row.strand && r.fields == row.fields &&
               r.block_count == row.block_count && r.block_sizes == row.block_sizes &&
               r.block_starts == row.block_starts);
  return 0;
}
