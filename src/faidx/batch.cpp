// The parallel path of the batch fetches.
#include "faidx/batch.hpp"

#include "faidx/pool.hpp"
#include "sequence/text.hpp"

namespace tavlo {

std::vector<BatchSlot> fetch_parallel(const Faidx& fx, std::span<const BatchRegion> regions,
                                      const EntryNumbers* same_entry) {
  std::vector<BatchSlot> slots(regions.size());
  const bool use_map = fx.has_map();
  // Each worker writes only the slots of its own ranges; the Faidx is only read.
  // Regions this far ahead are prefetched while the current one is copied, so that the cache
  // misses of several regions overlap instead of following each other.
  constexpr std::size_t kAhead = 4;
  auto prefetch = [&](const BatchRegion& r) {
    if (same_entry != nullptr) {
      fx.prefetch_region(*same_entry, r.start, r.end);
    } else if (const std::optional<EntryNumbers> e = fx.names().lookup(r.name)) {
      fx.prefetch_region(*e, r.start, r.end);
    }
  };
  parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    if (use_map) {
      for (std::size_t i = begin; i < std::min(end, begin + kAhead); ++i) prefetch(regions[i]);
    }
    for (std::size_t i = begin; i < end; ++i) {
      if (use_map && i + kAhead < end) prefetch(regions[i + kAhead]);
      const BatchRegion& r = regions[i];
      auto outcome =
          same_entry != nullptr
              ? fx.fetch_single_optimized(r.name, *same_entry, r.start, r.end, use_map)
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
