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

// Runs fetch_single_optimized for every region on the worker pool, reading from the memory map
// when the Faidx has one and through its descriptor otherwise. Slot i holds region i's outcome.
// `same_entry`, when given, is the entry of the one name all regions share (looked up once).
// Throws only what allocation throws.
std::vector<BatchSlot> fetch_parallel(const Faidx& fx, std::span<const BatchRegion> regions,
                                      const EntryNumbers* same_entry = nullptr);

}  // namespace tavlo
