// Open-addressing name table with an arena for the names.
#include "faidx/name_table.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>

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

NameTable::NameTable() : seed_(process_seed()) {}

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

std::uint64_t NameTable::hash_of(std::string_view name) const {
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

void NameTable::reserve(std::size_t count, std::size_t name_bytes) {
  arena_.reserve(name_bytes);
  slots_.reserve(count);
  std::size_t want = 16;
  while (want < count * 2) want *= 2;
  if (want > buckets_.size()) {
    buckets_.assign(want, 0);
    const std::size_t mask = want - 1;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      std::size_t b = slots_[i].hash & mask;
      while (buckets_[b] != 0) b = (b + 1) & mask;
      buckets_[b] = static_cast<std::uint32_t>(i + 1);
    }
  }
}

void NameTable::grow() { reserve(slots_.size() + 1 > 8 ? slots_.size() * 2 : 16, 0); }

void NameTable::insert(std::string_view name, const EntryNumbers& numbers) {
  if (name.size() > UINT32_MAX || slots_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
  if ((slots_.size() + 1) * 2 > buckets_.size()) grow();
  const std::uint64_t h = hash_of(name);
  const std::uint32_t h32 = static_cast<std::uint32_t>(h);
  const std::size_t mask = buckets_.size() - 1;
  std::size_t b = h32 & mask;
  while (buckets_[b] != 0) {
    Slot& s = slots_[buckets_[b] - 1];
    if (s.hash == h32 && s.name_length == name.size() &&
        same_bytes(arena_.data() + s.name_offset, name.data(), name.size())) {
      s.numbers = numbers;
      return;
    }
    b = (b + 1) & mask;
  }
  const std::uint64_t at = arena_.size();
  arena_.append(name);
  slots_.push_back(Slot{at, static_cast<std::uint32_t>(name.size()), h32, numbers});
  buckets_[b] = static_cast<std::uint32_t>(slots_.size());
}

const EntryNumbers* NameTable::find(std::string_view name) const {
  if (slots_.empty()) return nullptr;
  const std::uint32_t h32 = static_cast<std::uint32_t>(hash_of(name));
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t b = h32 & mask; buckets_[b] != 0; b = (b + 1) & mask) {
    const Slot& s = slots_[buckets_[b] - 1];
    if (s.hash == h32 && s.name_length == name.size() &&
        same_bytes(arena_.data() + s.name_offset, name.data(), name.size())) {
      return &s.numbers;
    }
  }
  return nullptr;
}

std::size_t NameTable::overhead_bytes() const {
  return slots_.capacity() * sizeof(Slot) + buckets_.capacity() * sizeof(std::uint32_t) +
         (arena_.capacity() - arena_.size());
}

}  // namespace tavlo
