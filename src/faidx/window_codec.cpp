// Packed and Huffman-coded windows of a checkpoint index.
//
// A packed window, after its coding byte: the size of its list of exceptions (varint) and of
// that list deflated (varint), the deflated list, then the bases, two bits each (A, C, G, T as
// 0-3), four to a byte from the low bits up. The list holds the count of runs of other bytes,
// then per run the count of bases before it (since the previous run), its length and its byte;
// then the count of lowercase stretches, and per stretch the count of uppercase bases before it
// (since the previous stretch) and its length, both counted in bases.
#include "faidx/window_codec.hpp"

#include <zlib.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>

#if defined(TAVLO_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace tavlo {

namespace {

// Per byte: its base code (0-3) with 4 added for lowercase, or kOther.
constexpr unsigned char kOther = 8;
constexpr std::array<unsigned char, 256> kCode = [] {
  std::array<unsigned char, 256> t{};
  for (auto& c : t) c = kOther;
  const char* upper = "ACGT";
  for (unsigned i = 0; i < 4; ++i) {
    t[static_cast<unsigned char>(upper[i])] = static_cast<unsigned char>(i);
    t[static_cast<unsigned char>(upper[i] | 0x20)] = static_cast<unsigned char>(i + 4);
  }
  return t;
}();

// Per packed byte: its four bases as text, first base in the low byte.
constexpr std::array<std::uint32_t, 256> kUnpack = [] {
  std::array<std::uint32_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned i = 0; i < 4; ++i) {
      t[b] |= static_cast<std::uint32_t>(static_cast<unsigned char>("ACGT"[(b >> (2 * i)) & 3]))
              << (8 * i);
    }
  }
  return t;
}();

// The exception list is at most a few bytes per byte of window.
constexpr std::uint64_t kMaxList = 16 * 32768 + 64;

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

bool get_varint(const unsigned char*& p, const unsigned char* end, std::uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64 && p < end; shift += 7) {
    const unsigned char b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// Deflates p[0, n) raw into `out` at `at` on; the size, or 0 when it does not fit `cap` bytes.
// `huffman`: literals only (a window); else zlib's default (the short list of a packed one).
std::size_t deflate_to(const unsigned char* p, std::size_t n, bool huffman, std::string& out,
                       std::size_t cap) {
  struct Deflater {
    z_stream z{};
    Deflater(int level, int strategy) {
      if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy) != Z_OK) throw std::bad_alloc();
    }
    ~Deflater() { deflateEnd(&z); }
  };
  thread_local Deflater literals(1, Z_HUFFMAN_ONLY), list(6, Z_DEFAULT_STRATEGY);
  z_stream& z = huffman ? literals.z : list.z;
  deflateReset(&z);
  const std::size_t at = out.size();
  out.resize(at + cap);
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = reinterpret_cast<Bytef*>(out.data() + at);
  z.avail_out = static_cast<uInt>(cap);
  const std::size_t got = deflate(&z, Z_FINISH) == Z_STREAM_END ? cap - z.avail_out : 0;
  out.resize(at + got);
  return got;
}

// Inflates raw deflate `in` into exactly `len` bytes at `out`.
bool inflate_exact(std::string_view in, unsigned char* out, std::size_t len) {
#if defined(TAVLO_HAVE_ISAL)
  thread_local std::unique_ptr<inflate_state> st(new inflate_state);
  isal_inflate_init(st.get());
  st->crc_flag = ISAL_DEFLATE;
  st->next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
  st->avail_in = static_cast<std::uint32_t>(in.size());
  st->next_out = out;
  st->avail_out = static_cast<std::uint32_t>(len);
  return isal_inflate_stateless(st.get()) == ISAL_DECOMP_OK && st->avail_out == 0;
#else
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) throw std::bad_alloc();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out;
  z.avail_out = static_cast<uInt>(len);
  const bool ok = inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_out == 0;
  inflateEnd(&z);
  return ok;
#endif
}

// Appends the packed coding of p[0, n) to `out`; its size.
std::size_t pack(const unsigned char* p, std::uint32_t n, std::string& out) {
  thread_local std::string runs, lower, list;
  runs.clear();
  lower.clear();
  std::uint64_t run_count = 0, lower_count = 0;
  std::uint64_t bases = 0, since_run = 0;  // bases so far; since the last run of other bytes
  int run_byte = -1;
  std::uint64_t run_len = 0;
  bool in_lower = false;
  std::uint64_t lower_from = 0, lower_end = 0;  // the open stretch's start; the last one's end
  const std::size_t at = out.size();
  out.push_back(static_cast<char>(kWindowPacked));
  // The bases go after the list: gather them first, packed in place.
  thread_local std::string packed;
  packed.assign((n + 3) / 4, '\0');
  auto* q = reinterpret_cast<unsigned char*>(packed.data());
  const auto end_run = [&] {
    if (run_byte < 0) return;
    put_varint(runs, since_run);
    put_varint(runs, run_len);
    runs.push_back(static_cast<char>(run_byte));
    ++run_count;
    since_run = 0;
    run_byte = -1;
  };
  const auto end_lower = [&] {
    put_varint(lower, lower_from - lower_end);
    put_varint(lower, bases - lower_from);
    ++lower_count;
    lower_end = bases;
  };
  for (std::uint32_t i = 0; i < n; ++i) {
    const unsigned char c = kCode[p[i]];
    if (c == kOther) {
      if (run_byte == p[i]) {
        ++run_len;
        continue;
      }
      end_run();
      run_byte = p[i];
      run_len = 1;
      continue;
    }
    end_run();
    const bool low = c >= 4;
    if (low != in_lower) {
      if (low) {
        lower_from = bases;
      } else {
        end_lower();
      }
      in_lower = low;
    }
    q[bases / 4] |= static_cast<unsigned char>((c & 3) << (2 * (bases % 4)));
    ++bases;
    ++since_run;
  }
  end_run();
  if (in_lower) end_lower();
  list.clear();
  if (run_count + lower_count > 0) {
    put_varint(list, run_count);
    list += runs;
    put_varint(list, lower_count);
    list += lower;
  }
  thread_local std::string squeezed;
  squeezed.clear();
  std::size_t size = 0;
  if (!list.empty()) {
    size = deflate_to(reinterpret_cast<const unsigned char*>(list.data()), list.size(), false,
                      squeezed, list.size() + list.size() / 8 + 64);
    if (size == 0) {
      out.resize(at);
      return static_cast<std::size_t>(-1);
    }
  }
  put_varint(out, list.size());
  put_varint(out, size);
  out += squeezed;
  out.append(packed, 0, static_cast<std::size_t>((bases + 3) / 4));
  return out.size() - at;
}

}  // namespace

std::uint32_t store_window(const unsigned char* p, std::uint32_t n, std::string& out) {
  const std::size_t at = out.size();
  std::size_t got = pack(p, n, out);
  // Nucleotide text packs to little more than two bits a byte; anything else is tried
  // Huffman-coded too, and the smaller kept.
  if (got > n / 4 + n / 32) {
    thread_local std::string other;
    other.assign(1, static_cast<char>(kWindowDeflated));
    const std::size_t huff = deflate_to(p, n, true, other, n);
    if (huff > 0 && 1 + huff < got) {
      out.resize(at);
      out += other;
      got = other.size();
    }
  }
  // A window stored as it is has its full length: the reader tells the kinds apart by that.
  if (got >= n) {
    out.resize(at);
    out.append(reinterpret_cast<const char*>(p), n);
    got = n;
  }
  return static_cast<std::uint32_t>(got);
}

bool decode_window(std::string_view stored, std::uint32_t len, bool coded, std::string& out) {
  out.resize(len);
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  if (!coded) return inflate_exact(stored, dst, len);
  if (stored.empty()) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(stored.data());
  const unsigned char* const end = p + stored.size();
  const unsigned char coding = *p++;
  if (coding == kWindowDeflated) {
    return inflate_exact(stored.substr(1), dst, len);
  }
  if (coding != kWindowPacked) return false;
  std::uint64_t list_len = 0, squeezed = 0;
  if (!get_varint(p, end, list_len) || !get_varint(p, end, squeezed)) return false;
  if (list_len > kMaxList || squeezed > static_cast<std::uint64_t>(end - p) ||
      (list_len == 0) != (squeezed == 0)) {
    return false;
  }
  thread_local std::string list;
  list.resize(static_cast<std::size_t>(list_len));
  auto* list_bytes = reinterpret_cast<unsigned char*>(list.data());
  if (list_len > 0 && !inflate_exact(std::string_view(reinterpret_cast<const char*>(p), squeezed),
                                     list_bytes, list_len)) {
    return false;
  }
  const unsigned char* lp = list_bytes;
  p += squeezed;
  const unsigned char* const list_end = lp + list_len;
  // The runs of other bytes: checked and counted first, to know how many bases there are.
  std::uint64_t run_count = 0, lower_count = 0;
  if (list_len > 0 && !get_varint(lp, list_end, run_count)) return false;
  if (run_count > len) return false;
  const unsigned char* const runs = lp;
  std::uint64_t others = 0, covered = 0;
  for (std::uint64_t r = 0; r < run_count; ++r) {
    std::uint64_t gap = 0, n = 0;
    if (!get_varint(lp, list_end, gap) || !get_varint(lp, list_end, n) || lp == list_end) {
      return false;
    }
    ++lp;
    if (n == 0 || gap > len || n > len - others || covered + gap + n > len) return false;
    others += n;
    covered += gap + n;
  }
  const std::uint64_t bases = len - others;
  if (static_cast<std::uint64_t>(end - p) != (bases + 3) / 4) return false;
  // The bases, unpacked where they go when there are no other bytes, else beside.
  thread_local std::string beside;
  unsigned char* b = dst;
  if (run_count > 0) {
    beside.resize(static_cast<std::size_t>(bases) + 4);
    b = reinterpret_cast<unsigned char*>(beside.data());
  }
  const std::uint64_t whole = bases / 4;
  for (std::uint64_t i = 0; i < whole; ++i) {
    const std::uint32_t four = kUnpack[p[i]];
    std::memcpy(b + 4 * i, &four, 4);
  }
  for (std::uint64_t i = whole * 4; i < bases; ++i) {
    b[i] = static_cast<unsigned char>("ACGT"[(p[i / 4] >> (2 * (i % 4))) & 3]);
  }
  if (list_len > 0 && !get_varint(lp, list_end, lower_count)) return false;
  std::uint64_t at = 0;
  for (std::uint64_t s = 0; s < lower_count; ++s) {
    std::uint64_t gap = 0, n = 0;
    if (!get_varint(lp, list_end, gap) || !get_varint(lp, list_end, n)) return false;
    if (n == 0 || gap > bases - at || n > bases - at - gap) return false;
    at += gap;
    for (std::uint64_t i = at; i < at + n; ++i) b[i] |= 0x20;
    at += n;
  }
  if (lp != list_end) return false;
  if (run_count == 0) return true;
  // Interleaves the bases with the runs of other bytes.
  const unsigned char* rp = runs;
  std::uint64_t from = 0;
  unsigned char* o = dst;
  for (std::uint64_t r = 0; r < run_count; ++r) {
    std::uint64_t gap = 0, n = 0;
    get_varint(rp, list_end, gap);
    get_varint(rp, list_end, n);
    std::memcpy(o, b + from, static_cast<std::size_t>(gap));
    o += gap;
    from += gap;
    std::memset(o, *rp++, static_cast<std::size_t>(n));
    o += n;
  }
  std::memcpy(o, b + from, static_cast<std::size_t>(bases - from));
  return true;
}

}  // namespace tavlo
