// BGZF (blocked gzip) files: block headers, inflating blocks, the .gzi index, a block cache.
//
// A BGZF file is a series of gzip members ("blocks") of at most 64 KiB each, compressed and
// uncompressed; the extra field "BC" of each header gives the block's compressed size, so a
// reader can jump from block to block without inflating. The .gzi index lists, for every block
// that holds data except the first one, its compressed offset and the uncompressed offset of its
// first byte (samtools' layout: a little-endian 64-bit count, then the pairs). Offsets in the
// .fai of a BGZF file are offsets in the uncompressed text.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/compressed_bytes.hpp"
#include "faidx/name_table.hpp"

namespace tavlo {

inline constexpr std::size_t kBgzfMaxBlock = 65536;  // compressed and uncompressed limit

// Is `head` (the first bytes of a file) the start of a gzip member?
inline bool is_gzip(std::string_view head) {
  return head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0x1f &&
         static_cast<unsigned char>(head[1]) == 0x8b;
}

struct BgzfBlockHeader {
  std::uint32_t header_size;  // bytes before the deflate data: 12 + XLEN
  std::uint32_t block_size;   // the whole member: header, deflate data, CRC32, ISIZE
};

// Parses the header of the block at the start of `bytes` (which may hold more). Fails with an
// IOError naming compressed offset `at` when the bytes are not a BGZF block header or the
// block's size is impossible. Reads nothing beyond `bytes`.
Result<BgzfBlockHeader> parse_bgzf_header(std::string_view bytes, std::uint64_t at);

// True when `head` begins with a gzip header that carries BGZF's "BC" extra field.
bool is_bgzf(std::string_view head);

// Inflates the complete block `block` (header included, exactly block_size bytes) into `out`,
// checking its CRC32 and uncompressed size. Errors name compressed offset `at`.
Status inflate_bgzf_block(std::string_view block, std::uint64_t at, std::string& out);

// Which library inflates blocks in this build: "isal", "libdeflate" or "zlib".
const char* bgzf_inflater();

// One .gzi pair: a block's compressed offset and the uncompressed offset of its first byte.
struct GziEntry {
  std::uint64_t coff;
  std::uint64_t uoff;
};

// Parses the bytes of a .gzi file. Both offsets must increase from pair to pair (compressed ones
// strictly) by no more than a block can hold, and the count must match the length exactly.
Result<std::vector<GziEntry>> parse_gzi(std::string_view bytes);
// Reads and parses the .gzi file at `path`; errors name the path.
Result<std::vector<GziEntry>> read_gzi(const std::string& path);
// The bytes of a .gzi file listing `entries`.
std::string format_gzi(const std::vector<GziEntry>& entries);

// What walking a BGZF file's blocks finds: the .gzi pairs, and (when inflated) the index
// entries of the text as the listing of a name table, not yet indexed.
struct BgzfScan {
  std::vector<GziEntry> gzi;
  NameTable listing;
};

// Walks every block of the BGZF file `file`. With `inflate`, every block is inflated and checked
// and its text fed to the FASTA scanner (the blocks of a stretch of the file inflate in parallel
// on the worker pool); without, only the headers and uncompressed sizes are read, to rebuild the
// .gzi. `bytewise` as for FastaScanner.
Result<BgzfScan> scan_bgzf(const CompressedBytes& file, bool inflate, bool bytewise = false);

// An inflated block as the cache holds it.
struct BgzfBlock {
  std::uint64_t coff = 0;
  std::uint32_t block_size = 0;
  std::string data;
};

// Random access to the uncompressed text of a BGZF file through its .gzi pairs. Thread-safe:
// the compressed bytes are only read (from the map, or with positioned reads), and inflated
// blocks are shared through a bounded cache of kCacheSlots blocks, each slot under its own lock.
class BgzfReader {
 public:
  static constexpr std::size_t kCacheSlots = 256;  // 16 MiB of text at most

  // `file` holds the compressed bytes. `gzi` is the file's .gzi, without the implied first pair
  // (0, 0).
  BgzfReader(const CompressedBytes& file, std::vector<GziEntry> gzi);
  // The same with the pairs of the .gzi file at `gzi_path`, read when first needed.
  BgzfReader(const CompressedBytes& file, std::string gzi_path);

  // Reads the .gzi when that has not been done (once: a failure is kept and returned again).
  // Every read calls it; text_bound() is valid after it succeeded.
  Status load() const;

  // Walks the text [a, stop) block by block as append_residues does, appending the residues to
  // `out` until it holds `want` bytes or the text ends.
  Status append_text(std::uint64_t a, std::uint64_t stop, std::size_t want,
                     std::string& out) const;

  // An upper bound of the uncompressed size: the last pair's offset plus one full block.
  std::uint64_t text_bound() const { return bound_; }
  // Fails unless the pairs reach the last block that holds text (reads block headers only).
  Status covers_file() const;
  // The pairs; valid after load() succeeded.
  const std::vector<GziEntry>& pairs() const { return gzi_; }

 private:
  using BlockRef = std::shared_ptr<const BgzfBlock>;
  struct alignas(64) Slot {
    std::mutex mutex;
    BlockRef block;
  };

  // The block at compressed offset `coff`, from the cache (slot `hint` modulo the slot count) or
  // inflated and stored there. `pair`, when the block is the one of .gzi pair `pair` (and `hint`
  // is then `pair`), lets a miss that follows on from the previous one inflate the next blocks
  // too, in parallel on the worker pool (up to 8 blocks): a walk through the file in order then
  // waits for the inflation of a group of blocks spread over the workers, not of each block.
  Result<BlockRef> block_at(std::uint64_t coff, std::size_t hint, std::size_t pair) const;
  // Inflates the block at `coff` and offers it to `slot` (taken only when free).
  Result<BlockRef> inflate_to_slot(std::uint64_t coff, Slot& slot) const;
  // The cached block at `coff` in `slot`, or null.
  static BlockRef cached(Slot& slot, std::uint64_t coff);

  CompressedBytes file_;
  std::string gzi_path_;
  mutable std::once_flag loaded_;
  mutable std::unique_ptr<FaidxError> load_error_;
  mutable std::vector<GziEntry> gzi_;  // written once, under loaded_
  mutable std::uint64_t bound_ = 0;
  std::unique_ptr<Slot[]> slots_;
  // The pair whose miss would continue a walk in file order: the one after the blocks that the
  // last miss inflated. A hint only; threads may race on it.
  mutable std::atomic<std::size_t> next_miss_{0};
};

}  // namespace tavlo
