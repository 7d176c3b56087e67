// The index entry and the name table: record name -> the four .fai numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

  bool operator==(const EntryNumbers&) const = default;
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
// numbers and the offset of its name. Those take 24 bytes: numbers that fit the narrow fields (all
// but offsets of 256 TiB and more and records or lines of 4 Gi residues and more) are stored
// there, others whole in a side vector that the narrow record points to, so that every value
// round-trips exactly. Numbers are therefore handed out by value. The buckets are 32-bit, so a
// table of a million names costs about 32 bytes per name beyond the names. Speed: a bucket holds the
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
  // Building from a list of records in order (a scan of a FASTA file): append() adds a record to
  // the end of the listing without looking its name up, and index() then makes the lookup for all
  // of them at once. Until index(), only the listing (size, name_at, numbers_at) may be read.
  [[gnu::always_inline]] void append(std::string_view name, const EntryNumbers& numbers) {
    const std::uint64_t at = arena_.size();
    if (at + name.size() >= kLimit48 || !fits_narrow(numbers)) [[unlikely]] {
      append_slow(name, numbers);
      return;
    }
    Slot slot;
    slot.name_lo = static_cast<std::uint32_t>(at);
    slot.name_hi = static_cast<std::uint16_t>(at >> 32);
    set_narrow(slot, numbers);
    arena_.append(name);
    slots_.push_back(slot);
  }
  // Replaces the numbers of the last record appended (there must be one), for a scan that knows
  // a record's name before its numbers.
  void set_last_numbers(const EntryNumbers& numbers) {
    Slot& last = slots_.back();
    if (last.lenb != kWide && fits_narrow(numbers)) {
      set_narrow(last, numbers);
    } else {
      store(last, numbers, last.lenb == kWide);
    }
  }
  // Appends the listing of `other` (not indexed either) to this one.
  void append_listing(const NameTable& other);
  // Space for a listing of `count` records holding `name_bytes` bytes of names (hints only).
  void reserve_listing(std::size_t count, std::size_t name_bytes);
  // Makes the lookup of the listing when its names are all distinct, and returns whether they
  // are; otherwise the lookup stays empty. Writes nothing but the lookup, so other threads may
  // read the listing meanwhile.
  bool index_distinct();
  // Makes the lookup of the listing, which then reads as if its records had been inserted in
  // order: a repeated name keeps its first place and takes its last numbers.
  void index();
  // The same after index_distinct() returned false.
  void merge_repeats();
  // From now on, inserting a name that is present keeps its first numbers (merge_repeats() and
  // index() too), and the name is listed in repeated(): the rule of other indexers.
  void set_keep_first(bool on) { keep_first_ = on; }
  bool keeps_first() const { return keep_first_; }
  // The names met again under set_keep_first, each once, in order of their first record.
  std::vector<std::string_view> repeated() const;
  // The position of `name` in the listing, or npos.
  std::size_t find_index(std::string_view name) const;
  std::optional<EntryNumbers> lookup(std::string_view name) const {
    const std::size_t i = find_index(name);
    if (i == npos) return std::nullopt;
    return numbers_at(i);
  }
  std::size_t size() const { return slots_.size(); }
  std::string_view name_at(std::size_t i) const {
    const std::uint64_t begin = slots_[i].name_offset();
    const std::uint64_t end = i + 1 < slots_.size() ? slots_[i + 1].name_offset() : arena_.size();
    return std::string_view(arena_.data() + begin, end - begin);
  }
  // The bytes of the first `count` names of the listing, all together.
  std::uint64_t name_bytes_before(std::size_t count) const {
    return count < slots_.size() ? slots_[count].name_offset() : arena_.size();
  }
  EntryNumbers numbers_at(std::size_t i) const {
    const Slot& s = slots_[i];
    if (s.lenb == kWide) return wide_[s.offset()];
    return EntryNumbers{s.rlen, s.offset(), s.lenc, s.lenb};
  }
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
  // `lenb` == kWide marks numbers kept in wide_, at the position held in the offset fields.
  static constexpr std::uint32_t kWide = UINT32_MAX;
  // Offsets and name offsets are 48-bit: a high 16-bit and a low 32-bit half, so that the record
  // packs into 24 bytes with 4-byte alignment.
  struct Slot {
    std::uint32_t rlen;
    std::uint32_t lenc;
    std::uint32_t lenb;
    std::uint32_t offset_lo;
    std::uint16_t offset_hi;
    std::uint16_t name_hi;
    std::uint32_t name_lo;  // the name starts here in arena_ and ends where the next one starts

    std::uint64_t offset() const { return std::uint64_t{offset_hi} << 32 | offset_lo; }
    std::uint64_t name_offset() const { return std::uint64_t{name_hi} << 32 | name_lo; }
  };
  static_assert(sizeof(Slot) == 24);

  // The reach of a 48-bit field.
  static constexpr std::uint64_t kLimit48 = std::uint64_t{1} << 48;

  static bool fits_narrow(const EntryNumbers& n) {
    return n.rlen <= UINT32_MAX && n.lenc <= UINT32_MAX && n.lenb < kWide && n.offset < kLimit48;
  }
  static void set_narrow(Slot& slot, const EntryNumbers& n) {
    slot.rlen = static_cast<std::uint32_t>(n.rlen);
    slot.lenc = static_cast<std::uint32_t>(n.lenc);
    slot.lenb = static_cast<std::uint32_t>(n.lenb);
    slot.offset_lo = static_cast<std::uint32_t>(n.offset);
    slot.offset_hi = static_cast<std::uint16_t>(n.offset >> 32);
  }

  // Adds a record at the end, its numbers wide or narrow: append() for a record whose numbers are
  // wide or whose name meets a limit, and insert() for a new name.
  void append_slow(std::string_view name, const EntryNumbers& numbers);
  void rebuild(std::size_t bucket_count);
  // Stores `numbers` into `slot`, narrow when they fit; a slot that was wide keeps its place in
  // wide_.
  void store(Slot& slot, const EntryNumbers& numbers, bool was_wide);

  std::string arena_;
  std::vector<Slot> slots_;
  std::vector<EntryNumbers> wide_;
  // 0 for an empty bucket, else (position + 1) | (hash fragment & ~mask_).
  std::vector<std::uint32_t> buckets_;
  std::uint64_t mask_ = 0;  // buckets_.size() - 1
  std::uint64_t seed_;
  bool keep_first_ = false;
  std::vector<std::size_t> repeated_;  // positions of repeated names (with repeats)
};

}  // namespace tavlo
