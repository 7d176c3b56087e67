// Stress test of the worker pool: coverage, stealing, exceptions, streams, concurrent callers
// and fork.
//
// Set TAVLO_TEST_SKIP_FORK=1 to leave out the parts that fork.
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "faidx/cpu_quota.hpp"
#include "faidx/pool.hpp"

#if defined(__SANITIZE_THREAD__)
#define TAVLO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVLO_THREAD_SANITIZER 1
#endif
#endif

#if defined(TAVLO_THREAD_SANITIZER)
// The fork tests start threads in the child of a threaded process; ThreadSanitizer refuses
// that unless told otherwise. The child only ever runs the pool it starts itself.
// Visible: the sanitizer runtime looks it up dynamically, and the build hides symbols by default.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
// This compiler's AddressSanitizer runtime takes no allocator lock across fork(): a child forked
// while another thread allocates can block forever inside malloc.
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

namespace tavlo {
namespace {

constexpr std::size_t kThreads = 4;  // often more than the processors: more interleavings

// Waits until pred() holds; false after ten seconds.
bool eventually(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

// Runs parallel_for over n items; checks that the ranges are non-empty, inside [0, n) and visit
// every item exactly once.
void check_covers(std::size_t n) {
  std::unique_ptr<std::atomic<std::uint32_t>[]> hits(new std::atomic<std::uint32_t>[n + 1]());
  std::atomic<std::size_t> bad_ranges{0};
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    if (begin >= end || end > n) {
      bad_ranges.fetch_add(1);
      return;
    }
    for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  });
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) wrong += hits[i].load() != 1;
  if (!CHECK_EQ(bad_ranges.load(), 0) || !CHECK_EQ(wrong, 0)) {
    std::fprintf(stderr, "  for n = %zu\n", n);
  }
}

void test_coverage() {
  for (std::size_t n : {0, 1, 2, 3, 7, 31, 999, 1000, 1001, 4096, 200000}) check_covers(n);
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> size(0, 5000);
  for (int round = 0; round < 300; ++round) check_covers(size(random));

  bool called = false;
  parallel_for(0, [&](std::size_t, std::size_t) { called = true; });
  CHECK(!called);
}

// One participant stalls in its first piece until the others have done every other item, which
// they can only do by taking over the rest of its range. Run with the stall on the caller and on
// a worker.
void check_idle_threads_take_over(bool stall_caller) {
  const std::size_t n = 20000;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> stalled{false};
  std::atomic<bool> timed_out{false};
  std::atomic<std::size_t> done_by_others{0};
  std::atomic<std::size_t> stalled_piece{0};
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    const bool on_caller = std::this_thread::get_id() == caller;
    // The others hold on until the stall begins: else the caller could finish everything before
    // any worker wakes up, or the workers take everything before the caller's first piece.
    if (on_caller != stall_caller) eventually([&] { return stalled.load(); });
    if (on_caller == stall_caller && !stalled.exchange(true)) {
      stalled_piece = end - begin;
      if (!eventually([&] { return done_by_others.load() == n - (end - begin); })) {
        timed_out = true;
      }
      return;
    }
    done_by_others.fetch_add(end - begin);
  });
  if (!CHECK(!timed_out.load())) {
    std::fprintf(stderr, "  stalled %s: others did %zu of %zu\n",
                 stall_caller ? "caller" : "worker", done_by_others.load(),
                 n - stalled_piece.load());
  }
  CHECK(stalled.load());
  CHECK_EQ(done_by_others.load() + stalled_piece.load(), n);
}

void test_stealing() {
  check_idle_threads_take_over(true);
  check_idle_threads_take_over(false);
  check_covers(1000);
}

struct WorkerError {};

void test_exceptions() {
  for (std::size_t n : {2, 1000, 200000}) {
    const std::size_t bad = n / 2 + 1 < n ? n / 2 + 1 : n - 1;
    std::string message;
    try {
      parallel_for(n, [&](std::size_t begin, std::size_t end) {
        if (begin <= bad && bad < end) throw std::runtime_error("item " + std::to_string(bad));
      });
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    CHECK_EQ(message, "item " + std::to_string(bad));
    check_covers(n);
  }

  // Every piece fails, on every thread at once: one exception comes out, nothing terminates.
  bool out_of_memory = false;
  try {
    parallel_for(100000, [](std::size_t, std::size_t) { throw std::bad_alloc(); });
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  CHECK(out_of_memory);
  check_covers(200000);

  // Thrown on a worker, not on the caller: the caller holds on until a worker has thrown.
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> worker_threw{false};
  bool caught = false;
  try {
    parallel_for(1000, [&](std::size_t, std::size_t) {
      if (std::this_thread::get_id() != caller) {
        worker_threw = true;
        throw WorkerError();
      }
      eventually([&] { return worker_threw.load(); });
    });
  } catch (const WorkerError&) {
    caught = true;
  }
  CHECK(worker_threw.load());
  CHECK(caught);

  // The exception comes out only after every thread has left body, and none enters it later.
  std::atomic<int> inside{0};
  std::atomic<bool> returned{false};
  std::atomic<int> late{0};
  try {
    parallel_for(2000, [&](std::size_t begin, std::size_t) {
      if (returned) late.fetch_add(1);
      inside.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      inside.fetch_sub(1);
      if (begin == 0) throw std::runtime_error("first");
    });
  } catch (const std::runtime_error&) {
    CHECK_EQ(inside.load(), 0);
    returned = true;
  }
  CHECK(returned.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  CHECK_EQ(late.load(), 0);
  check_covers(1000);
}

void test_nested_calls_run() {
  std::atomic<std::size_t> inner_total{0};
  std::atomic<std::size_t> inner_bad{0};
  parallel_for(64, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      std::atomic<std::size_t> covered{0};
      parallel_for(100, [&](std::size_t b, std::size_t e) {
        if (b >= e || e > 100) inner_bad.fetch_add(1);
        covered.fetch_add(e - b);
      });
      inner_total.fetch_add(covered.load());
    }
  });
  CHECK_EQ(inner_bad.load(), 0);
  CHECK_EQ(inner_total.load(), 64 * 100);
}

// parallel_stream over n items in chunks, produce stopping at chunk `stop` (SIZE_MAX: never).
// Checks that produce runs on the caller, chunk after chunk; that each chunk produced is consumed
// once, after its produce (`produced` is plain memory: the hand-over must publish it), and no
// other chunk: every one when produce never stops; and that nothing is consumed once the call
// has returned.
void check_stream(std::size_t n, std::size_t chunk, std::size_t stop) {
  const auto caller = std::this_thread::get_id();
  const std::size_t chunks = (n + chunk - 1) / chunk;
  std::vector<char> produced(chunks, 0);
  std::unique_ptr<std::atomic<int>[]> consumed(new std::atomic<int>[chunks + 1]());
  std::atomic<std::size_t> bad{0};
  std::atomic<bool> returned{false};
  std::size_t next = 0;
  const bool all = parallel_stream(
      n, chunk,
      [&](std::size_t begin, std::size_t end) {
        if (std::this_thread::get_id() != caller || begin != next * chunk ||
            end != std::min(n, begin + chunk)) {
          bad.fetch_add(1);
        }
        if (next == stop) return false;
        if (next % 16 == 3) std::this_thread::sleep_for(std::chrono::microseconds(100));
        produced[next++] = 1;
        return true;
      },
      [&](std::size_t begin, std::size_t end) {
        const std::size_t k = begin / chunk;
        if (returned.load() || begin % chunk != 0 || end != std::min(n, begin + chunk) ||
            k >= chunks || produced[k] != 1) {
          bad.fetch_add(1);
          return;
        }
        consumed[k].fetch_add(1);
      });
  returned = true;
  const std::size_t made = std::min(stop, chunks);
  std::size_t wrong = 0;
  for (std::size_t k = 0; k < chunks; ++k) {
    const int times = consumed[k].load();
    wrong += k >= made ? times != 0 : stop >= chunks ? times != 1 : times > 1;
  }
  if (!CHECK_EQ(bad.load(), 0) || !CHECK_EQ(wrong, 0) || !CHECK_EQ(all, stop >= chunks)) {
    std::fprintf(stderr, "  for n = %zu, chunk %zu, stop %zu\n", n, chunk, stop);
  }
}

void test_stream() {
  for (std::size_t n : {0, 1, 5, 64, 65, 1000, 100000}) {
    for (std::size_t chunk : {1, 7, 64, 512}) {
      check_stream(n, chunk, SIZE_MAX);
      check_stream(n, chunk, 0);
      check_stream(n, chunk, (n / chunk) / 2 + 1);
    }
  }
  std::atomic<std::size_t> covered{0};
  CHECK(parallel_stream(
      10, 0, [&](std::size_t begin, std::size_t end) { return begin + 1 == end; },
      [&](std::size_t begin, std::size_t end) { covered.fetch_add(end - begin); }));
  CHECK_EQ(covered.load(), 10);  // a chunk of 0 counts as 1

  // An exception on either side comes out after all work has stopped; none starts later.
  for (const bool in_produce : {true, false}) {
    std::atomic<int> inside{0};
    std::atomic<bool> returned{false};
    std::atomic<int> late{0};
    bool caught = false;
    try {
      parallel_stream(
          20000, 16,
          [&](std::size_t begin, std::size_t) {
            if (in_produce && begin == 16 * 600) throw std::runtime_error("produce");
            return true;
          },
          [&](std::size_t begin, std::size_t) {
            if (returned) late.fetch_add(1);
            inside.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            inside.fetch_sub(1);
            if (!in_produce && begin == 16 * 300) throw std::runtime_error("consume");
          });
    } catch (const std::runtime_error& e) {
      CHECK_EQ(std::string(e.what()), in_produce ? "produce" : "consume");
      CHECK_EQ(inside.load(), 0);
      caught = true;
    }
    returned = true;
    CHECK(caught);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CHECK_EQ(late.load(), 0);
  }

  // Inside a body of the pool, a stream runs inline on its thread.
  std::atomic<std::size_t> total{0};
  parallel_for(32, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const auto self = std::this_thread::get_id();
      std::size_t mine = 0;
      parallel_stream(
          1000, 10, [](std::size_t, std::size_t) { return true; },
          [&](std::size_t b, std::size_t e) {
            if (std::this_thread::get_id() == self) mine += e - b;
          });
      total.fetch_add(mine);
    }
  });
  CHECK_EQ(total.load(), 32 * 1000);
  check_covers(1000);
}

void test_concurrent_callers() {
  std::vector<std::thread> callers;
  for (unsigned t = 0; t < 4; ++t) {
    callers.emplace_back([t] {
      std::mt19937 random(t);
      std::uniform_int_distribution<std::size_t> size(0, 3000);
      for (int round = 0; round < 40; ++round) {
        check_covers(round % 10 == 0 ? 200000 : size(random));
        if (static_cast<unsigned>(round) % 4 == t) check_stream(size(random), 32, SIZE_MAX);
      }
      try {
        parallel_for(5000, [](std::size_t begin, std::size_t) {
          if (begin == 0) throw std::runtime_error("concurrent");
        });
        CHECK(false);
      } catch (const std::runtime_error& e) {
        CHECK_EQ(std::string(e.what()), "concurrent");
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
}

// A call made only if the pool is idle runs when it is, and gives way, running nothing, while
// another thread's call holds it.
void test_if_idle() {
  std::atomic<int> ran{0};
  CHECK(parallel_for_if_idle(100, [&](std::size_t b, std::size_t e) {
    ran += static_cast<int>(e - b);
  }));
  CHECK_EQ(ran.load(), 100);
  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    parallel_for(2, [&](std::size_t begin, std::size_t) {
      if (begin != 0) return;
      holding = true;
      while (!release) std::this_thread::yield();
    });
  });
  while (!holding) std::this_thread::yield();
  CHECK(!parallel_for_if_idle(100, [&](std::size_t, std::size_t) { ran = -1; }));
  release = true;
  holder.join();
  CHECK_EQ(ran.load(), 100);
}

// Runs fn in a forked child under an alarm; checks that the child exits cleanly.
void check_in_child(const char* what, const std::function<void()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    CHECK(pid >= 0);
    return;
  }
  if (pid == 0) {
    alarm(60);  // a child that waits for the parent's workers would hang here
    const long failed_before = check::failed.load();
    fn();
    std::fflush(nullptr);
    _exit(check::failed.load() == failed_before ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    std::fprintf(stderr, "  child '%s': status %#x%s\n", what, status,
                 WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? " (hung)" : "");
  }
}

// Before the parent starts its pool: the default size follows the affinity mask.
void test_size_follows_affinity() {
  check_in_child("default size", [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (!CHECK_EQ(sched_getaffinity(0, sizeof set, &set), 0)) return;
    CHECK_EQ(worker_count(), CPU_COUNT(&set));
    check_covers(10000);
  });
  check_in_child("one processor", [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (!CHECK_EQ(sched_getaffinity(0, sizeof set, &set), 0)) return;
    int first = 0;
    while (!CPU_ISSET(first, &set)) ++first;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
    if (!CHECK_EQ(sched_setaffinity(0, sizeof set, &set), 0)) return;
    CHECK_EQ(worker_count(), 1);
    check_covers(10000);
  });
}

void run_pool_in_child() {
  check_covers(1000);
  check_stream(5000, 64, SIZE_MAX);
  check_covers(200000);
  CHECK_EQ(worker_count(), kThreads);
  // The parent's workers do not exist here: some other thread must still take part, so the
  // child did start workers of its own.
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> helped{false};
  parallel_for(1000, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() != caller) helped = true;
    eventually([&] { return helped.load(); });
  });
  CHECK(helped.load());
}

void test_fork() {
  check_in_child("after the pool ran", [] {
    run_pool_in_child();
    check_in_child("grandchild", run_pool_in_child);
  });

  // Fork while another thread keeps the pool busy, so that its locks are likely held.
  // ThreadSanitizer cannot follow this: in the child a new thread may reuse the id of a parent
  // thread that it still counts as alive ("dup thread"), and it aborts. AddressSanitizer: see
  // kAddressSanitizer. The unsanitized build runs this case.
  if (kThreadSanitizer || kAddressSanitizer) return;
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) check_covers(50000);
  });
  for (int i = 0; i < 10; ++i) {
    check_in_child("while the pool is busy", run_pool_in_child);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  stop = true;
  busy.join();
  check_covers(1000);
}

}  // namespace
}  // namespace tavlo

// Quotas of both cgroup versions, read from a made-up hierarchy: the strictest on the path from
// the process's group to the root counts, rounded up; "max" and unreadable files are no quota.
void test_cgroup_quota() {
  using tavlo::cgroup_cpu_limit;
  char dir[] = "/tmp/tavlo-cgroup-XXXXXX";
  CHECK(::mkdtemp(dir) != nullptr);
  const std::string root = dir;
  auto put = [&](const std::string& path, const std::string& text) {
    for (std::size_t at = root.size() + 1; (at = path.find('/', at)) != std::string::npos; ++at) {
      ::mkdir(path.substr(0, at).c_str(), 0700);
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    CHECK(f != nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  CHECK_EQ(tavlo::cpus_of_cpu_max("max 100000\n"), 0u);
  CHECK_EQ(tavlo::cpus_of_cpu_max("150000 100000\n"), 2u);
  CHECK_EQ(tavlo::cpus_of_cpu_max("junk"), 0u);
  CHECK_EQ(cgroup_cpu_limit(root, "0::/\n"), 0u);
  put(root + "/cpu.max", "max 100000\n");
  put(root + "/a/cpu.max", "400000 100000\n");
  put(root + "/a/b/cpu.max", "max 100000\n");
  CHECK_EQ(cgroup_cpu_limit(root, "0::/a/b\n"), 4u);
  put(root + "/cpu/job/cpu.cfs_quota_us", "250000\n");
  put(root + "/cpu/job/cpu.cfs_period_us", "100000\n");
  CHECK_EQ(cgroup_cpu_limit(root, "4:memory:/x\n3:cpu:/job\n"), 3u);
  CHECK_EQ(cgroup_cpu_limit(root, "3:cpu:/job\n0::/a/b\n"), 3u);
  put(root + "/cpu/other/cpu.cfs_quota_us", "-1\n");
  CHECK_EQ(cgroup_cpu_limit(root, "3:cpu:/other\n"), 0u);
  const std::string cleanup = "rm -rf " + root;
  CHECK_EQ(std::system(cleanup.c_str()), 0);
}

int main() {
  using namespace tavlo;
  test_cgroup_quota();
  alarm(900);  // a deadlock fails the run instead of stalling it
  const char* skip = std::getenv("TAVLO_TEST_SKIP_FORK");
  const bool fork_tests = skip == nullptr || std::string(skip) != "1";

  if (fork_tests) test_size_follows_affinity();
  set_pool_threads(kThreads);
  CHECK_EQ(worker_count(), kThreads);
  test_coverage();
  test_stealing();
  test_exceptions();
  test_nested_calls_run();
  test_stream();
  test_concurrent_callers();
  test_if_idle();
  if (fork_tests) test_fork();
  return check::summary();
}
