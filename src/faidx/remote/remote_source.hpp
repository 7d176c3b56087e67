// The byte source of a remote file: aligned blocks fetched by range requests into a bounded cache
// shared by threads, and the batch path that fetches the blocks of many regions at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "faidx/compressed_bytes.hpp"
#include "faidx/remote/http.hpp"
#include "faidx/source.hpp"

namespace tavlo {

// Block size, cache size and requests in flight, chosen by measurement (README, "Remote files"):
// a block is one round trip whatever its size up to a few hundred KiB on a fast link, so a
// block large enough that neighbouring regions share it, and small enough that a batch of
// scattered regions does not fetch the whole file.
inline constexpr std::uint64_t kRemoteBlock = 64 << 10;
inline constexpr std::size_t kRemoteCacheBlocks = 512;  // 32 MiB per open file
inline constexpr int kRemoteInFlight = 32;
// Neighbouring missing blocks of a batch go in one request, up to this many (512 KiB).
inline constexpr std::size_t kRemoteRun = 8;

// A pass through the object in order fetches this many blocks a request (2 MiB).
inline constexpr std::uint64_t kRemoteAhead = 32;

class BlockCache;
using RemoteBlock = std::shared_ptr<const std::string>;

// The bytes of version `version` of `client`'s object, read in aligned blocks through a bounded
// cache shared by threads. `first_block` already holds block 0 (or the whole of a smaller object).
class RemoteBytes final : public RangeReader {
 public:
  RemoteBytes(std::unique_ptr<HttpClient> client, ObjectVersion version, std::string first_block);
  ~RemoteBytes() override;

  HttpClient& client() const { return *client_; }
  const ObjectVersion& version() const { return version_; }
  // The object as the compressed-file readers take it.
  CompressedBytes bytes() const { return {nullptr, -1, version_.size, this}; }

  // Block `id`, from the cache or fetched.
  Result<RemoteBlock> block(std::uint64_t id) const;
  // Fetches the missing blocks of `r` in one request (from the first missing one to the last),
  // and when they follow on from the last miss, the next kRemoteAhead blocks too, so that a pass
  // through the object in order (building an index) takes few round trips.
  Status ensure(ByteRange r) const;
  // Bytes [at, at + n) (within the object), their missing blocks fetched first as ensure() does.
  Status read(std::uint64_t at, std::size_t n, std::string& out) const override;
  // Fetches the missing blocks of the leading `ranges` (in file order), as many ranges as half
  // the cache holds, concurrently; returns how many (at least one when there are any).
  std::size_t prepare(std::span<const ByteRange> ranges) const;

 private:
  ByteRange block_range(std::uint64_t first, std::uint64_t count = 1) const;
  // Fetches blocks [first, first + count) in one request into the cache; the first of them.
  Result<RemoteBlock> fetch_run(std::uint64_t first, std::uint64_t count) const;
  // The error of a fetch that failed (its retries spent) moments ago. The fetches that follow it
  // fail at once with it instead of each waiting through their own retries: a batch over a
  // server that went away ends in one backoff, not one per region.
  std::optional<FaidxError> recent_failure() const;

  std::unique_ptr<HttpClient> client_;
  ObjectVersion version_;
  std::unique_ptr<BlockCache> cache_;
  mutable std::atomic<std::uint64_t> next_miss_{1};  // the block after the last miss's run
  mutable std::mutex failure_mutex_;
  mutable std::optional<FaidxError> failure_;
  mutable std::chrono::steady_clock::time_point failed_at_;
};

// Sources reading residues through `bytes`: of a plain object; of a BGZF or a plain gzip object,
// from the bytes of its .gzi or checkpoint index (checked against the object: an index that
// cannot be its own is an error naming `index_name`; with `check`, a .gzi made elsewhere is also
// checked to reach the object's last block, at the cost of one request).
std::unique_ptr<Source> make_remote_source(std::shared_ptr<RemoteBytes> bytes);
Result<std::unique_ptr<Source>> make_remote_compressed_source(std::shared_ptr<RemoteBytes> bytes,
                                                              bool bgzf, std::string_view index,
                                                              const std::string& index_name,
                                                              bool check);

// One pass through a compressed object: the bytes of its .gzi or checkpoint index and, with
// `scan`, the entries of its text as a name table's listing.
struct RemoteIndexBuild {
  std::string index;
  NameTable listing;
};
Result<RemoteIndexBuild> build_remote_index(const RemoteBytes& bytes, bool bgzf, bool scan,
                                            bool bytewise);

}  // namespace tavlo
