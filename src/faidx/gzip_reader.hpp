// Random access to the text of a plain gzip file through its checkpoint index.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "errors/errors.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

// Inflates the text of a gzip file from a checkpoint on, across member boundaries, a stretch
// at a time: what a read resumes, and keeps to continue where it stopped.
class GzipCursor {
 public:
  explicit GzipCursor(const CompressedBytes& file);
  ~GzipCursor();
  GzipCursor(const GzipCursor&) = delete;
  GzipCursor& operator=(const GzipCursor&) = delete;

  // Positions the cursor at point `k` of `index` (which must outlive the cursor's use).
  Status start(const GzipIndex& index, std::size_t k);
  // Appends at least `n` bytes of text to `out`, fewer only when the text ends. Errors (bad
  // deflate data, a file cut short) are IOErrors with the compressed offset; after one the
  // cursor must be started again.
  Status produce(std::string& out, std::size_t n);
  // True once the last member has ended.
  bool ended() const { return ended_; }

 private:
  struct Engine;
  // Hands the inflater input from fed_end_ on; false at the end of the file.
  Result<bool> refill();
  // Starts inflating the deflate data at bit `bit`, with `window` as the text before it; for a
  // point inside a block, after the `header_len` bits of its header from bit `header_at`.
  Status begin_at(std::uint64_t bit, std::string_view window, std::uint64_t header_at = 0,
                  std::uint32_t header_len = 0);
  // After the end of a member's deflate data at byte `end`: the next member, or the end.
  Status next_member_after(std::uint64_t end);

  CompressedInput in_;
  std::unique_ptr<Engine> engine_;
  std::uint64_t fed_end_ = 0;  // the file offset just past the input handed to the inflater
  bool ended_ = false;
  std::string window_;
  std::string lead_;  // the block header and the bits up to a byte boundary, handed over first
};

// Random access to the text of a gzip file through its checkpoints. Thread-safe: the compressed
// bytes are only read, and inflated stretches are shared through a bounded cache of kCacheSlots
// stretches, one per checkpoint at most, each slot under its own lock. A slot is only ever
// tried, never waited for (a busy slot costs one inflation, and one left locked by a thread that
// vanished in fork() cannot hang the child). Each slot keeps its inflater, so that a read that
// goes on where the last one in its stretch stopped continues the inflation.
class GzipReader {
 public:
  static constexpr std::size_t kCacheSlots = 64;

  // `file` holds the compressed bytes of the file described by `st`.
  GzipReader(const CompressedBytes& file, const struct stat& st, GzipIndex index);
  // The same with the index file at `index_path`, read and checked when first needed.
  GzipReader(const CompressedBytes& file, const struct stat& st, std::string index_path);
  ~GzipReader();

  // Reads the index when that has not been done (once: a failure is kept and returned again).
  Status load() const;
  // The uncompressed size; valid after load() succeeded.
  std::uint64_t text_size() const { return index_.text_size; }
  std::uint64_t text_bound() const { return index_.text_size; }
  // The checkpoints; valid after load() succeeded.
  const GzipIndex& index() const { return index_; }

  // Walks the text [a, stop), appending the residues to `out` (as append_residues does) until it
  // holds `want` bytes or the text ends.
  Status append_text(std::uint64_t a, std::uint64_t stop, std::size_t want, std::string& out) const;

 private:
  struct alignas(64) Slot {
    std::mutex mutex;
    std::size_t point = static_cast<std::size_t>(-1);
    std::uint64_t base = 0;  // the offset of text[0]
    std::string text;
    std::unique_ptr<GzipCursor> cursor;  // positioned at base + text.size()
  };

  // Reads [a, stop) of the stretch of point `k` (stop no further than the next point) into
  // `out`; false when the text ended first.
  Result<bool> read_stretch(std::size_t k, std::uint64_t a, std::uint64_t stop, std::size_t want,
                            std::string& out) const;
  // Brings `slot` (locked) to hold text [a, stop) of point k's stretch, as far as there is text.
  Status fill(Slot& slot, std::size_t k, std::uint64_t a, std::uint64_t stop) const;

  CompressedBytes file_;
  struct stat st_;
  std::string index_path_;
  mutable std::once_flag loaded_;
  mutable std::unique_ptr<FaidxError> load_error_;
  mutable GzipIndex index_;  // written once, under loaded_
  std::unique_ptr<Slot[]> slots_;
};

}  // namespace tavlo
