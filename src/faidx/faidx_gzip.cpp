// Plain gzip FASTA files: their source (checkpoints and a cache of inflated stretches) and the
// opening of their .fai and checkpoint index.
#include <sys/stat.h>

#include "faidx/fai_file.hpp"
#include "faidx/faidx.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"

namespace tavlo {

namespace {

class GzipSource final : public Source {
 public:
  template <class Index>
  GzipSource(std::unique_ptr<FileSource> file, Index&& index)
      : file_(std::move(file)),
        reader_({file_->map(), file_->fd(), file_->size()}, file_->opened_stat(),
                std::forward<Index>(index)) {}

  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    // Compressed bytes past the end of a file that shrank under the map read as zeros, which
    // fail the inflation; the error says what happened instead.
    Status r = extract_sequence_from_gzip(reader_, e, start, count, out);
    if (file_->changed()) [[unlikely]] return file_->changed_error();
    return r;
  }

  bool wants_file_order() const override { return true; }

 private:
  std::unique_ptr<FileSource> file_;
  GzipReader reader_;
};

}  // namespace

Status Faidx::index_gzip(std::unique_ptr<FileSource> file, bool build_fai) {
  const FaidxOptions& opt = options_;
  const std::string gzidx_path = opt.filename + ".gzidx";
  const struct stat& st = file->opened_stat();
  // The checkpoint index is built when missing, and rebuilt when it was made from another file
  // or another version of this one (its recorded size or time differ), unless rebuilding is off:
  // then it is refused, since resuming inflation where another file had a block boundary would
  // give wrong text or none.
  const GzipIndexState state = gzip_index_state(gzidx_path, st);
  const bool fresh = state == GzipIndexState::kMatches;
  if (state == GzipIndexState::kOther && !(opt.build_index && opt.rebuild)) {
    return FaidxError::io("checkpoint index " + gzidx_path + " does not match " + opt.filename +
                          " (it was made from another file, or the file changed since)");
  }
  if (!build_fai) {
    names_.set_keep_first(opt.first_duplicate_wins);
    if (Status r = read_fai(index_path_, names_, opt.bytewise_names); !r) {
      return in_file(std::move(r).error(), index_path_);
    }
    if (fresh) {
      // Read on the first fetch: opening stays a few system calls, as for a plain file.
      source_ = std::make_unique<GzipSource>(std::move(file), gzidx_path);
      return Ok{};
    }
  }
  auto built = build_gzip_index({file->map(), file->fd(), file->size()}, st, build_fai,
                                opt.bytewise_names);
  if (file->changed()) return file->changed_error();
  if (!built) return in_file(std::move(built).error(), opt.filename);
  // Without build_index nothing is written: the checkpoints serve this Faidx only. A matching
  // index (one of another tool's, perhaps) stays as it is when only the .fai was missing.
  if (opt.build_index && !fresh) {
    Status w = index_written(
        write_file_atomically(gzidx_path, format_gzip_index(built->index)), gzidx_path);
    if (!w) return w;
  }
  if (build_fai) {
    if (Status s = adopt_listing(std::move(built->listing)); !s) return s;
  }
  source_ = std::make_unique<GzipSource>(std::move(file), std::move(built->index));
  return Ok{};
}

}  // namespace tavlo
