// Derivations and statistics of Sequence records: complement, reverse, subscripts, GC content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sequence/record.hpp"

namespace tavlo {

namespace detail {
constexpr std::array<char, 256> make_complement_table() {
  std::array<char, 256> t{};
  for (auto& c : t) c = 'N';
  constexpr std::string_view from = "ACGTRYKMBVDHSWXNacgtrykmbvdhswxn";
  constexpr std::string_view to = "TGCAYRMKVBHDSWXNtgcayrmkvbhdswxn";
  for (std::size_t i = 0; i < from.size(); ++i) t[static_cast<unsigned char>(from[i])] = to[i];
  return t;
}

// Lets the kernels use SIMD instructions where the processor has them (the default) or keeps
// them to portable code, so that tests can check both; returns the previous setting.
bool use_simd(bool enabled) noexcept;
}  // namespace detail

// IUPAC nucleotide complement of every byte value, case kept. Every byte outside the sixteen
// codes in either case (U, gaps, digits, control and non-ASCII bytes) maps to 'N', so the
// complement of any text is ASCII.
inline constexpr std::array<char, 256> COMPLEMENT_TABLE = detail::make_complement_table();

// --- Texts ------------------------------------------------------------------------------------
//
// Texts are UTF-8, and every derivation works on their bytes: offsets, lengths and the complement
// table go byte by byte, so for the ASCII texts of residues letters and bytes coincide and every
// operation takes its byte-wise fast path. A result that would hold part of a multi-byte
// character (a slice or a reverse through one) is made valid text by bytes_as_text.

// True when every byte is below 0x80.
bool is_ascii(std::string_view text) noexcept;

// The bytes as UTF-8 text: valid characters stay as they are, and every other byte becomes the
// character whose code point is the byte's value (U+0080-U+00FF, two bytes each), which is what
// a single index gives for such a byte. Valid UTF-8 comes back unchanged. Never fails.
std::string bytes_as_text(std::string bytes);

// COMPLEMENT_TABLE applied to every byte: each byte of a non-ASCII character becomes 'N', so
// the result is ASCII and as long as the text.
std::string complement_text(std::string_view text);
// The bytes in reverse order, through bytes_as_text: a multi-byte character comes out as one
// character per byte.
std::string reverse_text(std::string_view text);
// reverse_text of complement_text, in one pass.
std::string reverse_complement_text(std::string_view text);

// --- Records ----------------------------------------------------------------------------------
//
// Every derivation returns a new record holding a copy of `name` and a new `seq`; the input is
// never modified. Coordinates are unsigned: a derived coordinate that would fall below 0 or
// above 2^64 - 1 is stored as absent rather than wrapped.

// seq complemented; start and end unchanged; comp negated.
SequenceRecord complement(const SequenceRecord& rec);
// seq reversed; start and end swapped when both are present; comp unchanged.
SequenceRecord reverse(const SequenceRecord& rec);
// seq reverse-complemented; start and end swapped when both are present; comp negated.
// Applied twice it gives back every field for texts of the sixteen IUPAC codes.
SequenceRecord reverse_complement(const SequenceRecord& rec);

// 1 when start < end and not comp, -1 when start > end and comp; otherwise (a coordinate
// absent, equal coordinates, or order and flag disagreeing) nullopt.
std::optional<int> orientation(const SequenceRecord& rec);

// The byte at index i (0 <= i < seq.size(), normalised and range-checked by the caller; an index
// outside gives an empty text) as a character: itself when ASCII, else the character whose code
// point is its value. start and end are both start + i when start is present (end plays no
// part), else both absent; comp copied.
SequenceRecord at(const SequenceRecord& rec, std::int64_t i);

// The slice a:b:k of the bytes of seq, with a, b and k as the interpreter's slice normalisation
// produces them against n = seq.size(): k != 0; 0 <= a, b <= n when k > 0; -1 <= a, b <= n - 1
// when k < 0. Indices outside those ranges are clamped into them (and k = 0 is taken as 1), so
// no call reads outside the text. The selected bytes go through bytes_as_text; `ascii` says
// whether seq is known to be ASCII, which saves that pass.
//
// Selected: a, a + k, ... below b for k > 0; a, a - |k|, ... above b for k < 0; in that order.
// Coordinates (when start and end are both present; otherwise both absent), as offsets lo..hi
// added to start:
//   k > 0: lo = a, hi = b - 1, also when nothing is selected.
//   k < 0, b > a (nothing selected): start + a, start + a - 1; this includes a = -1 on a
//          non-empty text, which selects nothing, as Python's sequences do.
//   k < 0, otherwise: lo = b + 1, hi = a.
//   k < 0 on an empty text: both equal start.
// comp is copied whatever the sign of k.
SequenceRecord slice(const SequenceRecord& rec, std::int64_t a, std::int64_t b, std::int64_t k,
                     bool ascii);
// As above, finding out whether seq is ASCII first.
SequenceRecord slice(const SequenceRecord& rec, std::int64_t a, std::int64_t b, std::int64_t k);

// --- Statistics -------------------------------------------------------------------------------
//
// All three count bytes with 64-bit counters and return 0.0 when nothing is counted.

// Bytes C, G, c, g over all bytes.
double gc(std::string_view text) noexcept;
// C, G over A, C, G, T, in either case; every other byte is skipped.
double gc_strict(std::string_view text) noexcept;
// Weighted IUPAC content: C G S 1, B V 0.67, K M R Y 0.5, D H 0.33, N 0.25, A T W 0, in either
// case, over the count of those fifteen letters. The weights are summed as doubles one letter at
// a time in text order, so the last digit can depend on the order of the letters.
double gc_iupac(std::string_view text) noexcept;

}  // namespace tavlo
