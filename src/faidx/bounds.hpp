// The bounds rule: what a region asks of its record, resolved into the residues to read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "errors/errors.hpp"

namespace tavlo {

enum class BoundsPolicy : std::uint8_t {
  // Single fetches: a region outside its record is refused or shortened with a warning, or with
  // a Bounds error (IndexError) under strict bounds.
  checked,
  // Batches of many regions: coordinates are clamped into the record silently; under strict
  // bounds a region outside it is a Region error naming it.
  quiet,
  // Arrays of fixed-width windows: positions outside the record are padding (resolve_window).
};

// The warnings of one checked region, as values: the caller writes them where it must.
struct Warnings {
  std::string text[2];
  int count = 0;

  void add(std::string line) { text[count++] = std::move(line); }
};

// A resolved region. With `count` 0 nothing is read and the result is empty, carrying `start` and
// `end` as given (refused regions keep them, under any option); otherwise `count` residues are
// read from `start` and the result spans [start, end].
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t count = 0;
};

// The regions that do not lie inside their record.
Result<Span> resolve_outside(std::string_view name, std::uint64_t rlen, std::uint64_t start,
                             std::uint64_t end, BoundsPolicy policy, bool strict,
                             Warnings& warnings);

// Resolves the 1-based inclusive region [start, end] of record `name` of `rlen` residues.
// Warnings of the checked policy go to `warnings`; the errors are the ones the policy names.
inline Result<Span> resolve(std::string_view name, std::uint64_t rlen, std::uint64_t start,
                            std::uint64_t end, BoundsPolicy policy, bool strict,
                            Warnings& warnings) {
  if (1 <= start && start <= end && end <= rlen) [[likely]] {
    return Span{start, end, end - start + 1};
  }
  return resolve_outside(name, rlen, start, end, policy, strict, warnings);
}

// The padding policy, for windows with signed coordinates: their positions split by where they
// fall, `left` before position 1, then `span` residues of the record from residue `first`, then
// the rest (past the record's end).
struct WindowSpan {
  std::uint64_t left = 0;
  std::uint64_t first = 0;
  std::uint64_t span = 0;
};

// The split of the window of `width` positions from `start` over a record of `rlen` residues.
// start + width - 1 must fit a signed 64-bit integer.
WindowSpan resolve_window(std::int64_t start, std::uint64_t width, std::uint64_t rlen);

}  // namespace tavlo
