// Plain gzip FASTA files: opening their .fai and checkpoint index, and their source over both.
#include <sys/stat.h>

#include "faidx/fai_file.hpp"
#include "faidx/faidx.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"

namespace tavlo {

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
    if (Status r = load_fai(); !r) return r;
    if (fresh) {
      // Read on the first fetch: opening stays a few system calls, as for a plain file.
      source_ = std::make_unique<CompressedSource<GzipReader>>(std::move(file), st, gzidx_path);
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
  source_ = std::make_unique<CompressedSource<GzipReader>>(std::move(file), st,
                                                           std::move(built->index));
  return Ok{};
}

}  // namespace tavlo
