// The batch engine.
#include "faidx/batch.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "faidx/extract.hpp"
#include "faidx/pool.hpp"
#include "sequence/ops.hpp"

namespace tavlo {

namespace {

// Positions of `items` sorted by the text offset of their first residue.
std::vector<std::size_t> file_order(const Faidx& fx, std::span<const BatchItem> items,
                                    const EntryNumbers* same_entry) {
  std::vector<std::pair<std::uint64_t, std::size_t>> keys(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const BatchItem& it = items[i];
    std::uint64_t key = UINT64_MAX;
    if (same_entry != nullptr || it.index != NameTable::npos) {
      const EntryNumbers e = same_entry != nullptr ? *same_entry : fx.names().numbers_at(it.index);
      const std::uint64_t s = std::min(e.rlen, std::max<std::uint64_t>(it.start, 1));
      key = s == 0 || e.lenc == 0 ? e.offset : residue_offset(e, s);
    }
    keys[i] = {key, i};
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::size_t> order(items.size());
  for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].second;
  return order;
}

class Runner {
 public:
  Runner(const Faidx& fx, std::span<BatchItem> items, const BatchOptions& options,
         BatchFailure& failure)
      : fx_(fx), items_(items), options_(options), failure_(failure) {}

  void use_file_order() { order_ = file_order(fx_, items_, options_.same_entry); }

  // The bytes each item reads, in the batch's order (empty for an item without a record).
  std::vector<ByteRange> byte_ranges() const {
    std::vector<ByteRange> ranges(items_.size(), ByteRange{0, 0});
    for (std::size_t k = 0; k < items_.size(); ++k) {
      const BatchItem& it = items_[position(k)];
      if (options_.same_entry == nullptr && it.index == NameTable::npos) continue;
      const EntryNumbers e =
          options_.same_entry != nullptr ? *options_.same_entry : fx_.names().numbers_at(it.index);
      const std::uint64_t s = std::max<std::uint64_t>(it.start, 1);
      const std::uint64_t last = std::min(it.end, e.rlen);
      if (e.lenc == 0 || s > last) continue;
      ranges[k] = {residue_offset(e, s), region_span_bytes(e, last - s + 1)};
    }
    return ranges;
  }

  // Fetches the items at [begin, end) of the batch's order. In input order a chunk stops at its
  // first failure; in file order every item is fetched, so that the first failure in input
  // order is the one found.
  void run(std::size_t begin, std::size_t end) {
    // Regions this far ahead are prefetched while the current one is copied, so that the cache
    // misses of several regions overlap instead of following each other.
    constexpr std::size_t kAhead = 4;
    const bool hint = order_.empty();
    if (hint) {
      for (std::size_t k = begin; k < std::min(end, begin + kAhead); ++k) prefetch(k);
    }
    for (std::size_t k = begin; k < end; ++k) {
      if (hint && k + kAhead < end) prefetch(k + kAhead);
      if (!fetch(position(k)) && hint) return;
    }
  }

 private:
  std::size_t position(std::size_t k) const { return order_.empty() ? k : order_[k]; }

  // Hints the first lines of item k's region only: the copy itself streams the rest.
  void prefetch(std::size_t k) const {
    const BatchItem& it = items_[k];
    if (options_.same_entry != nullptr) {
      fx_.source().prefetch(*options_.same_entry, it.start, it.end, 192);
    } else if (it.index != NameTable::npos) {
      fx_.source().prefetch(fx_.names().numbers_at(it.index), it.start, it.end, 192);
    }
  }

  bool fetch(std::size_t i) {
    BatchItem& it = items_[i];
    SequenceRecord& out = *it.record;
    if (options_.same_entry == nullptr && it.index == NameTable::npos) {
      return fail(i, Faidx::not_found(it.name));
    }
    const EntryNumbers entry =
        options_.same_entry != nullptr ? *options_.same_entry : fx_.names().numbers_at(it.index);
    if (Status s = fx_.fetch_single_optimized(out, it.name, entry, it.start, it.end); !s) {
      return fail(i, std::move(s).error());
    }
    if (options_.check != nullptr && !options_.check(out)) {
      failure_.offer(i, nullptr);
      return false;
    }
    if (options_.reverse_complement) out = reverse_complement(out);
    return true;
  }

  bool fail(std::size_t i, FaidxError error) {
    failure_.offer(i, std::make_unique<FaidxError>(std::move(error)));
    return false;
  }

  const Faidx& fx_;
  std::span<BatchItem> items_;
  const BatchOptions& options_;
  BatchFailure& failure_;
  std::vector<std::size_t> order_;
};

}  // namespace

void BatchFailure::offer(std::size_t position, std::unique_ptr<FaidxError> error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (position >= position_) return;
  position_ = position;
  error_ = std::move(error);
}

bool run_chunks(std::size_t n, std::size_t chunk, const BatchHooks& hooks,
                const std::function<void(std::size_t, std::size_t)>& work) {
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> stopped{false};
  const auto interrupted = [&] {
    if (hooks.interrupted && hooks.interrupted()) stopped.store(true, std::memory_order_relaxed);
    return stopped.load(std::memory_order_relaxed);
  };
  const auto produce = [&](std::size_t begin, std::size_t end) {
    return !interrupted() && (!hooks.produce || hooks.produce(begin, end));
  };
  const auto consume = [&](std::size_t begin, std::size_t end) {
    if (stopped.load(std::memory_order_relaxed)) return;
    if (std::this_thread::get_id() == caller && interrupted()) return;
    work(begin, end);
  };
  return parallel_stream(n, chunk, produce, consume) && !stopped.load(std::memory_order_relaxed);
}

bool run_batch(const Faidx& fx, std::span<BatchItem> items, const BatchOptions& options,
               const BatchHooks& hooks, BatchFailure& failure) {
  Runner runner(fx, items, options, failure);
  if (!fx.source().wants_file_order()) {
    return run_chunks(items.size(), kBatchChunk, hooks,
                      [&](std::size_t begin, std::size_t end) { runner.run(begin, end); });
  }
  // Every item is known before the first is fetched: the order depends on all of them.
  const std::size_t n = items.size();
  for (std::size_t b = 0; b < n; b += kBatchChunk) {
    if ((hooks.interrupted && hooks.interrupted()) ||
        (hooks.produce && !hooks.produce(b, std::min(n, b + kBatchChunk)))) {
      return false;
    }
  }
  runner.use_file_order();
  const BatchHooks later{nullptr, hooks.interrupted};
  if (!fx.source().fetches_ahead()) {
    return run_chunks(n, kBatchChunk, later,
                      [&](std::size_t begin, std::size_t end) { runner.run(begin, end); });
  }
  // A source that fetches over a network is offered the bytes of the regions in file order, and
  // the regions whose bytes it made ready are read before it is offered the next ones.
  const std::vector<ByteRange> ranges = runner.byte_ranges();
  for (std::size_t done = 0; done < n;) {
    if (hooks.interrupted && hooks.interrupted()) return false;
    const std::size_t ready = fx.source().prepare(std::span(ranges).subspan(done));
    const std::size_t wave = std::min(n - done, std::max<std::size_t>(ready, 1));
    if (!run_chunks(wave, kBatchChunk, later, [&](std::size_t begin, std::size_t end) {
          runner.run(done + begin, done + end);
        })) {
      return false;
    }
    done += wave;
  }
  return true;
}

}  // namespace tavlo
