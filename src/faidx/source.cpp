// The sources of local files: the memory map, the descriptor, and the blocks of a BGZF file.
#include "faidx/source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "faidx/bgzf.hpp"

namespace tavlo {

namespace {

// Why a file of this st_mode cannot be read as a FASTA file, or nothing for a regular file.
// Pipes and devices would block or never end; a directory fails as reading one fails.
std::optional<FaidxError> refuse_irregular(const std::string& path, mode_t mode) {
  if (S_ISREG(mode)) return std::nullopt;
  if (S_ISDIR(mode)) return FaidxError::io_errno(EISDIR);
  return not_regular_error(path, not_regular(mode));
}

class MapSource final : public FileSource {
 public:
  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    extract_sequence_from_mmap(std::string_view(map_, size_), e, start, count, out);
    // A file cut inside its last page loses no page: the bytes past its new end read as NULs
    // then, the last one included when the region reaches past it.
    if (changed() || (!out.empty() && out.back() == '\0' && map_shrank())) [[unlikely]] {
      return changed_error();
    }
    return Ok{};
  }

  void prefetch(const EntryNumbers& e, std::uint64_t start, std::uint64_t end,
                std::uint64_t max_residues) const override {
    if (map_ == nullptr || e.lenc == 0 || e.rlen == 0) return;
    const std::uint64_t s = std::min(e.rlen, std::max<std::uint64_t>(start, 1));
    const std::uint64_t a = residue_offset(e, s);
    if (a >= size_) return;
    // The lines of a short region: its residues plus a terminator per line crossed.
    const std::uint64_t count = end >= s ? std::min<std::uint64_t>(end - s + 1, max_residues) : 1;
    const std::uint64_t last =
        std::min<std::uint64_t>(size_ - 1, a + count + 2 * (count / e.lenc + 1));
    for (std::uint64_t at = a; at < last; at += 64) __builtin_prefetch(map_ + at);
    __builtin_prefetch(map_ + last);
  }
};

class DescriptorSource final : public FileSource {
 public:
  [[gnu::noinline]] Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
                                std::string& out) const override {
    Status r = extract_sequence_from_file_optimized(fd_.get(), e, start, count, out);
    if (r && out.size() < count && fd_shrank()) [[unlikely]] return changed_error();
    return r;
  }
};

}  // namespace

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path, bool writable) {
  // A pipe or a device would block the open or feed the scan for ever: refuse it unopened, and
  // again after a non-blocking open, in case the path was replaced in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FaidxError::of(ErrorKind::FastaNotFound, path);
  if (auto refused = refuse_irregular(path, st.st_mode)) return std::move(*refused);
  FileDescriptor fd(::open(path.c_str(),
                           (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return FaidxError::io_errno(errno);
  if (::fstat(fd.get(), &st) != 0) return FaidxError::io_errno(errno);
  if (auto refused = refuse_irregular(path, st.st_mode)) return std::move(*refused);
  if (const int flags = ::fcntl(fd.get(), F_GETFL); flags >= 0) {
    (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  std::unique_ptr<FileSource> file;
  const char* map = nullptr;
  if (!writable && size > 0) {
    void* m = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (m != MAP_FAILED) map = static_cast<const char*>(m);
  }
  // Nothing to map in an empty file: every read from the "map" ends at once.
  if (map != nullptr || (!writable && size == 0)) {
    file.reset(new MapSource());
    file->map_ = map;
    file->mapped_ = true;
    if (map != nullptr) file->guard_.watch(map, size);
    fd.close();
  } else {
    file.reset(new DescriptorSource());
  }
  file->path_ = path;
  file->fd_ = std::move(fd);
  file->size_ = size;
  file->st_ = st;
  return file;
}

FileSource::~FileSource() {
  guard_.release();
  if (map_ != nullptr) ::munmap(const_cast<char*>(map_), size_);
}

bool FileSource::map_shrank() const {
  struct stat now;
  return ::stat(path_.c_str(), &now) == 0 && now.st_dev == st_.st_dev &&
         now.st_ino == st_.st_ino && static_cast<std::uint64_t>(now.st_size) < size_;
}

bool FileSource::fd_shrank() const {
  struct stat now;
  return ::fstat(fd_.get(), &now) == 0 && static_cast<std::uint64_t>(now.st_size) < size_;
}

FaidxError FileSource::changed_error() const {
  return FaidxError::io(path_ +
                        " changed while open: it is shorter than when it was opened (open it "
                        "again to read it)");
}

std::unique_ptr<Source> make_bgzf_source(std::unique_ptr<FileSource> file, std::string gzi_path) {
  return std::make_unique<CompressedSource<BgzfReader>>(std::move(file), std::move(gzi_path));
}

std::unique_ptr<Source> make_bgzf_source(std::unique_ptr<FileSource> file,
                                         std::vector<GziEntry> pairs) {
  return std::make_unique<CompressedSource<BgzfReader>>(std::move(file), std::move(pairs));
}

}  // namespace tavlo
