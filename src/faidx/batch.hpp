// The batch engine: the quiet fetch of many regions on the worker pool, outcomes in input order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "errors/errors.hpp"
#include "faidx/faidx.hpp"

namespace tavlo {

// Batches of this many regions or more go to the worker pool; smaller ones are fetched one by one
// with the checked fetch.
inline constexpr std::size_t kParallelThreshold = 1000;
// Regions a chunk holds: enough that handing one over costs little against its fetches, few
// enough that the workers start soon and finish together.
inline constexpr std::size_t kBatchChunk = 512;

// A region whose outcome is written straight into the record that will hold it.
struct BatchItem {
  SequenceRecord* record;  // a fresh record, written only by the fetch of this item
  std::string_view name;   // borrowed: must outlive the batch
  std::uint64_t start;
  std::uint64_t end;
  std::size_t index;  // the name's record in the table, or NameTable::npos when it has none
};

// The first failure of a batch in input order. Thread-safe.
class BatchFailure {
 public:
  bool failed() const { return position_ != SIZE_MAX; }
  std::size_t position() const { return position_; }
  // The error, or nullptr when the batch's check refused the record.
  const FaidxError* error() const { return error_.get(); }
  // Keeps the failure of item `position` when it comes before the one kept.
  void offer(std::size_t position, std::unique_ptr<FaidxError> error);

 private:
  std::mutex mutex_;
  std::size_t position_ = SIZE_MAX;
  std::unique_ptr<FaidxError> error_;
};

struct BatchOptions {
  // The entry of the one name every item shares (their index is then not read), or nullptr.
  const EntryNumbers* same_entry = nullptr;
  // Replaces each fetched record by its reverse complement (on the workers).
  bool reverse_complement = false;
  // Run on each fetched record, on the worker: false fails the item with no error.
  bool (*check)(const SequenceRecord&) = nullptr;
};

struct BatchHooks {
  // Runs on the calling thread for each chunk [begin, end) in order, before any of its items is
  // fetched: prepares them. False stops the batch. Not set: the items are ready.
  std::function<bool(std::size_t, std::size_t)> produce;
  // Asked on the calling thread between the chunks it takes part in: true stops the batch.
  std::function<bool()> interrupted;
};

// The engine's driver: work(begin, end) over [0, n) in chunks of `chunk` items, spread over the
// worker pool, each chunk produced first on the calling thread (hooks.produce, in order) and the
// calling thread asking hooks.interrupted between the chunks it takes itself. Returns false when
// a hook stopped it; then no worker is still in it and no further chunk starts.
bool run_chunks(std::size_t n, std::size_t chunk, const BatchHooks& hooks,
                const std::function<void(std::size_t, std::size_t)>& work);

// Fills the record of every item as fetch_single_optimized fills it, spread over the worker pool
// in chunks; sources that gain by it (compressed ones) take the items in file order once all are
// produced. Returns false when a hook stopped the batch (then no worker is still in it);
// otherwise `failure` tells the first item that failed. Throws only what allocation throws.
bool run_batch(const Faidx& fx, std::span<BatchItem> items, const BatchOptions& options,
               const BatchHooks& hooks, BatchFailure& failure);

}  // namespace tavlo
