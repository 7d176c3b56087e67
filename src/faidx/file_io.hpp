// Small POSIX file helpers: an owning descriptor and whole-buffer read and write loops.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "errors/errors.hpp"

namespace tavlo {

// Owns one file descriptor; closes it on destruction.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& o) noexcept {
    if (this != &o) {
      close();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes the descriptor; returns 0 or the errno of a failed close.
  int close() noexcept {
    if (fd_ < 0) return 0;
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

// Positioned read of up to n bytes, retrying interrupted calls. Returns bytes read or -1 (errno).
inline ssize_t pread_full(int fd, char* buf, std::size_t n, std::uint64_t at) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, buf + got, n - got, static_cast<off_t>(at + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// Reads the whole file behind fd (from offset 0) into out.
inline Status read_all(int fd, std::string& out) {
  struct stat st;
  std::size_t hint = (::fstat(fd, &st) == 0 && st.st_size > 0) ? st.st_size : 0;
  out.clear();
  out.resize(hint + 1);
  std::size_t got = 0;
  while (true) {
    if (got == out.size()) out.resize(out.size() * 2 + 4096);
    const ssize_t r = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return FaidxError::io_errno(errno);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return Ok{};
}

// Why a file of this st_mode cannot be read as a FASTA or index file ("a directory", "a named
// pipe", ...), or nullptr for a regular file. Pipes and devices would block or never end.
inline const char* not_regular(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// The IOError "{path} is {what}, not a regular file".
inline FaidxError not_regular_error(const std::string& path, const char* what) {
  return FaidxError::io(path + " is " + what + ", not a regular file");
}

inline Status write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return FaidxError::io_errno(errno);
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return Ok{};
}

}  // namespace tavlo
