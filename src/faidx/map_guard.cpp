// The SIGBUS handler behind MapGuard and its lock-free registry of watched maps.
#include "faidx/map_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>

namespace tavlo {
namespace {

constexpr std::size_t kSlotsPerChunk = 64;

struct Chunk {
  MapGuardSlot slots[kSlotsPerChunk];
  std::atomic<Chunk*> next{nullptr};
};

// The first chunk is static; more are appended when over 64 maps are open at once, and none is
// ever freed, so the handler can walk the list while other threads add to it.
Chunk g_first;
std::atomic<std::uintptr_t> g_page_mask{0};

// The disposition found when ours was installed, double-buffered so that a handler running on
// another thread during a re-installation still reads a whole one.
struct sigaction g_previous[2];
std::atomic<int> g_previous_index{0};
std::mutex g_install_mutex;
// Set while a previous handler runs on our behalf: if it raises the signal again (as Python's
// faulthandler does after printing its traceback), the nested call ends the process instead of
// passing the signal back to it for ever.
std::atomic<bool> g_chaining{false};

void die_of_default(const siginfo_t* info) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(SIGBUS, &dfl, nullptr);
  // A fault recurs by itself when the instruction is retried; a sent signal must be sent again.
  if (info == nullptr || info->si_code <= 0) ::raise(SIGBUS);
}

void pass_on(int sig, siginfo_t* info, void* context) {
  const struct sigaction& prev = g_previous[g_previous_index.load(std::memory_order_acquire)];
  const bool sent = info == nullptr || info->si_code <= 0;
  if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN && sent) return;
  const bool has_function = (prev.sa_flags & SA_SIGINFO)
                                ? prev.sa_sigaction != nullptr
                                : prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN;
  if (!has_function || g_chaining.exchange(true, std::memory_order_acq_rel)) {
    die_of_default(info);
    return;
  }
  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(sig, info, context);
  } else {
    prev.sa_handler(sig);
  }
  g_chaining.store(false, std::memory_order_release);
}

void on_bus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  if (info != nullptr && info->si_code > 0) {
    const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Chunk* c = &g_first; c != nullptr; c = c->next.load(std::memory_order_acquire)) {
      for (MapGuardSlot& s : c->slots) {
        const std::uintptr_t base = s.base.load(std::memory_order_acquire);
        if (base == 0 || addr < base) continue;
        const std::size_t length = s.length.load(std::memory_order_relaxed);
        if (addr - base >= length) continue;
        // Marked before the pages change, so a reader that sees a zero page sees the mark.
        s.changed.store(true, std::memory_order_release);
        const std::uintptr_t page = addr & g_page_mask.load(std::memory_order_relaxed);
        // The file shrank below this page, so every later page of the map is gone as well:
        // replace them all at once rather than take one fault per page.
        // The system call itself, not the library's wrapper: it is safe in a signal handler, and
        // sanitizers that intercept mmap() would count the new pages as a write that races with
        // the readers, whose results are thrown away in any case once the mark is set.
        const long r = ::syscall(SYS_mmap, page, base + length - page, PROT_READ,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        errno = saved_errno;
        if (r != -1) return;
        die_of_default(info);
        return;
      }
    }
  }
  pass_on(sig, info, context);
  errno = saved_errno;
}

// Puts on_bus in place unless it already is, keeping what it replaces for pass_on.
void ensure_handler() {
  std::lock_guard<std::mutex> lock(g_install_mutex);
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_bus) return;
  const int next = 1 - g_previous_index.load(std::memory_order_relaxed);
  g_previous[next] = current;
  g_previous_index.store(next, std::memory_order_release);
  struct sigaction ours {};
  ours.sa_sigaction = on_bus;
  // SA_NODEFER lets a previous handler that raises the signal again reach the nested check.
  ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK | SA_RESTART;
  sigemptyset(&ours.sa_mask);
  ::sigaction(SIGBUS, &ours, nullptr);
}

MapGuardSlot* claim_slot() {
  Chunk* c = &g_first;
  while (true) {
    for (MapGuardSlot& s : c->slots) {
      bool expected = false;
      if (!s.taken.load(std::memory_order_relaxed) &&
          s.taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return &s;
      }
    }
    Chunk* next = c->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      Chunk* fresh = new (std::nothrow) Chunk;
      if (fresh == nullptr) return nullptr;
      fresh->slots[0].taken.store(true, std::memory_order_relaxed);
      if (c->next.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
        return &fresh->slots[0];
      }
      delete fresh;  // another thread appended first; go on through its chunk
    }
    c = next;
  }
}

}  // namespace

void MapGuard::watch(const char* base, std::size_t length) noexcept {
  release();
  if (base == nullptr || length == 0) return;
  if (g_page_mask.load(std::memory_order_relaxed) == 0) {
    const long page = ::sysconf(_SC_PAGESIZE);
    g_page_mask.store(~static_cast<std::uintptr_t>(page > 0 ? page - 1 : 4095),
                      std::memory_order_relaxed);
  }
  MapGuardSlot* s = claim_slot();
  if (s == nullptr) return;  // unwatched: a fault stays fatal, as without the guard
  s->changed.store(false, std::memory_order_relaxed);
  s->length.store(length, std::memory_order_relaxed);
  s->base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_release);
  slot_ = s;
  try {
    ensure_handler();
  } catch (...) {
    // A mutex that cannot be locked leaves whatever handler is there.
  }
}

void MapGuard::release() noexcept {
  if (slot_ == &unwatched_slot) return;
  slot_->base.store(0, std::memory_order_release);
  slot_->length.store(0, std::memory_order_relaxed);
  slot_->taken.store(false, std::memory_order_release);
  slot_ = &unwatched_slot;
}

}  // namespace tavlo
