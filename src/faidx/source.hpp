// Where a Faidx reads residues from: the byte-source interface and the sources of local files.
//
// A source turns (index entry, first residue, count) into residues, skipping line terminators.
// The plain file is read from its memory map or, when it is opened for writing, through its
// descriptor with positioned reads; a compressed file through its reader (BGZF blocks, gzip
// checkpoints) and its cache.
// Every source reports a file that changed under it as an error, never as wrong bytes, and may be
// read from many threads at once.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "errors/errors.hpp"
#include "faidx/extract.hpp"
#include "faidx/file_io.hpp"
#include "faidx/map_guard.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

// Bytes [offset, offset + length) of a file.
struct ByteRange {
  std::uint64_t offset;
  std::uint64_t length;
};

class Source {
 public:
  virtual ~Source() = default;

  // Replaces `out` with `count` residues of `e` from 1-based residue `start`; fewer when the
  // data ends first (a stale or hand-written index never makes it read elsewhere).
  virtual Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
                      std::string& out) const = 0;
  // Asks the CPU to start loading the bytes of a region, up to `max_residues` of it (a hint: it
  // reads nothing and cannot fault). Batches call it a few regions ahead so that misses overlap.
  virtual void prefetch(const EntryNumbers& /*e*/, std::uint64_t /*start*/, std::uint64_t /*end*/,
                        std::uint64_t /*max_residues*/) const {}
  // True when a batch gains by taking its regions in file order (each block inflated once).
  virtual bool wants_file_order() const { return false; }
  // True for a source that gains by fetching the bytes of many regions at once (over a network):
  // a batch then offers it their byte ranges through prepare() before reading them.
  virtual bool fetches_ahead() const { return false; }
  // Makes the leading ranges of `ranges` (in file order) ready to read, as many as it can hold,
  // and returns how many (at least one when there are any); the batch reads those regions before
  // it offers the rest. A range that could not be fetched is left to its read, which reports why.
  virtual std::size_t prepare(std::span<const ByteRange> ranges) const { return ranges.size(); }
};

// The file itself, as opened: its map (read-only opening) or its descriptor (opening for
// writing), and what it was when opened, so that reads can tell that it changed.
class FileSource : public Source {
 public:
  // Opens `path` for reading (or reading and writing) and maps it unless `writable`. Anything
  // but a regular file (or a link to one) is refused unopened: a directory with EISDIR as the
  // read of one would fail, a pipe or device with an IOError that says what it is.
  static Result<std::unique_ptr<FileSource>> open(const std::string& path, bool writable);

  ~FileSource() override;

  // The mapped bytes, or nullptr (an empty file, or read through the descriptor).
  const char* map() const { return map_; }
  bool mapped() const { return mapped_; }
  // The descriptor, or -1 once a map replaced it.
  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return size_; }
  const struct stat& opened_stat() const { return st_; }
  // True once a read of the map met pages the file no longer has.
  bool changed() const { return guard_.changed(); }
  // The error of every read of a file that shrank under its reader.
  [[gnu::cold, gnu::noinline]] FaidxError changed_error() const;

 protected:
  FileSource() = default;
  // True when the path still names the mapped file and that file is now shorter than the map.
  [[gnu::cold, gnu::noinline]] bool map_shrank() const;
  // True when the file behind the descriptor is now shorter than when it was opened.
  [[gnu::cold, gnu::noinline]] bool fd_shrank() const;

  std::string path_;
  FileDescriptor fd_;
  const char* map_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
  struct stat st_ {};
  MapGuard guard_;  // turns a read past the end of a file that shrank into changed()
};

// A compressed local file read through `Reader` (BgzfReader, GzipReader), which is built from the
// file's bytes and the rest of the arguments (the file's index, or the path of one to read on the
// first read); `file` holds the compressed bytes.
template <class Reader>
class CompressedSource final : public Source {
 public:
  template <class... Args>
  explicit CompressedSource(std::unique_ptr<FileSource> file, Args&&... args)
      : file_(std::move(file)),
        reader_({file_->map(), file_->fd(), file_->size()}, std::forward<Args>(args)...) {}

  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    // Compressed bytes past the end of a file that shrank under the map read as zeros, which
    // fail the inflation; the error says what happened instead.
    Status r = extract_sequence_from_text(reader_, e, start, count, out);
    if (file_->changed()) [[unlikely]] return file_->changed_error();
    return r;
  }

  bool wants_file_order() const override { return true; }

 private:
  std::unique_ptr<FileSource> file_;
  Reader reader_;
};

// A BGZF file's source, over its .gzi pairs or the path of its .gzi (read on the first read).
// Made in source.cpp: a unit that sees CompressedSource<BgzfReader> may have the compiler guess
// every call through Source lands there, which slows the plain fetches.
struct GziEntry;
std::unique_ptr<Source> make_bgzf_source(std::unique_ptr<FileSource> file, std::string gzi_path);
std::unique_ptr<Source> make_bgzf_source(std::unique_ptr<FileSource> file,
                                         std::vector<GziEntry> pairs);

}  // namespace tavlo
