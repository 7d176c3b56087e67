// The parallel path of the batch fetches.
#include "faidx/batch.hpp"

#include <optional>

#include "faidx/pool.hpp"
#include "sequence/text.hpp"

namespace tavlo {

std::vector<BatchSlot> fetch_parallel(const Faidx& fx, std::span<const BatchRegion> regions,
                                      const EntryNumbers* same_entry) {
  std::vector<BatchSlot> slots(regions.size());
  const bool use_map = fx.has_map();
  // Each worker writes only the slots of its own ranges; the Faidx is only read.
  // Regions this far ahead are prefetched while the current one is copied, so that the cache
  // misses of several regions overlap instead of following each other. The entry a prefetch
  // looks up waits in a ring for the fetch of its region, so each name is looked up once.
  constexpr std::size_t kAhead = 4;
  constexpr std::size_t kRing = 8;
  static_assert(kRing > kAhead && (kRing & (kRing - 1)) == 0);
  parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    std::optional<EntryNumbers> ring[kRing];
    auto look_up = [&](std::size_t i) {
      std::optional<EntryNumbers>& e = ring[i & (kRing - 1)];
      e = same_entry != nullptr ? std::optional<EntryNumbers>(*same_entry)
                                : fx.names().lookup(regions[i].name);
      if (use_map && e) fx.prefetch_region(*e, regions[i].start, regions[i].end);
    };
    for (std::size_t i = begin; i < std::min(end, begin + kAhead); ++i) look_up(i);
    for (std::size_t i = begin; i < end; ++i) {
      if (i + kAhead < end) look_up(i + kAhead);
      const BatchRegion& r = regions[i];
      const std::optional<EntryNumbers>& entry = ring[i & (kRing - 1)];
      auto outcome = entry ? fx.fetch_single_optimized(r.name, *entry, r.start, r.end, use_map)
                           : fx.fetch_single_optimized(r.name, r.start, r.end, use_map);
      BatchSlot& slot = slots[i];
      if (!outcome) {
        slot.error = std::make_unique<FaidxError>(std::move(outcome).error());
        continue;
      }
      slot.seq = std::move(outcome->seq);
      slot.valid_utf8 = text::is_valid_utf8(slot.seq.data(), slot.seq.size());
      if (outcome->start && outcome->end) {
        slot.has_coordinates = true;
        slot.start = *outcome->start;
        slot.end = *outcome->end;
      }
    }
  });
  return slots;
}

}  // namespace tavlo
