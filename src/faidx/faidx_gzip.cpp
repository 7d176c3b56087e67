// Opening a plain gzip FASTA file: its .fai and its checkpoint index, loaded or built.
#include <sys/stat.h>

#include "faidx/fai_file.hpp"
#include "faidx/faidx.hpp"
#include "faidx/gzip_index.hpp"
#include "faidx/gzip_reader.hpp"

namespace tavlo {

Status Faidx::open_gzip(int fd, const struct stat& st, bool build_fai) {
  const FaidxOptions& opt = options_;
  const std::string gzidx_path = opt.filename + ".gzidx";
  const char* map = has_map_ ? map_ : nullptr;
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
  if (fresh && !build_fai) {
    if (Status r = read_fai(index_path_, names_); !r) return r;
    // Read on the first fetch: opening stays a few system calls, as for a plain file.
    gzip_ = std::make_unique<GzipReader>(map, fd, st, gzidx_path);
    return Ok{};
  }
  auto built = build_gzip_index(map, fd, st, build_fai);
  if (!built) return std::move(built).error();
  // Without build_index nothing is written: the checkpoints serve this Faidx only. A matching
  // index (one of another tool's, perhaps) stays as it is when only the .fai was missing.
  if (opt.build_index && !fresh) {
    if (Status w = write_file_atomically(gzidx_path, format_gzip_index(built->index)); !w) {
      return w;
    }
  }
  if (build_fai) {
    NameTable& names = built->listing;
    bool distinct = false;
    if (Status w = write_fai(index_path_, names, [&] { distinct = names.index_distinct(); }); !w) {
      return w;
    }
    names_ = std::move(names);
    if (!distinct) names_.merge_repeats();
  } else if (Status r = read_fai(index_path_, names_); !r) {
    return r;
  }
  gzip_ = std::make_unique<GzipReader>(map, fd, st, std::move(built->index));
  return Ok{};
}

}  // namespace tavlo
