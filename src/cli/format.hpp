// FASTA output text: chunks of regions formatted on the worker pool into one buffer per block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/faidx.hpp"

namespace tavlo::cli {

// One piece of output: an optional header (at the start of a region), then residues
// [first, last] of `entry` (none when last < first or there is no entry), then the line end (at the
// end of a region). A long region is cut into several pieces.
struct Piece {
  std::optional<EntryNumbers> entry;
  std::uint64_t first = 1;
  std::uint64_t last = 0;
  std::uint64_t column = 0;  // residues of the region on the current line before this piece
  std::uint32_t prefix_offset = 0;
  std::uint32_t prefix_length = 0;  // header text, in Chunk::prefixes; used when `begins`
  bool rc = false;
  bool begins = false;
  bool ends = false;
  bool region_has_residues = false;  // used when `ends`
};

// How regions are laid out; the width is 0 whenever line_per_region is set.
struct Layout {
  std::uint64_t width = 60;      // FASTA line width; 0: one line per region
  bool line_per_region = false;  // "-tab"/"-bedOut": the prefix ends in a tab and every region
                                 // ends with one line end, even an empty one
};

// A batch of pieces in input order and the header texts they refer to.
struct Chunk {
  std::vector<Piece> pieces;
  std::string prefixes;
  std::uint64_t residues = 0;  // residues asked for by all pieces
  std::size_t regions = 0;

  void clear() {
    pieces.clear();
    prefixes.clear();
    residues = 0;
    regions = 0;
  }
};

// Formats every piece of `chunk` on the worker pool. On return `buffers` holds the text in
// order (its first `used` entries); on a failed read the error of the first failing piece.
Status format_chunk(const Faidx& fx, const Chunk& chunk, const Layout& layout,
                    std::vector<std::string>& buffers, std::size_t& used);

}  // namespace tavlo::cli
