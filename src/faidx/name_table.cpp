// Open-addressing name table with an arena for the names.
#include "faidx/name_table.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <new>

namespace tavlo {

namespace {

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

// A per-process seed, so that file contents cannot steer every name into one bucket chain.
std::uint64_t process_seed() {
  static const std::uint64_t seed = mix(static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()) ^
                                        reinterpret_cast<std::uintptr_t>(&seed));
  return seed;
}

}  // namespace

NameTable::NameTable() : seed_(process_seed()) { rebuild(16); }

namespace {

// Loads 1 to 8 bytes without a library call (sequence names are mostly this short).
inline std::uint64_t load_tail(const char* p, std::size_t n) {
  std::uint64_t lo = 0, hi = 0;
  if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    lo = a;
    hi = b;
    return lo | (hi << 32);
  }
  if (n > 0) {
    lo = static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[n / 2]) << 8) |
         (static_cast<unsigned char>(p[n - 1]) << 16);
  }
  return lo;
}

inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n <= 8) return load_tail(a, n) == load_tail(b, n);
  return std::memcmp(a, b, n) == 0;
}

}  // namespace

std::uint64_t NameTable::hash(std::string_view name) const {
  std::uint64_t h = seed_ ^ (name.size() * 0x9E3779B97F4A7C15ULL);
  const char* p = name.data();
  std::size_t n = name.size();
  while (n > 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w) + 0x9E3779B97F4A7C15ULL;
    p += 8;
    n -= 8;
  }
  return mix(h ^ load_tail(p, n));
}

namespace {

// The bits of a bucket above its position field: from the hash's upper half, which the bucket
// index (its lower bits) does not use.
inline std::uint32_t fragment(std::uint64_t h, std::uint64_t mask) {
  return static_cast<std::uint32_t>(h >> 32) & ~static_cast<std::uint32_t>(mask);
}

// Records beyond this many would not leave their position a bit to spare in a 32-bit bucket.
constexpr std::size_t kMaxRecords = (std::size_t{1} << 31) - 2;

}  // namespace

void NameTable::rebuild(std::size_t bucket_count) {
  buckets_.assign(bucket_count, 0);
  mask_ = bucket_count - 1;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const std::uint64_t h = hash(name_at(i));
    std::size_t b = h & mask_;
    while (buckets_[b] != 0) b = (b + 1) & mask_;
    buckets_[b] = static_cast<std::uint32_t>(i + 1) | fragment(h, mask_);
  }
}

void NameTable::reserve(std::size_t count, std::size_t name_bytes) {
  arena_.reserve(name_bytes);
  slots_.reserve(std::min(count, kMaxRecords));
  std::size_t want = 16;
  while (want < count * 2 && want < (kMaxRecords + 2) * 2) want *= 2;
  if (want > buckets_.size()) rebuild(want);
}

void NameTable::store(Slot& slot, const EntryNumbers& n, bool was_wide) {
  if (!was_wide && fits_narrow(n)) {
    set_narrow(slot, n);
    return;
  }
  std::uint64_t at = slot.offset();
  if (was_wide) {
    wide_[at] = n;
  } else {
    at = wide_.size();
    wide_.push_back(n);
  }
  slot.rlen = slot.lenc = 0;
  slot.lenb = kWide;
  slot.offset_lo = static_cast<std::uint32_t>(at);
  slot.offset_hi = static_cast<std::uint16_t>(at >> 32);
}

void NameTable::insert(std::string_view name, std::uint64_t h, const EntryNumbers& numbers) {
  if (name.size() > UINT32_MAX || slots_.size() >= kMaxRecords ||
      arena_.size() + name.size() >= kLimit48) {
    throw std::bad_alloc();
  }
  if ((slots_.size() + 1) * 2 > buckets_.size()) rebuild(buckets_.size() * 2);
  const std::uint32_t frag = fragment(h, mask_);
  const std::uint32_t low = static_cast<std::uint32_t>(mask_);
  std::size_t b = h & mask_;
  for (std::uint32_t v; (v = buckets_[b]) != 0; b = (b + 1) & mask_) {
    if ((v & ~low) != frag) continue;
    const std::size_t i = (v & low) - 1;
    const std::string_view have = name_at(i);
    if (have.size() == name.size() && same_bytes(have.data(), name.data(), name.size())) {
      if (keep_first_) {
        repeated_.push_back(i);
      } else {
        store(slots_[i], numbers, slots_[i].lenb == kWide);
      }
      return;
    }
  }
  append_slow(name, numbers);
  buckets_[b] = static_cast<std::uint32_t>(slots_.size()) | frag;
}

void NameTable::append_slow(std::string_view name, const EntryNumbers& numbers) {
  if (arena_.size() + name.size() >= kLimit48) throw std::bad_alloc();
  const std::uint64_t at = arena_.size();
  Slot slot{};
  slot.name_lo = static_cast<std::uint32_t>(at);
  slot.name_hi = static_cast<std::uint16_t>(at >> 32);
  store(slot, numbers, false);
  arena_.append(name);
  slots_.push_back(slot);
}

void NameTable::append_listing(const NameTable& other) {
  const std::uint64_t base = arena_.size();
  const std::uint64_t wide_base = wide_.size();
  if (base + other.arena_.size() >= kLimit48 || wide_base + other.wide_.size() >= kLimit48) {
    throw std::bad_alloc();
  }
  arena_.append(other.arena_);
  wide_.insert(wide_.end(), other.wide_.begin(), other.wide_.end());
  if (slots_.capacity() - slots_.size() < other.slots_.size()) {
    slots_.reserve(slots_.size() + other.slots_.size());
  }
  for (Slot slot : other.slots_) {
    const std::uint64_t name = slot.name_offset() + base;
    slot.name_lo = static_cast<std::uint32_t>(name);
    slot.name_hi = static_cast<std::uint16_t>(name >> 32);
    if (slot.lenb == kWide) {
      const std::uint64_t at = slot.offset() + wide_base;
      slot.offset_lo = static_cast<std::uint32_t>(at);
      slot.offset_hi = static_cast<std::uint16_t>(at >> 32);
    }
    slots_.push_back(slot);
  }
}

void NameTable::reserve_listing(std::size_t count, std::size_t name_bytes) {
  arena_.reserve(name_bytes);
  slots_.reserve(count);
}

bool NameTable::index_distinct() {
  const std::size_t n = slots_.size();
  if (n > kMaxRecords) return false;
  std::size_t want = 16;
  while (want < n * 2) want *= 2;
  buckets_.assign(want, 0);
  mask_ = want - 1;
  const std::uint32_t low = static_cast<std::uint32_t>(mask_);
  // A block of names is hashed and its buckets requested before any of them is placed, so that
  // the cache misses of a block overlap.
  constexpr std::size_t kBlock = 16;
  std::uint64_t hashes[kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    for (std::size_t k = 0; k < count; ++k) {
      hashes[k] = hash(name_at(first + k));
      prefetch(hashes[k]);
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t h = hashes[k];
      const std::string_view name = name_at(first + k);
      const std::uint32_t frag = fragment(h, mask_);
      std::size_t b = h & mask_;
      for (std::uint32_t v; (v = buckets_[b]) != 0; b = (b + 1) & mask_) {
        if ((v & ~low) != frag) continue;
        const std::string_view have = name_at((v & low) - 1);
        if (have.size() == name.size() && same_bytes(have.data(), name.data(), name.size())) {
          buckets_.assign(16, 0);
          mask_ = 15;
          return false;
        }
      }
      buckets_[b] = static_cast<std::uint32_t>(first + k + 1) | frag;
    }
  }
  return true;
}

void NameTable::index() {
  if (!index_distinct()) merge_repeats();
}

void NameTable::merge_repeats() {
  // Rare: the records are inserted one by one into a fresh table, which takes this one's place.
  NameTable merged;
  merged.keep_first_ = keep_first_;
  std::size_t name_bytes = arena_.size();
  merged.reserve(std::min(slots_.size(), kMaxRecords), name_bytes);
  Loader loader(merged);
  for (std::size_t i = 0; i < slots_.size(); ++i) loader.add(name_at(i), numbers_at(i));
  loader.flush();
  *this = std::move(merged);
}

std::vector<std::string_view> NameTable::repeated() const {
  std::vector<std::size_t> at = repeated_;
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  std::vector<std::string_view> names;
  names.reserve(at.size());
  for (const std::size_t i : at) names.push_back(name_at(i));
  return names;
}

std::size_t NameTable::find_index(std::string_view name) const {
  if (slots_.empty()) return npos;
  const std::uint64_t h = hash(name);
  const std::uint32_t frag = fragment(h, mask_);
  const std::uint32_t low = static_cast<std::uint32_t>(mask_);
  for (std::size_t b = h & mask_; buckets_[b] != 0; b = (b + 1) & mask_) {
    const std::uint32_t v = buckets_[b];
    if ((v & ~low) != frag) continue;
    const std::size_t i = (v & low) - 1;
    const std::string_view have = name_at(i);
    if (have.size() == name.size() && same_bytes(have.data(), name.data(), name.size())) return i;
  }
  return npos;
}

std::size_t NameTable::overhead_bytes() const {
  return slots_.capacity() * sizeof(Slot) + buckets_.capacity() * sizeof(std::uint32_t) +
         wide_.capacity() * sizeof(EntryNumbers) +
         (arena_.capacity() - arena_.size());
}

}  // namespace tavlo
