// Parsing BED lines: 0-based, half-open intervals, tab-separated, as bedtools reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavlo::cli {

// One BED row; every view points into the line it was parsed from.
struct BedRow {
  std::string_view line;  // the row without its line terminator
  std::string_view chrom;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string_view name;    // column 4, empty when absent
  std::string_view strand;  // column 6, empty when absent
  std::size_t fields = 0;
  std::string_view block_count, block_sizes, block_starts;  // columns 10 to 12 of BED12
};

enum class BedLineKind : std::uint8_t { Row, Skip, Error };

struct BedLine {
  BedLineKind kind = BedLineKind::Skip;
  BedRow row;
  std::string message;  // for Error
};

// Reads one line (a trailing CR is dropped): blank lines and "#", "track" and "browser" lines
// are skipped; fewer than 3 columns, a start or end that is not a non-negative integer, and an
// end before the start are errors.
BedLine parse_bed_line(std::string_view line);

// The blocks of a BED12 row as absolute 0-based, half-open intervals, in file order. A row of
// fewer than 12 columns or with a block count of 0 is one block, the row itself. Returns false
// with `message` set when the count and the lists disagree or a list item is not a number.
bool bed_blocks(const BedRow& row, std::vector<std::pair<std::uint64_t, std::uint64_t>>& blocks,
                std::string& message);

}  // namespace tavlo::cli
