// Opening a FASTA file, loading or building its index, and fetching regions.
#include "faidx/faidx.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "faidx/bgzf.hpp"
#include "faidx/extract.hpp"
#include "faidx/fai_file.hpp"
#include "faidx/file_io.hpp"
#include "faidx/scan.hpp"

namespace tavlo {

namespace {

bool newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::string decimal(std::uint64_t v) { return std::to_string(v); }

// The empty result of a refused region: coordinates as given, present even under as_raw.
Status empty_record(SequenceRecord& out, std::string_view name, std::uint64_t start,
                    std::uint64_t end) {
  out.name.assign(name);
  out.seq.clear();
  out.start = start;
  out.end = end;
  out.comp = false;
  return Ok{};
}

void upper_in_place(std::string& s) {
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(static_cast<unsigned>(u) - 'a' < 26u ? u - 0x20 : u);
  }
}

FaidxError not_found(std::string_view name) {
  std::string text = "Sequence '";
  text.append(name);
  text.append("' not found");
  return FaidxError::of(ErrorKind::Fetch, std::move(text));
}

}  // namespace

void write_warning(std::string_view text) {
  std::string line = "WARNING: ";
  line.append(text);
  line.push_back('\n');
  // Best effort: a warning that cannot be written is not worth failing the fetch for.
  (void)write_all(2, line.data(), line.size());
}

Faidx::~Faidx() {
  bgzf_.reset();
  gzip_.reset();
  guard_.release();
  if (map_ != nullptr) ::munmap(const_cast<char*>(map_), map_length_);
  if (fd_ >= 0) ::close(fd_);
}

Result<std::unique_ptr<Faidx>> Faidx::open(FaidxOptions options) {
  std::unique_ptr<Faidx> fx(new Faidx(std::move(options)));
  const FaidxOptions& opt = fx->options_;
  fx->index_path_ = opt.indexname ? *opt.indexname : opt.filename + ".fai";

  if (opt.filename.find('\0') != std::string::npos ||
      (opt.indexname && opt.indexname->find('\0') != std::string::npos)) {
    // The system would read the path only up to the NUL: another file than the one named.
    return FaidxError::io("a path holds a NUL byte");
  }
  struct stat fasta_st;
  if (::stat(opt.filename.c_str(), &fasta_st) != 0) {
    return FaidxError::of(ErrorKind::FastaNotFound, opt.filename);
  }
  // A pipe or a device would block the open or feed the scan for ever: refuse it unopened, and
  // again after a non-blocking open, in case the path was replaced in between.
  if (const char* what = not_regular(fasta_st.st_mode)) {
    return not_regular_error(opt.filename, what);
  }
  FileDescriptor fd(::open(opt.filename.c_str(),
                           (opt.mutable_file ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY |
                               O_NONBLOCK));
  if (!fd) return FaidxError::io_errno(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FaidxError::io_errno(errno);
  if (const char* what = not_regular(st.st_mode)) return not_regular_error(opt.filename, what);
  fx->opened_size_ = static_cast<std::uint64_t>(st.st_size);
  fx->opened_dev_ = st.st_dev;
  fx->opened_ino_ = st.st_ino;
  if (const int flags = ::fcntl(fd.get(), F_GETFL); flags >= 0) {
    (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }

  // Compression is told by content, not by name: BGZF is read through its blocks, any other
  // gzip file through checkpoints.
  char head[4096];
  const ssize_t got = pread_full(fd.get(), head, sizeof head, 0);
  if (got < 0) return FaidxError::io_errno(errno);
  const std::string_view head_view(head, static_cast<std::size_t>(got));
  const bool gzip = tavlo::is_gzip(head_view);
  const bool bgzf = gzip && tavlo::is_bgzf(head_view);

  if (!opt.mutable_file) {
    if (st.st_size == 0) {
      fx->has_map_ = true;  // nothing to map: every read ends at once
      fd.close();
    } else {
      void* m = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED,
                       fd.get(), 0);
      if (m != MAP_FAILED) {
        fx->map_ = static_cast<const char*>(m);
        fx->map_length_ = static_cast<std::size_t>(st.st_size);
        fx->has_map_ = true;
        fx->guard_.watch(fx->map_, fx->map_length_);
        fd.close();
      }
    }
  }

  bool build = false;
  struct stat index_st;
  if (::stat(fx->index_path_.c_str(), &index_st) != 0) {
    build = opt.build_index;
  } else if (const char* what = not_regular(index_st.st_mode);
             what != nullptr && !S_ISDIR(index_st.st_mode)) {
    // A pipe or device is neither read (it could block) nor replaced by a fresh index. A
    // directory fails by itself, in the read or in the rename of a fresh index.
    return not_regular_error(fx->index_path_, what);
  } else if (opt.build_index && opt.rebuild) {
    struct stat now_st;
    if (::stat(opt.filename.c_str(), &now_st) == 0) {
      build = newer(now_st.st_mtim, index_st.st_mtim);
    }
  }

  if (bgzf) {
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    Status s = fx->open_bgzf(fd.get(), file_size, fasta_st, build);
    if (fx->guard_.changed()) return fx->changed_error();
    if (!s) return std::move(s).error();
  } else if (gzip) {
    Status s = fx->open_gzip(fd.get(), st, build);
    if (fx->guard_.changed()) return fx->changed_error();
    if (!s) return std::move(s).error();
  } else if (build) {
    auto listing = fx->has_map_
                       ? scan_fasta_listing(std::string_view(fx->map_, fx->map_length_))
                       : scan_fasta_fd_listing(fd.get());
    // A file cut short under the scan reads as zeros, which the scan may refuse first.
    if (fx->guard_.changed()) return fx->changed_error();
    if (!listing) return std::move(listing).error();
    // The .fai is written from the listing while its lookup is made, which only reads it.
    NameTable& names = *listing;
    bool distinct = false;
    if (Status w = write_fai(fx->index_path_, names, [&] { distinct = names.index_distinct(); });
        !w) {
      return std::move(w).error();
    }
    fx->names_ = std::move(names);
    if (!distinct) fx->names_.merge_repeats();
  } else {
    if (Status r = read_fai(fx->index_path_, fx->names_); !r) return std::move(r).error();
  }
  // The descriptor (when no map replaced it) is closed by the destructor from here on.
  fx->fd_ = fd.release();
  return fx;
}

Status Faidx::open_bgzf(int fd, std::uint64_t size, const struct stat& fasta_st,
                        bool build_fai) {
  const FaidxOptions& opt = options_;
  const std::string gzi_path = opt.filename + ".gzi";
  const char* map = has_map_ ? map_ : nullptr;
  // The .gzi follows the .fai's rule: rebuilt when missing, or when older than the FASTA file
  // unless rebuilding is off.
  bool gzi_build = false;
  struct stat gzi_st;
  const bool gzi_present = ::stat(gzi_path.c_str(), &gzi_st) == 0;
  if (!gzi_present) {
    gzi_build = true;
  } else if (opt.build_index && opt.rebuild) {
    gzi_build = newer(fasta_st.st_mtim, gzi_st.st_mtim);
  }
  std::vector<GziEntry> gzi;
  if (build_fai) {
    auto scan = scan_bgzf(map, fd, size, true);
    if (!scan) return std::move(scan).error();
    if (Status w = write_file_atomically(gzi_path, format_gzi(scan->gzi)); !w) return w;
    if (Status w = write_fai(index_path_, scan->entries); !w) return w;
    load_entries(scan->entries, names_);
    gzi = std::move(scan->gzi);
  } else {
    if (Status r = read_fai(index_path_, names_); !r) return r;
    if (gzi_build) {
      // Only the block headers are read: the .fai is already there.
      auto scan = scan_bgzf(map, fd, size, false);
      if (!scan) return std::move(scan).error();
      gzi = std::move(scan->gzi);
      // Without build_index nothing is written: the pairs serve this Faidx only.
      if (opt.build_index) {
        if (Status w = write_file_atomically(gzi_path, format_gzi(gzi)); !w) return w;
      }
    } else {
      // Read on the first fetch: opening stays a few system calls, as for a plain file.
      bgzf_ = std::make_unique<BgzfReader>(map, fd, size, gzi_path);
      return Ok{};
    }
  }
  bgzf_ = std::make_unique<BgzfReader>(map, fd, size, std::move(gzi));
  return Ok{};
}

Status Faidx::read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
                   bool use_map, std::string& seq) const {
  if (bgzf_) {
    // Compressed bytes past the end of a file that shrank under the map read as zeros, which
    // fail their block's checks; the error says what happened instead.
    Status r = extract_sequence_from_bgzf(*bgzf_, e, start, count, seq);
    if (guard_.changed()) [[unlikely]] return changed_status();
    return r;
  }
  if (gzip_) {
    Status r = extract_sequence_from_gzip(*gzip_, e, start, count, seq);
    if (guard_.changed()) [[unlikely]] return changed_status();
    return r;
  }
  if (use_map && has_map_) {
    extract_sequence_from_mmap(std::string_view(map_, map_length_), e, start, count, seq);
    // A file cut inside its last page loses no page: the bytes past its new end read as NULs
    // then, the last one included when the region reaches past it.
    if (guard_.changed() || (!seq.empty() && seq.back() == '\0' && map_shrank()))
        [[unlikely]] {
      return changed_status();
    }
    return Ok{};
  }
  return read_through_descriptor(e, start, count, seq);
}

bool Faidx::map_shrank() const {
  struct stat st;
  return ::stat(options_.filename.c_str(), &st) == 0 && st.st_dev == opened_dev_ &&
         st.st_ino == opened_ino_ && static_cast<std::uint64_t>(st.st_size) < map_length_;
}

Status Faidx::read_through_descriptor(const EntryNumbers& e, std::uint64_t start,
                                      std::uint64_t count, std::string& seq) const {
  if (fd_ < 0) return FaidxError::io("No file handle available");
  Status r = extract_sequence_from_file_optimized(fd_, e, start, count, seq);
  if (r && seq.size() < count && shrank()) [[unlikely]] return changed_status();
  return r;
}

Status Faidx::changed_status() const { return changed_error(); }

bool Faidx::shrank() const {
  struct stat st;
  return ::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < opened_size_;
}

FaidxError Faidx::changed_error() const {
  return FaidxError::io(options_.filename +
                        " changed while open: it is shorter than when it was opened (open it "
                        "again to read it)");
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

void Faidx::finish(SequenceRecord& out, std::string_view name, std::uint64_t s, std::uint64_t e,
                   std::uint64_t count) const {
  pad_and_case(out.seq, count);
  out.name.assign(name);
  out.comp = false;
  if (options_.as_raw) {
    out.start.reset();
    out.end.reset();
  } else {
    // A start of 0 only arises for an empty record on the quiet path; it stays 0 rather than
    // wrapping to 2**64 - 1 in the 0-based convention.
    out.start = options_.one_based_attributes || s == 0 ? s : s - 1;
    out.end = e;
  }
}

Result<SequenceRecord> Faidx::fetch(std::string_view name, std::uint64_t start,
                                    std::uint64_t end) const {
  SequenceRecord out;
  if (Status s = fetch_into(out, name, start, end); !s) return std::move(s).error();
  return out;
}

Status Faidx::fetch_into(SequenceRecord& out, std::string_view name, std::uint64_t start,
                         std::uint64_t end) const {
  const std::optional<EntryNumbers> entry = names_.lookup(name);
  if (!entry) return not_found(name);
  return fetch_into(out, name, *entry, start, end);
}

Status Faidx::fetch_into(SequenceRecord& out, std::string_view name, const EntryNumbers& entry,
                         std::uint64_t start, std::uint64_t end) const {
  const std::uint64_t len = entry.rlen;
  const bool strict = options_.strict_bounds;
  if (start > len || end > len) {
    std::string text = "coordinates " + decimal(start) + "-" + decimal(end) +
                       " are out of bounds for sequence '";
    text.append(name);
    text += "' of length " + decimal(len);
    if (strict) return FaidxError::of(ErrorKind::Bounds, std::move(text));
    write_warning(text);
    if (start > len) return empty_record(out, name, start, start);
    end = len;
  }
  if (start == 0 || end == 0) {
    static const char* const kZero = "coordinates cannot be 0 (1-based indexing)";
    if (strict) return FaidxError::of(ErrorKind::Bounds, kZero);
    write_warning(kZero);
    return empty_record(out, name, start, end);
  }
  if (start > end) {
    std::string text = "start coordinate " + decimal(start) + " is greater than end coordinate " +
                       decimal(end);
    if (strict) return FaidxError::of(ErrorKind::Bounds, std::move(text));
    write_warning(text);
    return empty_record(out, name, start, end);
  }
  const std::uint64_t count = end - start + 1;
  if (Status r = read(entry, start, count, true, out); !r) return r;
  finish(out, name, start, end, count);
  return Ok{};
}

Result<SequenceRecord> Faidx::fetch_single_optimized(std::string_view name, std::uint64_t start,
                                                     std::uint64_t end, bool use_map) const {
  const std::optional<EntryNumbers> entry = names_.lookup(name);
  if (!entry) return not_found(name);
  return fetch_single_optimized(name, *entry, start, end, use_map);
}

Result<SequenceRecord> Faidx::fetch_single_optimized(std::string_view name,
                                                     const EntryNumbers& entry,
                                                     std::uint64_t start, std::uint64_t end,
                                                     bool use_map) const {
  SequenceRecord out;
  if (Status r = fetch_quiet_into(out, name, entry, start, end, use_map); !r) {
    return std::move(r).error();
  }
  return out;
}

Status Faidx::fetch_quiet_into(SequenceRecord& out, std::string_view name,
                               const EntryNumbers& entry, std::uint64_t start, std::uint64_t end,
                               bool use_map) const {
  const std::uint64_t len = entry.rlen;
  std::uint64_t s = start, e = end;
  if (options_.strict_bounds) {
    if (!(1 <= start && start <= end && end <= len)) {
      std::string text = "Invalid region ";
      text.append(name);
      text += ":" + decimal(start) + "-" + decimal(end) + " (sequence length: " + decimal(len) +
              ")";
      return FaidxError::of(ErrorKind::Region, std::move(text));
    }
  } else {
    s = std::min(len, std::max<std::uint64_t>(start, 1));
    e = std::min(len, std::max<std::uint64_t>(end, 1));
    if (e < s) return empty_record(out, name, s, e);
  }
  const std::uint64_t count = e - s + 1;
  if (Status r = read(entry, s, count, use_map, out); !r) return r;
  finish(out, name, s, e, count);
  return Ok{};
}

Status Faidx::fetch_residues(std::string_view name, const EntryNumbers& entry,
                             std::uint64_t start, std::uint64_t end, bool use_map,
                             std::string& out) const {
  const std::uint64_t len = entry.rlen;
  out.clear();
  if (options_.strict_bounds && !(1 <= start && start <= end && end <= len)) {
    std::string text = "Invalid region ";
    text.append(name);
    text += ":" + decimal(start) + "-" + decimal(end) + " (sequence length: " + decimal(len) + ")";
    return FaidxError::of(ErrorKind::Region, std::move(text));
  }
  const std::uint64_t s = std::min(len, std::max<std::uint64_t>(start, 1));
  const std::uint64_t e = std::min(len, std::max<std::uint64_t>(end, 1));
  if (e < s) return Ok{};
  const std::uint64_t count = e - s + 1;
  if (Status r = read(entry, s, count, use_map, out); !r) return r;
  pad_and_case(out, count);
  return Ok{};
}

void Faidx::prefetch_region(const EntryNumbers& entry, std::uint64_t start, std::uint64_t end,
                            std::uint64_t max_residues) const {
  if (map_ == nullptr || bgzf_ || gzip_ || entry.lenc == 0 || entry.rlen == 0) return;
  const std::uint64_t s = std::min(entry.rlen, std::max<std::uint64_t>(start, 1));
  const std::uint64_t a = residue_offset(entry, s);
  if (a >= map_length_) return;
  // The lines of a short region: its residues plus a terminator per line crossed.
  const std::uint64_t count = end >= s ? std::min<std::uint64_t>(end - s + 1, max_residues) : 1;
  const std::uint64_t last =
      std::min<std::uint64_t>(map_length_ - 1, a + count + 2 * (count / entry.lenc + 1));
  for (std::uint64_t at = a; at < last; at += 64) __builtin_prefetch(map_ + at);
  __builtin_prefetch(map_ + last);
}

Result<SequenceRecord> Faidx::fetch_entire_sequence(std::string_view name) const {
  const std::optional<EntryNumbers> entry = names_.lookup(name);
  if (!entry) return not_found(name);
  SequenceRecord out;
  if (Status r = read(*entry, 1, entry->rlen, true, out); !r) return std::move(r).error();
  if (options_.sequence_always_upper) upper_in_place(out.seq);
  out.name.assign(name);
  if (!options_.as_raw) {
    out.start = options_.one_based_attributes ? 1 : 0;
    out.end = entry->rlen;
  }
  return out;
}

}  // namespace tavlo
