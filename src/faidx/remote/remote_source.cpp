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

// Least recently used blocks go first. Readers hold a block by its shared pointer, so that one
// evicted meanwhile stays valid for them.
class BlockCache {
 public:
  explicit BlockCache(std::size_t capacity) : capacity_(capacity) {}

  RemoteBlock get(std::uint64_t id) {
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

  RemoteBlock put(std::uint64_t id, std::string&& bytes) {
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
  using Entry = std::pair<RemoteBlock, std::list<std::uint64_t>::iterator>;
  std::unordered_map<std::uint64_t, Entry> map_;
};

RemoteBytes::RemoteBytes(std::unique_ptr<HttpClient> client, ObjectVersion version,
                         std::string first)
    : client_(std::move(client)),
      version_(std::move(version)),
      cache_(std::make_unique<BlockCache>(kRemoteCacheBlocks)) {
  if (!first.empty()) cache_->put(0, std::move(first));
}

RemoteBytes::~RemoteBytes() = default;

ByteRange RemoteBytes::block_range(std::uint64_t first, std::uint64_t count) const {
  const std::uint64_t offset = first * kRemoteBlock;
  return {offset, std::min(count * kRemoteBlock, version_.size - offset)};
}

Result<RemoteBlock> RemoteBytes::fetch_run(std::uint64_t first, std::uint64_t count) const {
  if (auto recent = recent_failure()) return std::move(*recent);
  std::string bytes;
  if (Status s = client_->get_range(version_, block_range(first, count), bytes); !s) {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    failure_ = s.error();
    failed_at_ = std::chrono::steady_clock::now();
    return std::move(s).error();
  }
  RemoteBlock head;
  for (std::uint64_t j = 0; j < count; ++j) {
    const std::size_t at = static_cast<std::size_t>(j * kRemoteBlock);
    if (at >= bytes.size()) break;
    RemoteBlock b = cache_->put(first + j, bytes.substr(at, kRemoteBlock));
    if (j == 0) head = std::move(b);
  }
  return head;
}

Result<RemoteBlock> RemoteBytes::block(std::uint64_t id) const {
  if (RemoteBlock b = cache_->get(id)) return b;
  return fetch_run(id, 1);
}

Status RemoteBytes::ensure(ByteRange r) const {
  const std::uint64_t size = version_.size;
  if (r.length == 0 || r.offset >= size) return Ok{};
  const std::uint64_t first = r.offset / kRemoteBlock;
  const std::uint64_t last = (r.offset + std::min(r.length, size - r.offset) - 1) / kRemoteBlock;
  std::uint64_t miss = first, end = last + 1;
  while (miss < end && cache_->contains(miss)) ++miss;
  if (miss == end) return Ok{};
  while (end - 1 > miss && cache_->contains(end - 1)) --end;
  if (next_miss_.load(std::memory_order_relaxed) == miss) {
    end = std::min((size + kRemoteBlock - 1) / kRemoteBlock, std::max(end, miss + kRemoteAhead));
  }
  next_miss_.store(end, std::memory_order_relaxed);
  auto got = fetch_run(miss, end - miss);
  if (!got) return std::move(got).error();
  return Ok{};
}

Status RemoteBytes::read(std::uint64_t at, std::size_t n, std::string& out) const {
  out.clear();
  if (n == 0) return Ok{};
  if (Status s = ensure({at, n}); !s) return s;
  const std::uint64_t first = at / kRemoteBlock, last = (at + n - 1) / kRemoteBlock;
  out.reserve(n);
  for (std::uint64_t id = first; id <= last; ++id) {
    auto b = block(id);  // fetched again only when evicted meanwhile
    if (!b) return std::move(b).error();
    const std::string& bytes = **b;
    const std::size_t from = id == first ? static_cast<std::size_t>(at % kRemoteBlock) : 0;
    if (from >= bytes.size()) break;
    out.append(bytes, from, std::min(bytes.size() - from, n - out.size()));
  }
  if (out.size() != n) return FaidxError::io(client_->shown() + ": a block read short");
  return Ok{};
}

std::size_t RemoteBytes::prepare(std::span<const ByteRange> ranges) const {
  // Half the cache per wave, so that a wave's blocks are all still there when it is read.
  constexpr std::size_t kWave = kRemoteCacheBlocks / 2;
  const auto count_new = [](const std::unordered_set<std::uint64_t>& wave, std::uint64_t first,
                            std::uint64_t last) {
    std::size_t n = 0;
    for (std::uint64_t id = first; id <= last; ++id) n += wave.count(id) == 0;
    return n;
  };
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
      if (wave.insert(id).second && !cache_->contains(id)) missing.push_back(id);
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
  if (requests.empty()) return std::max<std::size_t>(k, 1);
  client_->get_ranges(version_, requests, kRemoteInFlight, [&](std::size_t i, std::string&& b) {
    const auto [first, count] = runs[i];
    for (std::size_t j = 0; j < count; ++j) {
      const std::size_t at = j * kRemoteBlock;
      cache_->put(first + j, b.substr(at, std::min<std::size_t>(kRemoteBlock, b.size() - at)));
    }
  });
  return std::max<std::size_t>(k, 1);
}

std::optional<FaidxError> RemoteBytes::recent_failure() const {
  constexpr auto kFailFast = std::chrono::seconds(2);
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (failure_ && std::chrono::steady_clock::now() - failed_at_ < kFailFast) return failure_;
  return std::nullopt;
}

namespace {

class RemoteSource final : public Source {
 public:
  explicit RemoteSource(std::shared_ptr<RemoteBytes> bytes) : bytes_(std::move(bytes)) {}

  Status read(const EntryNumbers& e, std::uint64_t start, std::uint64_t count,
              std::string& out) const override {
    // The byte walk of the map's reader: the same span, so the same residues or the same
    // shortening on a stale or hand-written index.
    out.clear();
    if (count == 0 || e.rlen == 0 || e.lenc == 0 || start == 0) return Ok{};
    const std::uint64_t a = residue_offset(e, start);
    const std::uint64_t size = bytes_->version().size;
    if (a >= size) return Ok{};
    const std::uint64_t span = region_span_bytes(e, count);
    const std::uint64_t stop = span > size - a ? size : a + span;
    const auto want = static_cast<std::size_t>(std::min(count, stop - a));
    out.reserve(want);
    for (std::uint64_t pos = a; out.size() < want && pos < stop;) {
      const std::uint64_t id = pos / kRemoteBlock;
      auto block = bytes_->block(id);
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
    return bytes_->prepare(ranges);
  }

 private:
  std::shared_ptr<RemoteBytes> bytes_;
};

}  // namespace

std::unique_ptr<Source> make_remote_source(std::shared_ptr<RemoteBytes> bytes) {
  return std::make_unique<RemoteSource>(std::move(bytes));
}

}  // namespace tavlo
