// Residues to array rows: bytes, integer codes and one-hot channels, either strand, with padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo {

enum class Encoding : std::uint8_t { Bytes, Codes, OneHot };

// Element types of an output array, named as NumPy names them.
enum class ElementType : std::uint8_t { U8, I8, I16, I32, I64, Bool, F16, F32, F64 };

struct EncodeOptions {
  Encoding encoding = Encoding::Bytes;
  ElementType element = ElementType::U8;
  std::string alphabet = "ACGT";  // codes and one-hot only
  bool channels_first = false;    // one-hot only: rows of (channels, width) instead of (width,
                                  // channels)
  bool upper = false;             // bytes only: residues upper-cased
  unsigned char fill = 'N';       // bytes only: the byte of a padded position
};

// The NumPy name of an element type ("uint8", "float32", ...), its size in bytes, and the type
// of a name (false when the name is none of them).
std::string_view element_name(ElementType t);
std::size_t element_size(ElementType t);
bool element_from_name(std::string_view name, ElementType* out);

// Writes rows of one shape from residue bytes. Each byte value has its pattern: the W bytes
// (one element, or one element per channel) that a residue writes at its position. A position
// outside the record gets the padding pattern: the fill byte, the code len(alphabet), or no
// channel set. A reversed piece is written last residue first through the complement's pattern,
// which is what encoding the reverse complement of the residues gives.
class RowEncoder {
 public:
  // Sets `out` up for `options`; false with the reason in `error` for an alphabet that is not
  // distinct ASCII letters, or an element type that the encoding cannot hold.
  static bool make(const EncodeOptions& options, RowEncoder* out, std::string* error);

  // Elements per residue: the alphabet's size for one-hot, else 1.
  std::size_t channels() const { return channels_; }
  std::size_t element_bytes() const { return element_bytes_; }
  // Bytes of a row of `width` residues.
  std::size_t row_bytes(std::size_t width) const { return width * width_bytes_; }

  // Prepares a row of `width` positions before pieces are written into it (clears it when the
  // layout needs it: channels first).
  void begin_row(unsigned char* row, std::size_t width) const;
  // Writes residues src[0, n) at positions [pos, pos + n) of the row, or, when `reverse`, their
  // reverse complement there (src[n - 1] complemented at pos).
  void put(unsigned char* row, std::size_t width, std::size_t pos, const unsigned char* src,
           std::size_t n, bool reverse) const;
  // Writes the padding pattern at positions [pos, pos + n).
  void pad(unsigned char* row, std::size_t width, std::size_t pos, std::size_t n) const;

 private:
  std::size_t channels_ = 1;
  std::size_t element_bytes_ = 1;
  std::size_t width_bytes_ = 1;  // bytes a position takes in a channels-last row
  bool channels_first_ = false;
  bool identity_ = false;  // forward patterns are the bytes themselves
  // Channels-last: 256 patterns of width_bytes_ each, forward and complemented.
  std::vector<unsigned char> forward_, reverse_;
  std::vector<unsigned char> padding_;
  // Channels-first: the channel of each byte (channels_ when none), forward and complemented,
  // and the element that marks a channel.
  unsigned char channel_[256] = {}, channel_rc_[256] = {};
  unsigned char one_[8] = {};
  // For the vector kernels: the codes of the bytes 0x40-0x7F and of every other byte, forward and
  // complemented; set when the encoding has that form.
  bool vector_ = false;
  unsigned char rows_[64] = {}, rows_rc_[64] = {};
  unsigned char rows_fallback_ = 0, rows_rc_fallback_ = 0;
};

}  // namespace tavlo
