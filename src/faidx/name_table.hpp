// The index entry and the name table: record name -> the four .fai numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo {

// The four numbers of one .fai line. `rlen`: residues of the record; `offset`: byte offset of its
// first residue; `lenc`: residues per full line; `lenb`: bytes per full line, terminator included.
struct EntryNumbers {
  std::uint64_t rlen = 0;
  std::uint64_t offset = 0;
  std::uint64_t lenc = 0;
  std::uint64_t lenb = 0;
};

// One record of the index, as scanned from a FASTA file or written to a .fai line.
struct IndexEntry {
  std::string name;
  EntryNumbers numbers;
};

// Hash table from name to numbers. Names are compared byte for byte. Inserting a name that is
// present replaces its numbers and keeps its position, so the listing is in order of first
// insertion, with the numbers of the last one.
//
// Memory: the names live back to back in one arena, in listing order, so a record needs only its
// numbers and the offset of its name (40 bytes); the buckets are 32-bit. Speed: a bucket holds the
// record's position in its low bits and a fragment of the name's hash in the bits the position
// does not need, so a probe rarely reads a record it does not want, and a loader that hashes a
// block of names first can prefetch their buckets before inserting them.
class NameTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  NameTable();

  // Sizes the table for `count` names holding `name_bytes` bytes in all (hints only).
  void reserve(std::size_t count, std::size_t name_bytes);
  std::uint64_t hash(std::string_view name) const;
  // Asks the CPU to load the bucket where a name of hash `h` starts its probe (a hint only).
  void prefetch(std::uint64_t h) const { __builtin_prefetch(&buckets_[h & mask_]); }
  void insert(std::string_view name, const EntryNumbers& numbers) {
    insert(name, hash(name), numbers);
  }
  // The same with the name's hash already computed (`h` must be hash(name)).
  void insert(std::string_view name, std::uint64_t h, const EntryNumbers& numbers);
  // The position of `name` in the listing, or npos.
  std::size_t find_index(std::string_view name) const;
  const EntryNumbers* find(std::string_view name) const {
    const std::size_t i = find_index(name);
    return i == npos ? nullptr : &slots_[i].numbers;
  }

  std::size_t size() const { return slots_.size(); }
  std::string_view name_at(std::size_t i) const {
    const std::uint64_t end = i + 1 < slots_.size() ? slots_[i + 1].name_offset : arena_.size();
    return std::string_view(arena_.data() + slots_[i].name_offset, end - slots_[i].name_offset);
  }
  const EntryNumbers& numbers_at(std::size_t i) const { return slots_[i].numbers; }
  // Approximate heap bytes held beyond the names themselves.
  std::size_t overhead_bytes() const;

  // Inserts in order, a block at a time: a block's names are hashed and their buckets requested
  // first, so that the cache misses of a block overlap instead of following each other. The
  // names must stay valid until flush(), which must be called before the table is read.
  class Loader {
   public:
    explicit Loader(NameTable& table) : table_(table) {}
    void add(std::string_view name, const EntryNumbers& numbers) {
      const std::uint64_t h = table_.hash(name);
      table_.prefetch(h);
      block_[pending_++] = Pending{name, h, numbers};
      if (pending_ == kBlock) flush();
    }
    void flush() {
      for (int i = 0; i < pending_; ++i) table_.insert(block_[i].name, block_[i].hash, block_[i].numbers);
      pending_ = 0;
    }

   private:
    static constexpr int kBlock = 16;
    struct Pending {
      std::string_view name;
      std::uint64_t hash;
      EntryNumbers numbers;
    };
    NameTable& table_;
    Pending block_[kBlock];
    int pending_ = 0;
  };

 private:
  struct Slot {
    EntryNumbers numbers;
    std::uint64_t name_offset;  // in arena_; the name ends where the next one starts
  };

  void rebuild(std::size_t bucket_count);

  std::string arena_;
  std::vector<Slot> slots_;
  // 0 for an empty bucket, else (position + 1) | (hash fragment & ~mask_).
  std::vector<std::uint32_t> buckets_;
  std::uint64_t mask_ = 0;  // buckets_.size() - 1
  std::uint64_t seed_;
};

}  // namespace tavlo
