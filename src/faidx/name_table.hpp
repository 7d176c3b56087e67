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
// insertion, with the numbers of the last one. Names live in one arena and the buckets are 32-bit,
// which keeps a table of a million records at about 60 bytes per record plus the names.
class NameTable {
 public:
  NameTable();

  // Sizes the table for `count` names holding `name_bytes` bytes in all (hints only).
  void reserve(std::size_t count, std::size_t name_bytes);
  void insert(std::string_view name, const EntryNumbers& numbers);
  const EntryNumbers* find(std::string_view name) const;

  std::size_t size() const { return slots_.size(); }
  std::string_view name_at(std::size_t i) const {
    return std::string_view(arena_.data() + slots_[i].name_offset, slots_[i].name_length);
  }
  const EntryNumbers& numbers_at(std::size_t i) const { return slots_[i].numbers; }
  // Approximate heap bytes held beyond the names themselves.
  std::size_t overhead_bytes() const;

 private:
  struct Slot {
    std::uint64_t name_offset;
    std::uint32_t name_length;
    std::uint32_t hash;
    EntryNumbers numbers;
  };

  std::uint64_t hash_of(std::string_view name) const;
  void grow();

  std::string arena_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> buckets_;  // slot index + 1; 0 marks an empty bucket
  std::uint64_t seed_;
};

}  // namespace tavlo
