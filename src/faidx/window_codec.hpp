// How the 32 KiB windows of a checkpoint index are stored.
//
// A window of nucleotide text is stored packed: two bits per base (A, C, G, T in either case),
// and a small deflated list of what is not such a base (line feeds, runs of N, headers) and of
// the lowercase stretches. That is about a quarter of the text, a quarter smaller than
// Huffman-coding it, and unpacks about four times faster than it inflates: the two costs of a
// random read are the window and the text inflated after it. Other text (protein, a window
// that is mostly headers) is Huffman-coded as raw deflate when that is smaller.
//
// A stored window of the current index version starts with a byte naming its coding: kDeflated
// (raw deflate follows) or kPacked. Windows stored as they are have the window's full length
// and no such byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavlo {

inline constexpr unsigned char kWindowDeflated = 0;
inline constexpr unsigned char kWindowPacked = 1;

// Appends window `p[0, n)` coded to `out` (or as it is when no coding makes it smaller); returns
// the size stored.
std::uint32_t store_window(const unsigned char* p, std::uint32_t n, std::string& out);

// Decodes a stored window of `len` bytes into `out` (resized to `len`): `coded` for a window of
// the current version, which names its coding, else raw deflate. False on bad data.
bool decode_window(std::string_view stored, std::uint32_t len, bool coded, std::string& out);

}  // namespace tavlo
