// Shared by the fuzz targets: an invariant check that aborts (so libFuzzer keeps the input) and
// an in-memory file for the descriptor read paths.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_REQUIRE(cond)                                                             \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace tavlo::fuzz {

// One anonymous in-memory file per process, rewritten with each input: creating one per input
// would cost more than most of the work under test.
inline int memory_file(std::string_view contents) {
  static const int fd = ::memfd_create("tavlo-fuzz", 0);
  FUZZ_REQUIRE(fd >= 0);
  FUZZ_REQUIRE(::ftruncate(fd, 0) == 0);
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t w = ::pwrite(fd, contents.data() + done, contents.size() - done,
                               static_cast<off_t>(done));
    FUZZ_REQUIRE(w > 0);
    done += static_cast<std::size_t>(w);
  }
  return fd;
}

}  // namespace tavlo::fuzz
