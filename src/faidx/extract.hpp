// Copying residues of a region out of the FASTA bytes, skipping line terminators.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "errors/errors.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

// Byte offset in the file of residue `p` (1-based) of an entry with lenc > 0:
// offset + (p - 1) % lenc + lenb * ((p - 1) / lenc). Returns UINT64_MAX when that overflows.
// `column`, when given, receives (p - 1) % lenc.
std::uint64_t residue_offset(const EntryNumbers& e, std::uint64_t p,
                             std::uint64_t* column = nullptr);

// Bytes from the first residue of a region of `count` residues to the end of the span a read of
// it walks: the residues, the terminators of the lines they start, and one spare line.
// UINT64_MAX when that overflows or the line widths make no sense.
std::uint64_t region_span_bytes(const EntryNumbers& e, std::uint64_t count);

// Walks bytes [p, p + n), skipping CR and LF, appending the others to `out` until `out` holds
// `want` bytes. Returns the number of input bytes consumed.
std::size_t append_residues(const char* p, std::size_t n, std::string& out, std::size_t want);

// Copies `count` residues of `e` from residue `start` out of `map`. Walks at most the span the
// residues need (their line terminators and one spare line), so a stale or hand-written index
// yields fewer bytes rather than reading elsewhere; positions that overflow or lie beyond the map
// yield nothing. Never reserves more than the map can supply.
std::string extract_sequence_from_mmap(std::string_view map, const EntryNumbers& e,
                                       std::uint64_t start, std::uint64_t count);
// The same, replacing the contents of `out` (which keeps its buffer when large enough).
void extract_sequence_from_mmap(std::string_view map, const EntryNumbers& e, std::uint64_t start,
                                std::uint64_t count, std::string& out);

// The same through a file descriptor with positioned reads (no shared file position, so several
// threads may read through one descriptor). Reads until `count` residues or the end of the file.
Result<std::string> extract_sequence_from_file_optimized(int fd, const EntryNumbers& e,
                                                         std::uint64_t start, std::uint64_t count);
Status extract_sequence_from_file_optimized(int fd, const EntryNumbers& e, std::uint64_t start,
                                            std::uint64_t count, std::string& out);

// The same out of the text behind a reader of a compressed file (BGZF blocks, gzip checkpoints):
// `reader.load()`, then `reader.text_bound()` (no text at or past it) and
// `reader.append_text(a, stop, want, out)`, which walks [a, stop) as append_residues does.
template <class Reader>
Status extract_sequence_from_text(const Reader& reader, const EntryNumbers& e,
                                  std::uint64_t start, std::uint64_t count, std::string& out) {
  out.clear();
  if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return Ok{};
  if (Status s = reader.load(); !s) return s;
  const std::uint64_t a = residue_offset(e, start);
  const std::uint64_t bound = reader.text_bound();
  if (a >= bound) return Ok{};
  const std::uint64_t span = region_span_bytes(e, count);
  const std::uint64_t stop = span > bound - a ? bound : a + span;
  const std::size_t want = static_cast<std::size_t>(count < stop - a ? count : stop - a);
  out.reserve(want);
  return reader.append_text(a, stop, want, out);
}

}  // namespace tavlo
