// Line input, atomic file output and the progress line.
#include "cli/io.hpp"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavlo::cli {

namespace {

constexpr std::size_t kReadBlock = 4 << 20;

std::string os_text(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// The temporary output file, for the signal handler: an interrupted run leaves nothing behind.
char g_temp_path[PATH_MAX + 64] = {0};

extern "C" void remove_temp_and_reraise(int sig) {
  if (g_temp_path[0] != '\0') ::unlink(g_temp_path);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

LineReader::~LineReader() {
  if (owns_fd_) ::close(fd_);
}

bool LineReader::open(const std::string& path, std::string& error) {
  if (path == "-" || path == "stdin") {
    fd_ = 0;
  } else {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      error = os_text(path, errno);
      return false;
    }
    owns_fd_ = true;
  }
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    error = os_text(path, EISDIR);
    return false;
  }
  buf_.resize(kReadBlock);
  return true;
}

bool LineReader::fill() {
  // Keep the unread tail, then read behind it; a line longer than the buffer grows it.
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
  ssize_t r = 0;
  do {
    r = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
  } while (r < 0 && errno == EINTR);
  if (r < 0) error_ = std::string("read error: ") + std::strerror(errno);
  if (r == 0) eof_ = true;
  if (r <= 0) return false;
  end_ += static_cast<std::size_t>(r);
  return true;
}

bool LineReader::next(std::string_view& line) {
  std::size_t scanned = begin_;
  std::size_t stop = 0;  // where the line ends: its LF, or the end of a last line without one
  while (true) {
    const void* nl = std::memchr(buf_.data() + scanned, '\n', end_ - scanned);
    if (nl != nullptr) {
      stop = static_cast<const char*>(nl) - buf_.data();
      break;
    }
    const std::size_t pending = end_ - begin_;
    if (eof_ || !error_.empty() || !fill()) {
      if (begin_ == end_ || !error_.empty()) return false;
      stop = end_;
      break;
    }
    scanned = begin_ + pending;
  }
  line = std::string_view(buf_.data() + begin_, stop - begin_);
  const std::size_t after = std::min(stop + 1, end_);
  consumed_ += after - begin_;
  begin_ = after;
  ++line_number_;
  return true;
}

Output::~Output() {
  if (owns_fd_) ::close(fd_);
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    g_temp_path[0] = '\0';
  }
}

bool Output::open(const std::string& path, std::string& error) {
  if (path.empty() || path == "-" || path == "stdout") {
    fd_ = 1;
    return true;
  }
  const auto fail = [&](int err) {
    error = os_text(path, err);
    return false;
  };
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace the file the link points to, not the link.
    if (char* real = ::realpath(path.c_str(), nullptr); real != nullptr) {
      target = real;
      ::free(real);
    }
  }
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) return fail(errno);
    owns_fd_ = true;
    return true;
  }
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "." + base + ".tavlo-XXXXXX";
  if (temp.size() >= PATH_MAX) return fail(ENAMETOOLONG);
  fd_ = ::mkstemp(temp.data());
  if (fd_ < 0) return fail(errno);
  owns_fd_ = true;
  preallocate_ = true;
  temp_ = temp;
  path_ = target;
  // The new file gets the mode of the one it replaces, or what the umask allows.
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  (void)::fchmod(fd_, mode);
  std::memcpy(g_temp_path, temp_.c_str(), temp_.size() + 1);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction sa{};
    sa.sa_handler = remove_temp_and_reraise;
    sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
  }
  return true;
}

bool Output::write(const std::vector<std::string>& buffers, std::size_t count, std::string& error) {
  // Calls of about a mebibyte each: much larger single calls make the kernel's copy into the
  // page cache several times slower (measured on ext4: 17 MB per call against 1 MB per call).
  constexpr std::size_t kCallBytes = 1 << 20;
  std::size_t total = 0;
  for (std::size_t k = 0; k < count; ++k) total += buffers[k].size();
#ifdef __linux__
  // Reserving the blocks of the whole set in one call spares the file system its per-page
  // delayed allocation: the writes then take about half the kernel time (ext4). The file's size
  // still grows only with the writes; where the file system cannot reserve, nothing changes.
  if (preallocate_ && total > 0 &&
      ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(written_),
                  static_cast<off_t>(total)) != 0) {
    preallocate_ = false;
  }
#endif
  std::vector<iovec> iov;
  std::size_t i = 0, offset = 0;  // position in buffers
  while (i < count) {
    iov.clear();
    std::size_t bytes = 0;
    while (i < count && bytes < kCallBytes && iov.size() < IOV_MAX) {
      const std::string& b = buffers[i];
      const std::size_t take = std::min(b.size() - offset, kCallBytes - bytes);
      if (take > 0) iov.push_back({const_cast<char*>(b.data()) + offset, take});
      bytes += take;
      offset += take;
      if (offset == b.size()) {
        ++i;
        offset = 0;
      }
    }
    std::size_t first = 0;
    while (first < iov.size()) {
      const ssize_t w = ::writev(fd_, iov.data() + first, static_cast<int>(iov.size() - first));
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno == EPIPE && temp_.empty()) ::_exit(141);  // the reader has gone: stop quietly
        error = os_text("write error", errno);
        return false;
      }
      auto done = static_cast<std::size_t>(w);
      while (first < iov.size() && done >= iov[first].iov_len) {
        done -= iov[first].iov_len;
        ++first;
      }
      if (first < iov.size()) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
        iov[first].iov_len -= done;
      }
    }
  }
  written_ += total;
  return true;
}

bool Output::commit(std::string& error) {
  if (owns_fd_) {
    owns_fd_ = false;
    if (::close(fd_) != 0) {
      error = os_text("write error", errno);
      return false;
    }
  }
  if (temp_.empty()) return true;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    error = os_text(path_, errno);
    return false;
  }
  temp_.clear();
  g_temp_path[0] = '\0';
  return true;
}

Progress::Progress() : enabled_(::isatty(2) == 1) {
  start_ = std::chrono::steady_clock::now();
  last_ = start_ - std::chrono::seconds(1);  // the first update draws at once
}

void Progress::update(std::uint64_t regions, double share) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  const bool big = regions > 100000 || (share > 0 && regions / share > 100000);
  if (!big || now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const double secs = std::chrono::duration<double>(now - start_).count();
  const double rate = secs > 0 ? regions / secs : 0;
  char line[160];
  int n = std::snprintf(line, sizeof line, "\r\033[Ktavlo: %llu regions, %.0f regions/s",
                        static_cast<unsigned long long>(regions), rate);
  if (share > 0 && share <= 1 && n > 0 && static_cast<std::size_t>(n) < sizeof line) {
    const auto left = static_cast<long long>(secs * (1 - share) / share + 0.5);
    n += std::snprintf(line + n, sizeof line - n, ", %lld:%02lld left", left / 60, left % 60);
  }
  if (n > 0) (void)!::write(2, line, std::min<std::size_t>(n, sizeof line - 1));
  shown_ = true;
}

void Progress::finish() {
  if (shown_) (void)!::write(2, "\r\033[K", 4);
  shown_ = false;
}

}  // namespace tavlo::cli
