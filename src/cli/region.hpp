// Parsing samtools-style region strings ("name", "name:start-end", "{name}:start-end").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "faidx/name_table.hpp"

namespace tavlo::cli {

// Where a region ends when the text gives no end: the end of its record.
inline constexpr std::int64_t kToEnd = INT64_MAX;

enum class RegionStatus : std::uint8_t {
  Ok,         // name, beg and end are set
  NotFound,   // no reading of the text names a record
  Malformed,  // the name is known but the coordinates cannot be read, or the text is ambiguous
};

// A region resolved against an index: 0-based, half-open [beg, end) before clamping to the
// record (end may be kToEnd), the record's name (a view into the text) and its numbers (a copy:
// the name table packs them, and handing them out by address would cost a wide copy of all).
struct ParsedRegion {
  RegionStatus status = RegionStatus::NotFound;
  std::string_view name;
  std::optional<EntryNumbers> entry;
  std::int64_t beg = 0;
  std::int64_t end = kToEnd;
  std::string message;  // why the text was refused (NotFound and Malformed)
};

// Resolves `text` as samtools does: a name that itself contains a colon is tried whole first,
// then split at the last colon (both readings naming records is an error); "{name}" braces
// quote a name; numbers may hold thousands separators, a fraction and an e/k/M/G exponent.
// Numbers beyond the 64-bit range saturate instead of wrapping.
// `colon_names` false says that no name of the table holds a colon, which spares looking up
// the whole text of a region that has one.
ParsedRegion parse_region(std::string_view text, const NameTable& names, bool colon_names = true);

// Whether any name of the table holds a colon.
bool any_name_has_colon(const NameTable& names);

// The residues a parsed region yields from a record of `length` residues: 1-based, inclusive
// [first, last], empty when last < first. `truncated` says that the region asked for residues
// past the end of the record.
struct ClampedRegion {
  std::uint64_t first = 1;
  std::uint64_t last = 0;
  bool truncated = false;
};
ClampedRegion clamp_region(std::int64_t beg, std::int64_t end, std::uint64_t length);

}  // namespace tavlo::cli
