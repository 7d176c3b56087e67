// Reading the cgroup CPU quota, so that the worker pool matches what the process may really use.
#include "faidx/cpu_quota.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>

#include "faidx/file_io.hpp"

namespace tavlo {

namespace {

// The first 4 KiB of a small control file ("" when it cannot be read).
std::string read_small(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return {};
  char buf[4096];
  const ssize_t got = pread_full(fd.get(), buf, sizeof buf, 0);
  return got > 0 ? std::string(buf, static_cast<std::size_t>(got)) : std::string();
}

bool parse_number(std::string_view s, std::int64_t& out) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::size_t cpus_of(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return 0;
  return static_cast<std::size_t>((quota + period - 1) / period);
}

// The stricter of two limits, where 0 is none.
std::size_t stricter(std::size_t a, std::size_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// The strictest limit that `limit_at(dir)` gives for `dir` and each of its parents up to `base`.
template <class F>
std::size_t walk_up(const std::string& base, std::string path, const F& limit_at) {
  std::size_t best = 0;
  while (true) {
    best = stricter(best, limit_at(base + path));
    if (path.empty() || path == "/") break;
    const std::size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
  }
  return best;
}

}  // namespace

std::size_t cpus_of_cpu_max(std::string_view text) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return 0;
  std::int64_t quota = 0, period = 0;
  if (!parse_number(text.substr(0, space), quota)) return 0;  // "max": no quota
  if (!parse_number(text.substr(space + 1), period)) return 0;
  return cpus_of(quota, period);
}

std::size_t cgroup_cpu_limit(const std::string& root, std::string_view self_cgroup) {
  const std::string base = root.empty() ? "/sys/fs/cgroup" : root;
  std::string own;
  if (self_cgroup.empty()) {
    own = read_small("/proc/self/cgroup");
    self_cgroup = own;
  }
  std::size_t best = 0;
  // Lines "id:controllers:path": "0::path" for version 2, "N:...cpu...:path" for version 1.
  while (!self_cgroup.empty()) {
    const std::size_t nl = self_cgroup.find('\n');
    std::string_view line = self_cgroup.substr(0, nl);
    self_cgroup.remove_prefix(nl == std::string_view::npos ? self_cgroup.size() : nl + 1);
    const std::size_t c1 = line.find(':');
    const std::size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
    std::string path(line.substr(c2 + 1));
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (controllers.empty()) {
      best = stricter(best, walk_up(base, path, [](const std::string& dir) {
                        return cpus_of_cpu_max(read_small(dir + "/cpu.max"));
                      }));
    } else if (controllers == "cpu" || controllers.find("cpu,") == 0 ||
               controllers.find(",cpu,") != std::string_view::npos ||
               controllers.ends_with(",cpu")) {
      const std::string mount = base + "/" + std::string(controllers);
      best = stricter(best, walk_up(mount, path, [](const std::string& dir) {
                        std::int64_t quota = 0, period = 0;
                        if (!parse_number(read_small(dir + "/cpu.cfs_quota_us"), quota) ||
                            !parse_number(read_small(dir + "/cpu.cfs_period_us"), period)) {
                          return std::size_t{0};
                        }
                        return cpus_of(quota, period);
                      }));
    }
  }
  return best;
}

}  // namespace tavlo
