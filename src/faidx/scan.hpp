// Scanning a FASTA file into index entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

// Turns FASTA text, fed in pieces that end on line boundaries, into index entries in file order.
// Records with ragged lines are refused (FastaIndexingError naming the record): within a record,
// every line before the last one that holds residues must have the first line's residue and byte
// counts, the last may not be longer than the first, and nothing may follow a shorter line (a
// blank one included) but blank lines. So are records with a CR among the residues of a line
// (anywhere but in its terminator), which no reader could return in place, and records with a
// space or tab inside a sequence line, which the readers would return as residues while other
// indexers skip them. Text that is not UTF-8 fails with an IOError, unless `bytewise`: then
// names are the bytes up to the first ASCII white space, whatever they hold. A refused line's
// number (from 1, counted from `offset`) is in the error's `line`.
class FastaScanner {
 public:
  // `offset`: where in the file the first chunk fed starts (at a line start; records start at a
  // header line).
  explicit FastaScanner(std::uint64_t offset = 0, bool bytewise = false)
      : pos_(offset), bytewise_(bytewise) {}

  // Processes the complete lines of `chunk` (all of it when `last`); returns the number of bytes
  // consumed, which the caller drops before feeding the rest again with more data.
  Result<std::size_t> feed(std::string_view chunk, bool last);
  // The entries found, once the last chunk has been fed, as the listing of a name table, not yet
  // indexed (see NameTable::append).
  NameTable take_listing();
  // Makes room for the entries of `total` bytes, judging by those of the `consumed` bytes fed so
  // far (a hint only), so that a file of millions of records is not copied as the list grows.
  void expect(std::uint64_t consumed, std::uint64_t total);

 private:
  // Takes one line (terminator included); false when the record turns out ragged.
  bool line(const char* p, std::size_t len);
  void finish_record();
  // The name of the record being read.
  std::string record_name() const;

  NameTable listing_;  // the record being read is its last one, while in_record_
  bool in_record_ = false;
  std::uint64_t pos_ = 0;  // bytes consumed so far
  EntryNumbers cur_;
  std::uint64_t lines_ = 0;
  bool ended_ = false;  // a line shorter than the first (or differently terminated) was seen
  std::uint64_t lines_before_ = 0;  // lines fed before the record being read (its header too)
  bool bytewise_ = false;
  bool chunk_has_cr_ = false;  // the chunk being fed holds a CR somewhere
  bool blank_seen_ = true;  // the line being taken may hold a space or a tab
  bool inner_cr_ = false;      // the refused line holds a CR among its residues
  bool inner_blank_ = false;   // ... a space or a tab among its residues
};

// Scans a whole FASTA text held in memory, giving the entries as the listing of a name table, not
// yet indexed. A text of at least twice `min_part` bytes with a header line near its middle is
// scanned in two parts, on two threads of the pool when there are two; the result is the same,
// the first error in the text included. `bytewise` as for FastaScanner.
Result<NameTable> scan_fasta_listing(std::string_view contents, std::size_t min_part = 4 << 20,
                                     bool bytewise = false);
// The same for the FASTA file behind `fd`, with positioned reads from offset 0.
Result<NameTable> scan_fasta_fd_listing(int fd, bool bytewise = false);
// The entries of a listing, in order.
std::vector<IndexEntry> listing_entries(const NameTable& listing);

}  // namespace tavlo
