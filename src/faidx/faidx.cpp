// Opening a FASTA file, loading or building its index, and fetching regions.
#include "faidx/faidx.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "faidx/bgzf.hpp"
#include "faidx/fai_file.hpp"
#include "faidx/file_io.hpp"
#include "faidx/remote/url.hpp"
#include "faidx/scan.hpp"

namespace tavlo {

namespace {

bool newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

void upper_in_place(std::string& s) {
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(static_cast<unsigned>(u) - 'a' < 26u ? u - 0x20 : u);
  }
}

Status check_paths(const FaidxOptions& opt) {
  if (opt.filename.find('\0') != std::string::npos ||
      (opt.indexname && opt.indexname->find('\0') != std::string::npos)) {
    // The system would read the path only up to the NUL: another file than the one named.
    return FaidxError::io("a path holds a NUL byte");
  }
  return Ok{};
}

// A name is read as a URL when it looks like one and names no existing local path.
bool names_url(const std::string& filename) {
  struct stat st;
  return looks_like_url(filename) && ::lstat(filename.c_str(), &st) != 0;
}

// Compression is told by content, not by name: BGZF is read through its blocks, any other gzip
// file through checkpoints.
Result<FileFormat> detect_format(const FileSource& file) {
  char buffer[4096];
  std::string_view head;
  if (file.map() != nullptr) {
    head = std::string_view(file.map(), std::min<std::size_t>(file.size(), sizeof buffer));
  } else if (file.fd() >= 0) {
    const ssize_t got = pread_full(file.fd(), buffer, sizeof buffer, 0);
    if (got < 0) return FaidxError::io_errno(errno);
    head = std::string_view(buffer, static_cast<std::size_t>(got));
  }
  if (!is_gzip(head)) return FileFormat::plain;
  return is_bgzf(head) ? FileFormat::bgzf : FileFormat::gzip;
}

// Whether the index at `index_path` is to be built: when it is missing and building is allowed,
// or older than the FASTA file and rebuilding is allowed.
Result<bool> index_needs_build(const FaidxOptions& opt, const std::string& index_path) {
  struct stat index_st;
  if (::stat(index_path.c_str(), &index_st) != 0) return opt.build_index;
  if (const char* what = not_regular(index_st.st_mode);
      what != nullptr && !S_ISDIR(index_st.st_mode)) {
    // A pipe or device is neither read (it could block) nor replaced by a fresh index. A
    // directory fails by itself, in the read or in the rename of a fresh index.
    return not_regular_error(index_path, what);
  }
  struct stat now_st;
  return opt.build_index && opt.rebuild && ::stat(opt.filename.c_str(), &now_st) == 0 &&
         newer(now_st.st_mtim, index_st.st_mtim);
}

}  // namespace

FaidxError in_file(FaidxError e, const std::string& path) {
  if (e.kind != ErrorKind::FastaNotFound && e.kind != ErrorKind::IndexNotFound) e.file = path;
  return e;
}

Faidx::~Faidx() = default;

FaidxError Faidx::not_found(std::string_view name) {
  std::string text = "Sequence '";
  text.append(name);
  text.append("' not found");
  return FaidxError::of(ErrorKind::Fetch, std::move(text));
}

Result<std::unique_ptr<Faidx>> Faidx::open(FaidxOptions options) {
  std::unique_ptr<Faidx> fx(new Faidx(std::move(options)));
  const FaidxOptions& opt = fx->options_;
  if (Status s = check_paths(opt); !s) return std::move(s).error();
  if (names_url(opt.filename)) {
    if (Status s = fx->open_url(); !s) return std::move(s).error();
    return fx;
  }
  fx->index_path_ = opt.indexname ? *opt.indexname : opt.filename + ".fai";
  auto file = FileSource::open(opt.filename, opt.mutable_file);
  if (!file) return std::move(file).error();
  auto format = detect_format(**file);
  if (!format) return std::move(format).error();
  auto build = index_needs_build(opt, fx->index_path_);
  if (!build) return std::move(build).error();
  fx->format_ = *format;
  Status s = Ok{};
  switch (*format) {
    case FileFormat::bgzf: s = fx->index_bgzf(std::move(*file), *build); break;
    case FileFormat::gzip: s = fx->index_gzip(std::move(*file), *build); break;
    case FileFormat::plain:
      s = fx->index_plain(**file, *build);
      fx->source_ = std::move(*file);
      break;
  }
  if (!s) return std::move(s).error();
  return fx;
}

Status Faidx::index_written(Status written, const std::string& path) {
  if (written || !options_.index_in_memory) return written;
  warnings_.push_back("could not write the index file " + path + " (" +
                      written.error().payload() + "): using an index built in memory");
  return Ok{};
}

Status Faidx::index_plain(const FileSource& file, bool build) {
  const FaidxOptions& opt = options_;
  if (!build) return load_fai();
  auto listing =
      file.mapped()
          ? scan_fasta_listing(std::string_view(file.map(), file.size()), 4 << 20,
                               opt.bytewise_names)
          : scan_fasta_fd_listing(file.fd(), opt.bytewise_names);
  // A file cut short under the scan reads as zeros, which the scan may refuse first.
  if (file.changed()) return file.changed_error();
  if (!listing) return in_file(std::move(listing).error(), opt.filename);
  return adopt_listing(std::move(*listing));
}

Status Faidx::load_fai() {
  names_.set_keep_first(options_.first_duplicate_wins);
  Status r = read_fai(index_path_, names_, options_.bytewise_names);
  if (!r) return in_file(std::move(r).error(), index_path_);
  return r;
}

Status Faidx::adopt_listing(NameTable listing) {
  // The .fai is written from the listing while its lookup is made, which only reads it.
  listing.set_keep_first(options_.first_duplicate_wins);
  bool distinct = false;
  Status w = write_fai(index_path_, listing, [&] { distinct = listing.index_distinct(); });
  if (w = index_written(std::move(w), index_path_); !w) return w;
  names_ = std::move(listing);
  if (!distinct) names_.merge_repeats();
  return Ok{};
}

Status Faidx::index_bgzf(std::unique_ptr<FileSource> file, bool build_fai) {
  const FaidxOptions& opt = options_;
  const std::string gzi_path = opt.gziname ? *opt.gziname : opt.filename + ".gzi";
  // The .gzi follows the .fai's rule: rebuilt when missing, or when older than the FASTA file
  // unless rebuilding is off.
  struct stat gzi_st;
  const bool gzi_build = ::stat(gzi_path.c_str(), &gzi_st) != 0 ||
                         (opt.build_index && opt.rebuild &&
                          newer(file->opened_stat().st_mtim, gzi_st.st_mtim));
  if (!build_fai) {
    if (Status r = load_fai(); !r) return r;
    if (!gzi_build) {
      // Read on the first fetch: opening stays a few system calls, as for a plain file.
      source_ = make_bgzf_source(std::move(file), gzi_path);
      return Ok{};
    }
  }
  // Without build_fai only the block headers are read: the .fai is already there.
  auto scan = scan_bgzf({file->map(), file->fd(), file->size()}, build_fai, opt.bytewise_names);
  if (file->changed()) return file->changed_error();
  if (!scan) return in_file(std::move(scan).error(), opt.filename);
  // Without build_index nothing is written: the pairs serve this Faidx only.
  if (build_fai || opt.build_index) {
    Status w = index_written(write_file_atomically(gzi_path, format_gzi(scan->gzi)), gzi_path);
    if (!w) return w;
  }
  if (build_fai) {
    if (Status s = adopt_listing(std::move(scan->listing)); !s) return s;
  }
  source_ = make_bgzf_source(std::move(file), std::move(scan->gzi));
  return Ok{};
}

void Faidx::pad_and_case(std::string& seq, std::uint64_t count) const {
  if (seq.size() < count && options_.default_seq && !options_.default_seq->empty()) {
    const std::string& fill = *options_.default_seq;
    const std::uint64_t missing = count - seq.size();
    std::uint64_t extra;
    if (__builtin_mul_overflow(missing, fill.size(), &extra) ||
        extra > seq.max_size() - seq.size() || extra > (UINT64_MAX >> 2)) {
      throw std::bad_alloc();
    }
    seq.reserve(seq.size() + extra);
    if (fill.size() == 1) {
      seq.append(static_cast<std::size_t>(missing), fill[0]);
    } else {
      for (std::uint64_t i = 0; i < missing; ++i) seq.append(fill);
    }
  }
  if (options_.sequence_always_upper) upper_in_place(seq);
}

Status Faidx::fetch_as(BoundsPolicy policy, SequenceRecord& out, std::string_view name,
                       const EntryNumbers& entry, std::uint64_t start, std::uint64_t end,
                       Warnings& warnings) const {
  auto span = resolve(name, entry.rlen, start, end, policy, options_.strict_bounds, warnings);
  if (!span) return std::move(span).error();
  if (Status r = fill(entry, *span, out.seq); !r) return r;
  out.name.assign(name);
  out.comp = false;
  const std::uint64_t s = span->start;
  if (span->count == 0) {
    // A refused region keeps its coordinates as given, even under as_raw.
    out.start = s;
    out.end = span->end;
  } else if (options_.as_raw) {
    out.start.reset();
    out.end.reset();
  } else {
    // A start of 0 only arises for an empty record on the quiet path; it stays 0 rather than
    // wrapping to 2**64 - 1 in the 0-based convention.
    out.start = options_.one_based_attributes || s == 0 ? s : s - 1;
    out.end = span->end;
  }
  return Ok{};
}

Result<SequenceRecord> Faidx::fetch(std::string_view name, std::uint64_t start,
                                    std::uint64_t end, Warnings& warnings) const {
  const std::optional<EntryNumbers> entry = names_.lookup(name);
  if (!entry) return not_found(name);
  SequenceRecord out;
  if (Status s = fetch(out, name, *entry, start, end, warnings); !s) return std::move(s).error();
  return out;
}

Result<SequenceRecord> Faidx::fetch_entire_sequence(std::string_view name) const {
  const std::optional<EntryNumbers> entry = names_.lookup(name);
  if (!entry) return not_found(name);
  SequenceRecord out;
  if (Status r = source_->read(*entry, 1, entry->rlen, out.seq); !r) return std::move(r).error();
  if (options_.sequence_always_upper) upper_in_place(out.seq);
  out.name.assign(name);
  if (!options_.as_raw) {
    out.start = options_.one_based_attributes ? 1 : 0;
    out.end = entry->rlen;
  }
  return out;
}

}  // namespace tavlo
