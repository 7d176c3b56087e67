// The parallel path of the batch fetches.
#include "faidx/batch.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "faidx/extract.hpp"
#include "faidx/pool.hpp"
#include "sequence/text.hpp"

namespace tavlo {

namespace {

// Indexes of `regions` sorted by the text offset of their first residue.
std::vector<std::size_t> file_order(const Faidx& fx, std::span<const BatchRegion> regions,
                                    const EntryNumbers* same_entry) {
  std::vector<std::pair<std::uint64_t, std::size_t>> keys(regions.size());
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const BatchRegion& r = regions[i];
    const std::optional<EntryNumbers> e =
        same_entry != nullptr ? std::optional<EntryNumbers>(*same_entry) : fx.names().lookup(r.name);
    std::uint64_t key = UINT64_MAX;
    if (e) {
      const std::uint64_t s = std::min(e->rlen, std::max<std::uint64_t>(r.start, 1));
      key = s == 0 || e->lenc == 0 ? e->offset : residue_offset(*e, s);
    }
    keys[i] = {key, i};
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::size_t> order(regions.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].second;
  return order;
}

}  // namespace

std::vector<BatchSlot> fetch_parallel(const Faidx& fx, std::span<const BatchRegion> regions,
                                      const EntryNumbers* same_entry) {
  std::vector<BatchSlot> slots(regions.size());
  const bool use_map = fx.has_map() && !fx.is_bgzf() && !fx.is_gzip();
  // The regions of a compressed file are taken in file order, so that each block inflates once
  // and then serves every region in it from the cache; the slots stay in input order.
  std::vector<std::size_t> order;
  if (fx.is_bgzf() || fx.is_gzip()) order = file_order(fx, regions, same_entry);
  const auto at = [&](std::size_t k) { return order.empty() ? k : order[k]; };
  // Each worker writes only the slots of its own ranges; the Faidx is only read.
  // Regions this far ahead are prefetched while the current one is copied, so that the cache
  // misses of several regions overlap instead of following each other. The entry a prefetch
  // looks up waits in a ring for the fetch of its region, so each name is looked up once.
  constexpr std::size_t kAhead = 4;
  constexpr std::size_t kRing = 8;
  static_assert(kRing > kAhead && (kRing & (kRing - 1)) == 0);
  parallel_for(regions.size(), [&](std::size_t begin, std::size_t end) {
    std::optional<EntryNumbers> ring[kRing];
    auto look_up = [&](std::size_t k) {
      const BatchRegion& r = regions[at(k)];
      if (same_entry != nullptr) {
        if (use_map) fx.prefetch_region(*same_entry, r.start, r.end);
        return;
      }
      std::optional<EntryNumbers>& e = ring[k & (kRing - 1)];
      e = fx.names().lookup(r.name);
      if (use_map && e) fx.prefetch_region(*e, r.start, r.end);
    };
    for (std::size_t k = begin; k < std::min(end, begin + kAhead); ++k) look_up(k);
    for (std::size_t k = begin; k < end; ++k) {
      if (k + kAhead < end) look_up(k + kAhead);
      const std::size_t i = at(k);
      const BatchRegion& r = regions[i];
      const std::optional<EntryNumbers>& found = ring[k & (kRing - 1)];
      const EntryNumbers* entry = same_entry != nullptr ? same_entry : found ? &*found : nullptr;
      auto outcome = entry != nullptr
                         ? fx.fetch_single_optimized(r.name, *entry, r.start, r.end, use_map)
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

void fetch_items(const Faidx& fx, std::span<BatchItem> items, const EntryNumbers* same_entry,
                 bool use_map, BatchFailure& failure) {
  const NameTable& names = fx.names();
  const bool hint = use_map && fx.has_map() && !fx.is_bgzf() && !fx.is_gzip();
  // As in fetch_parallel: regions this far ahead are prefetched while the current one is copied.
  constexpr std::size_t kAhead = 4;
  const auto prefetch = [&](const BatchItem& it) {
    if (same_entry != nullptr) {
      fx.prefetch_region(*same_entry, it.start, it.end);
    } else if (it.index != NameTable::npos) {
      fx.prefetch_region(names.numbers_at(it.index), it.start, it.end);
    }
  };
  const std::size_t n = items.size();
  if (hint) {
    for (std::size_t k = 0; k < std::min(n, kAhead); ++k) prefetch(items[k]);
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (hint && k + kAhead < n) prefetch(items[k + kAhead]);
    BatchItem& it = items[k];
    SequenceRecord& out = *it.record;
    Status s = [&]() -> Status {
      if (same_entry != nullptr) {
        return fx.fetch_quiet_into(out, it.name, *same_entry, it.start, it.end, use_map);
      }
      if (it.index != NameTable::npos) {
        return fx.fetch_quiet_into(out, it.name, names.numbers_at(it.index), it.start, it.end,
                                   use_map);
      }
      // No such name: the error of the fetch that looks it up.
      auto missing = fx.fetch_single_optimized(it.name, it.start, it.end, use_map);
      if (!missing) return std::move(missing).error();
      out = std::move(*missing);
      return Ok{};
    }();
    if (!s) {
      failure.position = k;
      failure.error = std::make_unique<FaidxError>(std::move(s).error());
      return;
    }
    if (!text::is_valid_utf8(out.seq.data(), out.seq.size())) {
      failure.position = k;
      return;
    }
  }
}

}  // namespace tavlo
