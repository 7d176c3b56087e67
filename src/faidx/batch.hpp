// Batch fetch on the worker pool: the quiet fetch of many regions, outcomes in input order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/faidx.hpp"

namespace tavlo {

// Batches of this many regions or more go to the worker pool; smaller ones are fetched one by one
// with the checked fetch.
inline constexpr std::size_t kParallelThreshold = 1000;

struct BatchRegion {
  std::string_view name;  // borrowed: must outlive the batch
  std::uint64_t start;
  std::uint64_t end;
};

// The outcome of one region, kept compact (the name is the region's): a batch holds every outcome
// until the last region is done.
struct BatchSlot {
  std::string seq;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool has_coordinates = false;
  bool valid_utf8 = true;
  std::unique_ptr<FaidxError> error;  // set when the region failed
};

// A region whose outcome is written straight into the record that will hold it.
struct BatchItem {
  SequenceRecord* record;  // a fresh record, written only by the fetch of this item
  std::string_view name;   // borrowed: must outlive the batch
  std::uint64_t start;
  std::uint64_t end;
  std::size_t index;  // the name's record in the table, or NameTable::npos when it has none
};

// The first item of a run of items that failed.
struct BatchFailure {
  std::size_t position = SIZE_MAX;  // in the run; SIZE_MAX when every item succeeded
  std::unique_ptr<FaidxError> error;  // nullptr: the residues are not UTF-8
};

// Fills the record of every item as fetch_single_optimized fills its result, reading from the
// memory map when the Faidx has one and `use_map`, through its descriptor otherwise. Stops at
// the first item that fails, recorded in `failure` (the records from there on are left as they
// are). `same_entry`, when given, is the entry of the name every item shares (their index is
// then not read). Throws only what allocation throws.
void fetch_items(const Faidx& fx, std::span<BatchItem> items, const EntryNumbers* same_entry,
                 bool use_map, BatchFailure& failure);

// Runs fetch_single_optimized for every region on the worker pool, reading from the memory map
// when the Faidx has one and through its descriptor otherwise. Slot i holds region i's outcome.
// `same_entry`, when given, is the entry of the one name all regions share (looked up once).
// Throws only what allocation throws.
std::vector<BatchSlot> fetch_parallel(const Faidx& fx, std::span<const BatchRegion> regions,
                                      const EntryNumbers* same_entry = nullptr);

}  // namespace tavlo
