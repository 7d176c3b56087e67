// The Faidx core: a FASTA file's bytes (memory map or descriptor), its name table and options.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/map_guard.hpp"
#include "faidx/bgzf.hpp"
#include "faidx/name_table.hpp"
#include "sequence/record.hpp"

namespace tavlo {

// Constructor options, as plain data. Some are kept only so that callers can read them back.
struct FaidxOptions {
  std::string filename;
  std::optional<std::string> indexname;
  bool as_raw = false;
  bool strict_bounds = false;
  bool sequence_always_upper = false;
  bool rebuild = true;
  bool build_index = true;
  bool one_based_attributes = true;
  std::optional<std::string> default_seq;
  bool mutable_file = false;
  std::optional<std::string> split_char;
  bool read_long_names = false;
  std::string duplicate_action = "stop";
  std::optional<std::uint64_t> read_ahead;
  // Choices of the command-line tool, which is a drop-in for samtools faidx; the module keeps
  // these defaults. Headers and .fai lines are taken as bytes, with no UTF-8 check.
  bool bytewise_names = false;
  // A repeated name gives its first record instead of its last (see NameTable::set_keep_first).
  bool first_duplicate_wins = false;
  // An index (.fai or .gzi) that is missing or stale but cannot be written is used from memory,
  // with a warning in Faidx::warnings(), instead of failing the open.
  bool index_in_memory = false;
  // The .gzi of a BGZF file; by default the FASTA path plus ".gzi".
  std::optional<std::string> gziname;
};

class Faidx {
 public:
  // Opens the FASTA file, maps it (or keeps its descriptor), builds the index file when it is
  // missing or older than the FASTA file, and loads the name table.
  static Result<std::unique_ptr<Faidx>> open(FaidxOptions options);

  Faidx(const Faidx&) = delete;
  Faidx& operator=(const Faidx&) = delete;
  ~Faidx();

  const FaidxOptions& options() const { return options_; }
  const std::string& index_path() const { return index_path_; }
  const NameTable& names() const { return names_; }
  // Lines for the user about the open (an index kept in memory only), for the caller to show.
  const std::vector<std::string>& warnings() const { return warnings_; }
  bool has_map() const { return has_map_; }
  // True for a BGZF-compressed file, read through its .gzi (gziname, by default the FASTA path
  // plus ".gzi").
  bool is_bgzf() const { return bgzf_ != nullptr; }

  // The region [start, end] (1-based, inclusive) with bounds checks: warnings on standard error
  // and an empty or shortened result, or a Bounds error under strict bounds.
  Result<SequenceRecord> fetch(std::string_view name, std::uint64_t start,
                               std::uint64_t end) const;
  // The same, filling `out` (a fresh record) in place: the hot path of Faidx.fetch.
  Status fetch_into(SequenceRecord& out, std::string_view name, std::uint64_t start,
                    std::uint64_t end) const;
  // The same for an entry already looked up (`entry` must be the one of `name`).
  Status fetch_into(SequenceRecord& out, std::string_view name, const EntryNumbers& entry,
                    std::uint64_t start, std::uint64_t end) const;
  // The quiet variant for worker threads: clamps silently and reports failures as values.
  // `use_map` false reads through the descriptor.
  Result<SequenceRecord> fetch_single_optimized(std::string_view name, std::uint64_t start,
                                                std::uint64_t end, bool use_map) const;
  // The same for an entry already looked up (a batch on one name looks it up once).
  Result<SequenceRecord> fetch_single_optimized(std::string_view name, const EntryNumbers& entry,
                                                std::uint64_t start, std::uint64_t end,
                                                bool use_map) const;
  // The same, filling `out` (a fresh record) in place; on failure `out` holds nothing useful.
  Status fetch_quiet_into(SequenceRecord& out, std::string_view name, const EntryNumbers& entry,
                          std::uint64_t start, std::uint64_t end, bool use_map) const;
  // Only the residues of that fetch, replacing the contents of `out` (whose buffer is reused):
  // no record, name copy or allocation per region, for callers that format the text themselves.
  // Same clamping, padding, casing and errors; `name` is used only in error messages.
  Status fetch_residues(std::string_view name, const EntryNumbers& entry, std::uint64_t start,
                        std::uint64_t end, bool use_map, std::string& out) const;
  // Asks the CPU to start loading the bytes of a region of `entry`, up to `max_residues` of it (a
  // hint only: it reads nothing and cannot fault). Batches call it a few regions ahead so that
  // misses overlap; the default hints the first lines only.
  void prefetch_region(const EntryNumbers& entry, std::uint64_t start, std::uint64_t end,
                       std::uint64_t max_residues = 192) const;

  // A whole record, without coordinate checks.
  Result<SequenceRecord> fetch_entire_sequence(std::string_view name) const;

 private:
  explicit Faidx(FaidxOptions options) : options_(std::move(options)) {}

  // Loads or builds the .gzi (and the .fai when `build_fai`) of a BGZF file of `size` bytes.
  Status open_bgzf(int fd, std::uint64_t size, const struct stat& fasta_st, bool build_fai);
  // The outcome `written` of writing the index file `path`: a failure passes for success under
  // index_in_memory, which keeps the index in memory and says so in warnings().
  Status index_written(Status written, const std::string& path);
  // Reads `count` residues from residue `start` into out.seq.
  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count, bool use_map,
              SequenceRecord& out) const {
    return read(e, start, count, use_map, out.seq);
  }
  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count, bool use_map,
              std::string& seq) const;
  // Fills a short read with default_seq, upper-cases and sets the coordinates.
  // The error of every read from the map once the file shrank under it, and of a short read
  // through the descriptor from a file now shorter than when it was opened.
  FaidxError changed_error() const;
  bool shrank() const;
  // True when the path still names the mapped file and that file is now shorter than the map.
  [[gnu::cold, gnu::noinline]] bool map_shrank() const;
  // Kept out of line, so that the map path of read() stays a call and a load.
  [[gnu::cold, gnu::noinline]] Status changed_status() const;
  [[gnu::noinline]] Status read_through_descriptor(const EntryNumbers& e, std::uint64_t start,
                                                   std::uint64_t count, std::string& seq) const;
  // Pads a short read of `count` residues with default_seq and upper-cases when asked.
  void pad_and_case(std::string& seq, std::uint64_t count) const;
  void finish(SequenceRecord& out, std::string_view name, std::uint64_t s, std::uint64_t e,
              std::uint64_t count) const;

  FaidxOptions options_;
  std::string index_path_;
  NameTable names_;
  std::vector<std::string> warnings_;
  const char* map_ = nullptr;  // nullptr for an empty mapped file
  std::size_t map_length_ = 0;
  bool has_map_ = false;
  MapGuard guard_;  // turns a read past the end of a file that shrank into changed_error()
  int fd_ = -1;
  std::uint64_t opened_size_ = 0;  // the file's size when opened
  std::uint64_t opened_dev_ = 0, opened_ino_ = 0;  // the file opened, as its path then named it
  std::unique_ptr<BgzfReader> bgzf_;  // set for a BGZF file; reads through map_ or fd_
};

// Writes one warning line ("WARNING: " + text + "\n") to file descriptor 2.
void write_warning(std::string_view text);

}  // namespace tavlo
