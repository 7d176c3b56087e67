// Reading and writing .fai index files (five tab-separated columns per record).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

// Parses the text of an index file into `table`. Lines without exactly five tab-separated fields
// (after trimming white space) are skipped; a malformed number fails with "Invalid rlen",
// "Invalid offset", "Invalid lenc" or "Invalid lenb"; a line that is not UTF-8 fails with an
// IOError, unless `bytewise`. A failure's line number is in the error's `line`.
Status parse_fai(std::string_view contents, NameTable& table, bool bytewise = false);

// Reads the index file at `path` into `table`. A file that cannot be opened gives
// IndexNotFoundError with the path.
Status read_fai(const std::string& path, NameTable& table, bool bytewise = false);

// Writes the records of a name table's listing (see NameTable::append) to `path` in order,
// atomically: to a temporary file beside it, then renamed over it, so that no reader ever sees a
// partly written index. The temporary file is removed on failure.
Status write_fai(const std::string& path, const NameTable& listing);
// The same, running `beside` meanwhile on another thread of the pool (on this one when there is
// no other), which then writes a share of the lines itself. `beside` may read the listing only.
Status write_fai(const std::string& path, const NameTable& listing,
                 const std::function<void()>& beside);

// Writes `contents` to `path` the same way: a temporary file beside it, renamed over it.
Status write_file_atomically(const std::string& path, std::string_view contents);
// The same with the contents written by `fill` to the descriptor of the temporary file.
Status write_file_atomically(const std::string& path, const std::function<Status(int)>& fill);

// Strict unsigned decimal: an optional '+', then one or more digits, below 2**64.
bool parse_u64(std::string_view field, std::uint64_t* out);

}  // namespace tavlo
