// Plain gzip files: member framing, the one-pass build of a checkpoint index, its file formats.
//
// A gzip file cannot be read at random: every byte of text depends on the 32 KiB before it. A
// checkpoint records where a deflate block starts (as a bit offset in the compressed file), the
// uncompressed offset of its first byte and the 32 KiB of text before it (the window), which is
// all an inflater needs to resume there. The .gzidx file beside the FASTA file stores the
// checkpoints of one pass over the whole file, with the windows packed or compressed (see
// window_codec.hpp), together with the size and modification time of the file they were made
// from.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/compressed_bytes.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

inline constexpr std::uint32_t kGzipWindow = 32768;

// The compressed file, read through its map or with positioned reads of a stretch at a time.
class CompressedInput {
 public:
  explicit CompressedInput(const CompressedBytes& file) : file_(file) {}

  std::uint64_t size() const { return file_.size; }
  // The bytes from `at` on: at least min(want, size - at) of them (want at most 64 KiB for byte
  // ranges) unless the file reads shorter than its size; empty at the end. Valid until the next
  // call.
  Result<std::string_view> get(std::uint64_t at, std::size_t want = 1 << 18);

 private:
  CompressedBytes file_;
  std::string buf_;
  std::uint64_t buf_at_ = 0;
};

// What follows the end of a member (or the start of the file) at `at`: the offset of the next
// member's deflate data, or nothing when the file ends there, possibly after zero bytes of
// padding. Fails with an IOError naming the offset on a bad or truncated header, or on bytes
// that are not a gzip member.
Result<std::optional<std::uint64_t>> next_member(CompressedInput& in, std::uint64_t at);

// One checkpoint: the inflater resumes at bit `bit` of the file (counted from the first bit of
// byte 0, least significant bit first, as deflate orders them), where the text reaches
// uncompressed offset `uoff`, with the `window_len` bytes of text before it (0 at the start of a
// member) stored as window bytes [window_at, window_at + window_size). The bit is a block
// boundary, or (header_len > 0) the start of a code inside a Huffman-coded block whose header is
// the header_len bits from bit header_at: the inflater reads that header, then goes on at `bit`.
struct GzipPoint {
  std::uint64_t bit = 0;
  std::uint64_t uoff = 0;
  std::uint64_t window_at = 0;
  std::uint32_t window_size = 0;
  std::uint32_t window_len = 0;
  std::uint64_t header_at = 0;
  std::uint32_t header_len = 0;
};

struct GzipIndex {
  std::uint64_t compressed_size = 0;  // of the file indexed
  std::int64_t mtime_sec = 0;         // its modification time then
  std::int64_t mtime_nsec = 0;
  std::uint64_t text_size = 0;    // its uncompressed size
  bool raw_windows = false;       // windows stored as they are (GZIDX), not deflated
  bool coded_windows = true;      // a window names its coding (else it is raw deflate: version 1)
  std::vector<GzipPoint> points;  // by offset; the first at uncompressed offset 0
  std::string windows;
};

// Inflates the window of point `p` of `index` into `out` (exactly window_len bytes).
Status load_window(const GzipIndex& index, const GzipPoint& p, std::string& out);

// What the building pass gives: the checkpoint index, and (when the FASTA scan was asked for)
// the entries of the text, as a name table's listing.
struct GzipBuild {
  GzipIndex index;
  NameTable listing;
};

// Inflates the gzip file `file` once, checking every member's CRC32 and ISIZE, recording
// checkpoints and, with `scan`, scanning the text as a FASTA file (`bytewise` as for
// FastaScanner). `st` gives the modification time recorded. Errors are IOErrors with the
// compressed offset (or the scanner's errors).
Result<GzipBuild> build_gzip_index(const CompressedBytes& file, const struct stat& st, bool scan,
                                   bool bytewise = false);

// The bytes of a .gzidx file holding `index`, and their parser. The parser checks the format,
// the consistency of every offset and the checksum of the points and windows; a GZIDX v1 file
// (the format of indexed_gzip and rapidgzip) is read too. It does not compare the index with a
// file: see matches_file.
std::string format_gzip_index(const GzipIndex& index);
Result<GzipIndex> parse_gzip_index(std::string_view bytes);

// Whether there is an index at `path` and whether its recorded size and time match `st`; read
// from its header only (cheap, at open). A file that cannot be read or is not an index does not
// match. GZIDX files record no time: their size alone is compared.
enum class GzipIndexState { kMissing, kOther, kMatches };
GzipIndexState gzip_index_state(const std::string& path, const struct stat& st);
// Reads and parses the index file at `path` and checks it against `st`; errors name the path.
Result<GzipIndex> read_gzip_index(const std::string& path, const struct stat& st);

}  // namespace tavlo
