// Fixed-width windows of a Faidx into array rows: padding outside the record, either strand, on
// the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "errors/errors.hpp"
#include "faidx/bounds.hpp"
#include "faidx/faidx.hpp"
#include "sequence/encode.hpp"

namespace tavlo {

// One window per row, as columns borrowed from the caller. Window i covers the 1-based positions
// starts[i] .. starts[i] + width - 1 of record records[i] (a position of the name table's listing,
// which the caller has checked). Positions may lie before 1 or past the record's end.
struct ArrayWindows {
  std::size_t count = 0;
  const std::uint32_t* records = nullptr;
  const std::int64_t* starts = nullptr;
  std::uint64_t width = 0;
  // Per row, nonzero for the reverse complement; nullptr: every row as `reverse` says.
  const std::uint8_t* reverse_rows = nullptr;
  bool reverse = false;
};

// Writes one row: `left` padded positions, the `count` residues, padding up to `width`; when
// `reverse`, the reverse complement of that (padding mirrored). left + count <= width.
void write_row(const RowEncoder& encoder, unsigned char* row, std::uint64_t width,
               std::uint64_t left, const unsigned char* residues, std::uint64_t count,
               bool reverse);

// The Bounds error of the first window that reaches outside its record (the region named in
// the message), for strict bounds; Ok when every window lies inside.
Status check_windows_inside(const Faidx& fx, const ArrayWindows& windows);

// Fills row i of `out` (count rows of encoder.row_bytes(width) bytes) with window i: the padding
// pattern for each position outside the record, the encoded residues for the others; residues
// that the file lacks although the index promises them are default_seq when the Faidx has one,
// else padding. Large batches are spread over the worker pool. `interrupted`, when given, is
// called on the calling thread between chunks of rows; once it returns true no further chunk
// starts, and the call returns false in `*completed` after every worker has left its chunk.
// On an error (a file changed while open, a damaged block) the rows are left part-written and
// the error of the first failing row is returned. Touches no Python object.
Status fill_windows(const Faidx& fx, const RowEncoder& encoder, const ArrayWindows& windows,
                    unsigned char* out, const std::function<bool()>* interrupted,
                    bool* completed);

}  // namespace tavlo
