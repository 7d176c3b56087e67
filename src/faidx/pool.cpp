// The process-wide worker pool: lazy start, range halving with stealing, restart after fork.
//
// The calling thread takes part in every call, so a pool of T threads starts T - 1 workers.
// A call puts all of [0, n) into the caller's slot; every participant takes small pieces off
// the front of its own range, and a participant whose range is empty takes the back half of
// the largest range left (halving it again and again as the work runs out). The pool object is
// leaked on purpose and its workers are detached: nothing joins or destroys them at exit, when
// they may be parked on the pool's condition variable while the runtime tears down. Calls from
// several threads take turns; a child process after fork() leaves the parent's pool behind and
// starts its own on its first call. A stream call instead hands out whole chunks in order from
// one counter, as fast as its caller produces them: no chunk waits in anyone's range while
// another participant idles, and the caller joins in once it has produced the last one.
#include "faidx/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "faidx/cpu_quota.hpp"

namespace tavlo {
namespace {

using Body = std::function<void(std::size_t, std::size_t)>;
using Producer = std::function<bool(std::size_t, std::size_t)>;

// The value of a stream's ready count once its caller stopped producing.
constexpr std::size_t kStopped = SIZE_MAX;

// A participant's own pieces are about 1/kPiecesPerShare of an even share: small enough that a
// participant stalled inside one piece (descheduled, or on a slow item) holds back little
// work, large enough that the per-piece lock stays far below the cost of the items.
constexpr std::size_t kPiecesPerShare = 32;

// True on the pool's workers, and on a caller while its call runs: a parallel_for issued from
// inside a body then runs inline instead of waiting for a pool that is busy with its parent.
thread_local bool t_inside_call = false;

std::size_t affinity_processors() {
  // The affinity mask, not the machine, says how many processors this process may use (taskset,
  // cgroup cpusets). The mask must be at least as large as the kernel's, hence the growing size.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, size, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (count > 0) return static_cast<std::size_t>(count);
    if (rc == 0 || err != EINVAL) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// A CPU quota (a container's --cpus) caps the processors further: more workers than the quota
// grants only queue for it.
std::size_t processors_available() {
  const std::size_t mask = affinity_processors();
  const std::size_t quota = cgroup_cpu_limit();
  return quota != 0 && quota < mask ? quota : mask;
}

// One participant's remaining range. The bounds change only under the mutex; they are atomic so
// that a thief may read them without it to choose its victim.
struct alignas(64) Slot {
  std::mutex mutex;
  std::atomic<std::size_t> begin{0};
  std::atomic<std::size_t> end{0};
};

class Pool {
 public:
  explicit Pool(std::size_t threads);

  std::size_t threads() const { return threads_; }

  // Runs one call with the calling thread as participant 0. Calls from different threads take
  // turns: each call owns all the slots until its last participant has left.
  // With `if_idle`, returns false at once, running nothing, when another call holds the pool.
  bool run(std::size_t n, const Body& body, bool if_idle = false);
  // Runs one stream call (see parallel_stream) with the calling thread as participant 0.
  bool run_stream(std::size_t n, std::size_t chunk, const Producer& produce, const Body& consume);

  Pool* abandoned_next = nullptr;  // chain of pools left behind by fork(), see after_fork_child

 private:
  [[noreturn]] void worker_main(std::size_t id);
  void work(std::size_t id);
  void stream_work();
  // Opens a call to the workers; the call's fields must be set. close() waits until all left.
  void open();
  void close();
  // Records the exception being handled, unless one was recorded first.
  void fail() noexcept;
  [[noreturn]] void rethrow();
  bool take_piece(std::size_t id, std::size_t& begin, std::size_t& end);
  bool steal(std::size_t id);

  std::unique_ptr<Slot[]> slots_;
  std::size_t threads_ = 1;  // the caller plus the workers that did start

  std::mutex submit_;  // held for a whole call

  std::mutex mutex_;
  std::condition_variable wake_;  // workers: a call is open
  std::condition_variable done_;  // caller: the last worker has left
  bool open_ = false;             // guarded by mutex_: workers may join the current call
  std::uint64_t generation_ = 0;  // guarded by mutex_: so that a worker joins each call once
  std::atomic<std::size_t> active_{0};  // workers inside the current call

  // The current call. Written by the caller while no worker is inside a call; workers read it
  // after joining under mutex_.
  const Body* body_ = nullptr;
  std::size_t grain_ = 1;
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;  // written once, by whoever set failed_

  // A stream call (body_ is then its consumer): chunks [0, ready_) are produced, next_ is the
  // first one that nobody has taken yet; ready_ is kStopped once the caller stops producing.
  bool streaming_ = false;
  std::size_t stream_n_ = 0;
  std::size_t chunk_ = 1;
  std::size_t chunks_ = 0;
  std::atomic<std::size_t> ready_{0};
  std::atomic<std::size_t> next_{0};
};

Pool::Pool(std::size_t threads) : slots_(new Slot[threads]) {
  // Workers inherit the creating thread's signal mask: block everything so that signals keep
  // going to the threads that expect them (the interpreter's main thread). All but SIGBUS: the
  // kernel delivers the bus error of a read from a file that shrank under its map to the thread
  // that read, and a blocked one kills the process instead of reaching the handler of MapGuard.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigdelset(&all, SIGBUS);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::size_t started = 0;
  try {
    for (std::size_t id = 1; id < threads; ++id) {
      std::thread([this, id] { worker_main(id); }).detach();
      ++started;
    }
  } catch (...) {
    // The system refused another thread: run with those that did start.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  threads_ = 1 + started;
}

bool Pool::run(std::size_t n, const Body& body, bool if_idle) {
  std::unique_lock<std::mutex> turn(submit_, std::defer_lock);
  if (!if_idle) {
    turn.lock();
  } else if (!turn.try_lock()) {
    return false;
  }
  // No worker is inside a call here (the previous caller waited for all of them), so the call's
  // fields and every slot can be set without locks; joining under mutex_ publishes them.
  body_ = &body;
  grain_ = std::max<std::size_t>(1, n / (threads_ * kPiecesPerShare));
  failed_.store(false, std::memory_order_relaxed);
  error_ = nullptr;
  for (std::size_t i = 0; i < threads_; ++i) {
    slots_[i].begin.store(0, std::memory_order_relaxed);
    slots_[i].end.store(i == 0 ? n : 0, std::memory_order_relaxed);
  }
  open();
  work(0);
  close();
  body_ = nullptr;
  if (failed_.load(std::memory_order_relaxed)) rethrow();
  return true;
}

bool Pool::run_stream(std::size_t n, std::size_t chunk, const Producer& produce,
                      const Body& consume) {
  std::lock_guard<std::mutex> turn(submit_);
  body_ = &consume;
  streaming_ = true;
  stream_n_ = n;
  chunk_ = chunk;
  chunks_ = n / chunk + (n % chunk != 0);
  ready_.store(0, std::memory_order_relaxed);
  next_.store(0, std::memory_order_relaxed);
  failed_.store(false, std::memory_order_relaxed);
  error_ = nullptr;
  open();

  bool stopped = false;
  std::size_t k = 0;
  for (; k < chunks_ && !failed_.load(std::memory_order_relaxed); ++k) {
    const std::size_t begin = k * chunk;
    bool more = false;
    try {
      more = produce(begin, std::min(n, begin + chunk));
    } catch (...) {
      fail();
    }
    if (!more) {
      stopped = true;
      break;
    }
    // Publishes what produce wrote for the chunk to whoever takes it.
    ready_.store(k + 1, std::memory_order_release);
    ready_.notify_all();
  }
  if (k == chunks_) {
    stream_work();
  } else {
    ready_.store(kStopped, std::memory_order_release);
    ready_.notify_all();
  }
  close();
  streaming_ = false;
  body_ = nullptr;
  if (failed_.load(std::memory_order_relaxed)) rethrow();
  return !stopped;
}

void Pool::open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    ++generation_;
  }
  wake_.notify_all();
}

void Pool::close() {
  // Close the call before waiting: a worker that wakes up only now must not join it, since
  // the caller is about to return and body dies with its frame.
  std::unique_lock<std::mutex> lock(mutex_);
  open_ = false;
  done_.wait(lock, [this] { return active_.load(std::memory_order_acquire) == 0; });
}

void Pool::fail() noexcept {
  // Keep the first exception only; the others stop at their next piece.
  if (!failed_.exchange(true, std::memory_order_acq_rel)) error_ = std::current_exception();
}

void Pool::rethrow() {
  std::exception_ptr error = std::move(error_);
  error_ = nullptr;
  std::rethrow_exception(error);
}

void Pool::worker_main(std::size_t id) {
  t_inside_call = true;
  pthread_setname_np(pthread_self(), "tavlo-pool");
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return open_ && generation_ != seen; });
    seen = generation_;
    active_.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    if (streaming_) {
      stream_work();
    } else {
      work(id);
    }
    const bool last = active_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    // Notify under the mutex: the caller tests active_ under it, so the wake-up cannot fall
    // between its test and its wait.
    lock.lock();
    if (last) done_.notify_one();
  }
}

void Pool::work(std::size_t id) {
  std::size_t begin = 0;
  std::size_t end = 0;
  while (!failed_.load(std::memory_order_relaxed) && take_piece(id, begin, end)) {
    try {
      (*body_)(begin, end);
    } catch (...) {
      // Nothing may leave a worker thread: an escaping exception would terminate the process.
      fail();
      return;
    }
  }
}

void Pool::stream_work() {
  while (!failed_.load(std::memory_order_relaxed)) {
    const std::size_t ready = ready_.load(std::memory_order_acquire);
    if (ready == kStopped) return;
    std::size_t k = next_.load(std::memory_order_relaxed);
    if (k >= chunks_) return;
    if (k >= ready) {
      // Until the caller publishes another chunk, or stops.
      ready_.wait(ready, std::memory_order_acquire);
      continue;
    }
    if (!next_.compare_exchange_weak(k, k + 1, std::memory_order_relaxed)) continue;
    const std::size_t begin = k * chunk_;
    try {
      (*body_)(begin, std::min(stream_n_, begin + chunk_));
    } catch (...) {
      fail();
      return;
    }
  }
}

bool Pool::take_piece(std::size_t id, std::size_t& begin, std::size_t& end) {
  Slot& own = slots_[id];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(own.mutex);
      const std::size_t b = own.begin.load(std::memory_order_relaxed);
      const std::size_t e = own.end.load(std::memory_order_relaxed);
      if (b < e) {
        begin = b;
        end = e - b > grain_ ? b + grain_ : e;
        own.begin.store(end, std::memory_order_relaxed);
        return true;
      }
    }
    if (!steal(id)) return false;
  }
}

bool Pool::steal(std::size_t id) {
  while (!failed_.load(std::memory_order_relaxed)) {
    // The largest range left is the one most worth halving. These unlocked reads may be stale;
    // that costs a retry, never work: a range is only ever emptied by whoever holds it.
    std::size_t victim = id;
    std::size_t most = 0;
    for (std::size_t i = 0; i < threads_; ++i) {
      if (i == id) continue;
      const std::size_t b = slots_[i].begin.load(std::memory_order_relaxed);
      const std::size_t e = slots_[i].end.load(std::memory_order_relaxed);
      if (e > b && e - b > most) {
        most = e - b;
        victim = i;
      }
    }
    if (most == 0) return false;

    std::size_t taken_begin = 0;
    std::size_t taken_end = 0;
    {
      Slot& from = slots_[victim];
      std::lock_guard<std::mutex> lock(from.mutex);
      const std::size_t b = from.begin.load(std::memory_order_relaxed);
      const std::size_t e = from.end.load(std::memory_order_relaxed);
      if (b >= e) continue;
      taken_begin = b + (e - b) / 2;  // the owner keeps the front half, a lone item goes over
      taken_end = e;
      from.end.store(taken_begin, std::memory_order_relaxed);
    }
    Slot& own = slots_[id];
    std::lock_guard<std::mutex> lock(own.mutex);
    own.begin.store(taken_begin, std::memory_order_relaxed);
    own.end.store(taken_end, std::memory_order_relaxed);
    return true;
  }
  return false;
}

// The pool and what creates it. start_mutex is held across fork() (see the handlers below) and
// is the only lock the child ever touches; the pool's own locks are left behind with the pool.
std::mutex g_start_mutex;
std::atomic<Pool*> g_pool{nullptr};
Pool* g_abandoned = nullptr;          // guarded by g_start_mutex
std::size_t g_requested_threads = 0;  // guarded by g_start_mutex; 0: one per processor
bool g_fork_handlers_installed = false;  // guarded by g_start_mutex

void before_fork() { g_start_mutex.lock(); }

void after_fork_in_parent() { g_start_mutex.unlock(); }

void after_fork_in_child() {
  // Only the forking thread exists in the child. The workers are gone and any of the pool's
  // mutexes may have been held by one of them at the fork, so the old pool is never touched
  // again: the next call starts a fresh one. It stays linked from a global so that leak checkers
  // do not report it; it cannot be destroyed, since its mutexes may be locked.
  if (Pool* old = g_pool.exchange(nullptr, std::memory_order_relaxed)) {
    old->abandoned_next = g_abandoned;
    g_abandoned = old;
  }
  g_start_mutex.unlock();  // locked by this same thread in before_fork
}

// The pool, started on first use; null when it cannot start (the caller then runs inline).
Pool* get_pool() noexcept {
  Pool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
  std::lock_guard<std::mutex> lock(g_start_mutex);
  pool = g_pool.load(std::memory_order_relaxed);
  if (pool != nullptr) return pool;
  if (!g_fork_handlers_installed) {
    // Without the handlers a forked child would wait for workers that it does not have.
    if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
      return nullptr;
    }
    g_fork_handlers_installed = true;
  }
  const std::size_t threads =
      g_requested_threads != 0 ? g_requested_threads : processors_available();
  try {
    pool = new Pool(threads);  // never deleted: see the top of this file
  } catch (...) {
    return nullptr;
  }
  g_pool.store(pool, std::memory_order_release);
  return pool;
}

}  // namespace

namespace {

// Runs body over [0, n) on the pool or inline; with `if_idle`, false when the pool is busy.
bool run_for(std::size_t n, const Body& body, bool if_idle) {
  if (n == 0) return true;
  Pool* pool = n > 1 && !t_inside_call ? get_pool() : nullptr;
  if (pool == nullptr || pool->threads() == 1) {
    body(0, n);
    return true;
  }
  struct InsideCall {
    InsideCall() { t_inside_call = true; }
    ~InsideCall() { t_inside_call = false; }
  } inside;
  return pool->run(n, body, if_idle);
}

}  // namespace

void parallel_for(std::size_t n, const Body& body) { run_for(n, body, false); }

bool parallel_for_if_idle(std::size_t n, const Body& body) { return run_for(n, body, true); }

bool parallel_stream(std::size_t n, std::size_t chunk, const Producer& produce,
                     const Body& consume) {
  chunk = std::max<std::size_t>(chunk, 1);
  Pool* pool = n > chunk && !t_inside_call ? get_pool() : nullptr;
  if (pool == nullptr || pool->threads() == 1) {
    for (std::size_t begin = 0; begin < n; begin += std::min(chunk, n - begin)) {
      const std::size_t end = begin + std::min(chunk, n - begin);
      if (!produce(begin, end)) return false;
      consume(begin, end);
    }
    return true;
  }
  struct InsideCall {
    InsideCall() { t_inside_call = true; }
    ~InsideCall() { t_inside_call = false; }
  } inside;
  return pool->run_stream(n, chunk, produce, consume);
}

std::size_t worker_count() {
  const Pool* pool = get_pool();
  return pool != nullptr ? pool->threads() : 1;
}

bool inside_parallel_for() { return t_inside_call; }

void set_pool_threads(std::size_t threads) {
  std::lock_guard<std::mutex> lock(g_start_mutex);
  g_requested_threads = threads;
}

}  // namespace tavlo
