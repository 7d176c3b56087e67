// The Faidx core: a FASTA file's byte source, its name table and options, and the fetches.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/bounds.hpp"
#include "faidx/name_table.hpp"
#include "faidx/source.hpp"
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

// How the file's bytes hold the text, told by their content.
enum class FileFormat : std::uint8_t { plain, bgzf, gzip };

// `e` with the file it is about, unless its text names a file already.
FaidxError in_file(FaidxError e, const std::string& path);

class Faidx {
 public:
  // Opens the FASTA file (mapped, or through its descriptor when `mutable_file`), builds the
  // index file when it is missing or older than the FASTA file, and loads the name table.
  static Result<std::unique_ptr<Faidx>> open(FaidxOptions options);

  Faidx(const Faidx&) = delete;
  Faidx& operator=(const Faidx&) = delete;
  ~Faidx();

  const FaidxOptions& options() const { return options_; }
  const std::string& index_path() const { return index_path_; }
  const NameTable& names() const { return names_; }
  const Source& source() const { return *source_; }
  // True for a BGZF-compressed file, read through its .gzi (gziname, by default the FASTA path
  // plus ".gzi").
  bool is_bgzf() const { return format_ == FileFormat::bgzf; }
  // True for a plain gzip file, read through its checkpoint index (the FASTA path + ".gzidx").
  bool is_gzip() const { return format_ == FileFormat::gzip; }
  // Lines for the user about the open (an index kept in memory only), for the caller to show.
  const std::vector<std::string>& warnings() const { return warnings_; }

  // The region [start, end] (1-based, inclusive) of record `name`, whose entry is `entry`, into
  // `out` (a fresh record), with the checked bounds rule: warnings in `warnings` and an empty or
  // shortened result, or a Bounds error under strict bounds.
  Status fetch(SequenceRecord& out, std::string_view name, const EntryNumbers& entry,
               std::uint64_t start, std::uint64_t end, Warnings& warnings) const {
    return fetch_as(BoundsPolicy::checked, out, name, entry, start, end, warnings);
  }
  // The same, looking the name up (a Fetch error when the index does not hold it).
  Result<SequenceRecord> fetch(std::string_view name, std::uint64_t start, std::uint64_t end,
                               Warnings& warnings) const;
  // The quiet fetch of batches: coordinates clamped silently, failures as values.
  Status fetch_single_optimized(SequenceRecord& out, std::string_view name,
                                const EntryNumbers& entry, std::uint64_t start,
                                std::uint64_t end) const {
    Warnings none;
    return fetch_as(BoundsPolicy::quiet, out, name, entry, start, end, none);
  }
  // A whole record, without coordinate checks.
  Result<SequenceRecord> fetch_entire_sequence(std::string_view name) const;

  // The residues of a resolved span into `seq` (replacing its contents, keeping its buffer):
  // read, padded with default_seq where the file lacks residues, upper-cased when asked.
  Status fill(const EntryNumbers& entry, const Span& span, std::string& seq) const {
    if (span.count == 0) {
      seq.clear();
      return Ok{};
    }
    Status r = source_->read(entry, span.start, span.count, seq);
    if (reshapes_ && r) pad_and_case(seq, span.count);
    return r;
  }
  // The Fetch error of a name that the index does not hold.
  static FaidxError not_found(std::string_view name);

 private:
  explicit Faidx(FaidxOptions options)
      : options_(std::move(options)),
        reshapes_(options_.sequence_always_upper ||
                  (options_.default_seq && !options_.default_seq->empty())) {}

  Status fetch_as(BoundsPolicy policy, SequenceRecord& out, std::string_view name,
                  const EntryNumbers& entry, std::uint64_t start, std::uint64_t end,
                  Warnings& warnings) const;
  // Loads the .fai, or builds and writes it when `build`, from the text of a plain file.
  Status index_plain(const FileSource& file, bool build);
  // The same for a plain gzip file and its checkpoint index (faidx_gzip.cpp).
  Status index_gzip(std::unique_ptr<FileSource> file, bool build);
  // Reads the .fai at index_path() into the name table.
  Status load_fai();
  // Writes the .fai of a scanned listing and makes it the name table.
  Status adopt_listing(NameTable listing);
  // The same for a BGZF file, whose .gzi is read or built too; makes the source.
  Status index_bgzf(std::unique_ptr<FileSource> file, bool build);
  // The outcome `written` of writing the index file `path`: a failure passes for success under
  // index_in_memory, which keeps the index in memory and says so in warnings().
  Status index_written(Status written, const std::string& path);
  // Opens a URL (http, https, s3): its index from `indexname`, beside it or the local cache, and
  // range requests for the residues (faidx/remote/).
  Status open_url();
  // Pads a short read of `count` residues with default_seq and upper-cases when asked.
  void pad_and_case(std::string& seq, std::uint64_t count) const;

  FaidxOptions options_;
  std::string index_path_;
  NameTable names_;
  std::vector<std::string> warnings_;
  std::unique_ptr<Source> source_;
  FileFormat format_ = FileFormat::plain;
  const bool reshapes_;  // fill() pads with default_seq or upper-cases
};

}  // namespace tavlo
