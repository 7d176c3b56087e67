// Reading residues of a remote file through its cache of blocks.
#include "faidx/remote/remote_source.hpp"

#include <algorithm>
#include <chrono>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "faidx/extract.hpp"

namespace tavlo {

namespace {

using Block = std::shared_ptr<const std::string>;

// Least recently used blocks go first. Readers hold a block by its shared pointer, so that one
// evicted meanwhile stays valid for them.
class BlockCache {
 public:
  explicit BlockCache(std::size_t capacity) : capacity_(capacity) {}

  Block get(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(id);
    if (it == map_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second.second);
    return it->second.first;
  }

  bool contains(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_.count(id) != 0;
  }

  Block put(std::uint64_t id, std::string&& bytes) {
    auto block = std::make_shared<const std::string>(std::move(bytes));
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(id);
    if (it != map_.end()) return it->second.first;  // another thread fetched it first
    lru_.push_front(id);
    map_.emplace(id, std::make_pair(block, lru_.begin()));
    while (map_.size() > capacity_) {
      map_.erase(lru_.back());
      lru_.pop_back();
    }
    return block;
  }

 private:
  std::mutex mutex_;
  std::size_t capacity_;
  std::list<std::uint64_t> lru_;
  std::unordered_map<std::uint64_t, std::pair<Block, std::list<std::uint64_t>::iterator>> map_;
};

class RemoteSource final : public Source {
 public:
  RemoteSource(std::unique_ptr<HttpClient> client, ObjectVersion version, std::string first)
      : client_(std::move(client)), version_(std::move(version)), cache_(kRemoteCacheBlocks) {
    if (!first.empty()) cache_.put(0, std::move(first));
  }

  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    // The byte walk of the map's reader: the same span, so the same residues or the same
    // shortening on a stale or hand-written index.
    out.clear();
    if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return Ok{};
    const std::uint64_t a = residue_offset(e, start);
    const std::uint64_t size = version_.size;
    if (a >= size) return Ok{};
    const std::uint64_t span = region_span_bytes(e, count);
    const std::uint64_t stop = span > size - a ? size : a + span;
    const auto want = static_cast<std::size_t>(std::min(count, stop - a));
    out.reserve(want);
    for (std::uint64_t pos = a; out.size() < want && pos < stop;) {
      const std::uint64_t id = pos / kRemoteBlock;
      auto block = fetch_block(id);
      if (!block) return std::move(block).error();
      const std::string& bytes = **block;
      const std::uint64_t at = pos - id * kRemoteBlock;
      if (at >= bytes.size()) break;
      const std::uint64_t n = std::min<std::uint64_t>(bytes.size() - at, stop - pos);
      append_residues(bytes.data() + at, static_cast<std::size_t>(n), out, want);
      pos += n;
    }
    return Ok{};
  }

  bool wants_file_order() const override { return true; }
  bool fetches_ahead() const override { return true; }

  std::size_t prepare(std::span<const ByteRange> ranges) const override {
    // Half the cache per wave, so that a wave's blocks are all still there when it is read.
    constexpr std::size_t kWave = kRemoteCacheBlocks / 2;
    std::unordered_set<std::uint64_t> wave;
    std::vector<std::uint64_t> missing;
    std::size_t k = 0;
    for (; k < ranges.size(); ++k) {
      const ByteRange r = ranges[k];
      if (r.length == 0 || r.offset >= version_.size) continue;
      const std::uint64_t first = r.offset / kRemoteBlock;
      const std::uint64_t end = std::min(version_.size, r.offset + std::min(r.length,
                                                                            version_.size));
      const std::uint64_t last = (end - 1) / kRemoteBlock;
      if (k > 0 && wave.size() + (last - first + 1) > kWave &&
          wave.size() + count_new(wave, first, last) > kWave) {
        break;
      }
      for (std::uint64_t id = first; id <= last && wave.size() < kWave; ++id) {
        if (wave.insert(id).second && !cache_.contains(id)) missing.push_back(id);
      }
    }
    // Runs of neighbouring blocks travel together: fewer requests for the same bytes.
    std::sort(missing.begin(), missing.end());
    std::vector<std::pair<std::uint64_t, std::size_t>> runs;  // first block, blocks
    std::vector<ByteRange> requests;
    for (const std::uint64_t id : missing) {
      if (!runs.empty() && runs.back().first + runs.back().second == id &&
          runs.back().second < kRemoteRun) {
        ++runs.back().second;
        requests.back().length += block_range(id).length;
      } else {
        runs.emplace_back(id, 1);
        requests.push_back(block_range(id));
      }
    }
    client_->get_ranges(version_, requests, kRemoteInFlight, [&](std::size_t i, std::string&& b) {
      const auto [first, count] = runs[i];
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t at = j * kRemoteBlock;
        cache_.put(first + j, b.substr(at, std::min<std::size_t>(kRemoteBlock, b.size() - at)));
      }
    });
    return std::max<std::size_t>(k, 1);
  }

 private:
  ByteRange block_range(std::uint64_t id) const {
    const std::uint64_t offset = id * kRemoteBlock;
    return {offset, std::min(kRemoteBlock, version_.size - offset)};
  }

  static std::size_t count_new(const std::unordered_set<std::uint64_t>& wave, std::uint64_t first,
                               std::uint64_t last) {
    std::size_t n = 0;
    for (std::uint64_t id = first; id <= last; ++id) n += wave.count(id) == 0;
    return n;
  }

  Result<Block> fetch_block(std::uint64_t id) const {
    if (Block b = cache_.get(id)) return b;
    if (auto recent = recent_failure()) return std::move(*recent);
    std::string bytes;
    if (Status s = client_->get_range(version_, block_range(id), bytes); !s) {
      std::lock_guard<std::mutex> lock(failure_mutex_);
      failure_ = s.error();
      failed_at_ = std::chrono::steady_clock::now();
      return std::move(s).error();
    }
    return cache_.put(id, std::move(bytes));
  }

  // The error of a fetch that failed (its retries spent) moments ago. The fetches that follow it
  // fail at once with it instead of each waiting through their own retries: a batch over a
  // server that went away ends in one backoff, not one per region.
  std::optional<FaidxError> recent_failure() const {
    constexpr auto kFailFast = std::chrono::seconds(2);
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (failure_ && std::chrono::steady_clock::now() - failed_at_ < kFailFast) return failure_;
    return std::nullopt;
  }

  std::unique_ptr<HttpClient> client_;
  ObjectVersion version_;
  mutable BlockCache cache_;
  mutable std::mutex failure_mutex_;
  mutable std::optional<FaidxError> failure_;
  mutable std::chrono::steady_clock::time_point failed_at_;
};

}  // namespace

std::unique_ptr<Source> make_remote_source(std::unique_ptr<HttpClient> client,
                                           ObjectVersion version, std::string first_block) {
  return std::make_unique<RemoteSource>(std::move(client), std::move(version),
                                        std::move(first_block));
}

}  // namespace tavlo
