// Survives a file that shrinks under its map: the bus error becomes a flag that readers check.
//
// Reading a page of a shared file map past the file's current end raises SIGBUS, which would kill
// the process. A process-wide handler, installed with the first guard, looks the faulting address
// up among the live guards; for a fault inside one it maps anonymous zero pages over the rest of
// that map (so the faulting copy resumes and finishes) and marks the guard changed. Readers load
// the mark after copying, an acquire load that costs what a plain load does, and report the
// change instead of the bytes. Faults outside every guard go on to the handler that was there
// before. Everything the handler reads is lock-free and never freed, so it is safe at any moment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tavlo {

// One watched map. Slots live in chunks that are never freed, so the handler may read any slot
// at any time; `base` 0 means the slot watches nothing.
struct MapGuardSlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> changed{false};
  std::atomic<std::uintptr_t> base{0};
  std::atomic<std::size_t> length{0};
};

// Stands in for a slot while a guard watches nothing, so that changed() needs no null test.
inline MapGuardSlot unwatched_slot;

class MapGuard {
 public:
  MapGuard() noexcept = default;
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  ~MapGuard() { release(); }

  // Watches [base, base + length) and makes sure the handler is in place (it is put back when
  // something else replaced it since). Never fails: without a slot, faults stay fatal.
  void watch(const char* base, std::size_t length) noexcept;
  // Stops watching; call before the map is removed.
  void release() noexcept;

  // True once a read of the map touched a page the file no longer has. It stays true: any later
  // read may be served by the zero pages.
  bool changed() const noexcept { return slot_->changed.load(std::memory_order_acquire); }

 private:
  MapGuardSlot* slot_ = &unwatched_slot;
};

}  // namespace tavlo
