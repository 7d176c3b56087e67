// BGZF blocks: header parsing, checked inflation, the .gzi format, the index scan, random access.
#include "faidx/bgzf.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#if defined(TAVLO_HAVE_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#elif defined(TAVLO_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <fcntl.h>

#include "faidx/extract.hpp"
#include "faidx/file_io.hpp"
#include "faidx/pool.hpp"
#include "faidx/scan.hpp"

namespace tavlo {

namespace {

std::uint32_t le16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | static_cast<std::uint32_t>(u[1]) << 8;
}

std::uint32_t le32(const char* p) { return le16(p) | le16(p + 2) << 16; }

std::uint64_t le64(const char* p) {
  return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

void put_le64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

FaidxError block_error(const char* what, std::uint64_t at) {
  return FaidxError::io(std::string(what) + " at compressed offset " + std::to_string(at));
}

FaidxError truncated(std::uint64_t at) { return block_error("truncated BGZF block", at); }

#if defined(TAVLO_HAVE_ISAL)
// The state holds a 64 KiB history buffer of its own: on the heap, not in thread-local storage.
struct Inflater {
  std::unique_ptr<inflate_state> s{new (std::nothrow) inflate_state};
};
#elif defined(TAVLO_HAVE_LIBDEFLATE)
struct Inflater {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Inflater() { libdeflate_free_decompressor(d); }
};
#else
struct Inflater {
  z_stream z{};
  bool ready = inflateInit2(&z, -15) == Z_OK;
  ~Inflater() {
    if (ready) inflateEnd(&z);
  }
};
#endif

// Inflates the deflate data of a block into exactly `isize` bytes at `out` and checks them
// against the block's CRC32. Each thread keeps its own inflater.
Status inflate_into(std::string_view deflated, std::uint32_t crc, std::uint32_t isize, char* out,
                    std::uint64_t at) {
  thread_local Inflater inflater;
#if defined(TAVLO_HAVE_ISAL)
  if (!inflater.s) throw std::bad_alloc();
  inflate_state& st = *inflater.s;
  isal_inflate_init(&st);
  st.crc_flag = ISAL_DEFLATE;
  st.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(deflated.data()));
  st.avail_in = static_cast<std::uint32_t>(deflated.size());
  st.next_out = reinterpret_cast<std::uint8_t*>(out);
  st.avail_out = isize;
  // The stateless call stops at the final deflate block: OUT_OVERFLOW means more text than the
  // block declares, room left over means less.
  const int r = isal_inflate_stateless(&st);
  if (r == ISAL_OUT_OVERFLOW || (r == ISAL_DECOMP_OK && st.avail_out != 0)) {
    return block_error("corrupt BGZF block (uncompressed size mismatch)", at);
  }
  if (r != ISAL_DECOMP_OK) return block_error("corrupt BGZF block (bad deflate data)", at);
  if (crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(out), isize) != crc) {
    return block_error("corrupt BGZF block (CRC32 mismatch)", at);
  }
#elif defined(TAVLO_HAVE_LIBDEFLATE)
  if (inflater.d == nullptr) throw std::bad_alloc();
  std::size_t got = 0;
  const libdeflate_result r = libdeflate_deflate_decompress(inflater.d, deflated.data(),
                                                            deflated.size(), out, isize, &got);
  if (r == LIBDEFLATE_BAD_DATA) return block_error("corrupt BGZF block (bad deflate data)", at);
  if (r != LIBDEFLATE_SUCCESS || got != isize) {
    return block_error("corrupt BGZF block (uncompressed size mismatch)", at);
  }
  if (libdeflate_crc32(0, out, isize) != crc) {
    return block_error("corrupt BGZF block (CRC32 mismatch)", at);
  }
#else
  if (!inflater.ready) throw std::bad_alloc();
  z_stream& z = inflater.z;
  inflateReset(&z);
  // zlib never writes through next_out when avail_out is 0, so a spare byte lets it tell a
  // block that inflates to more than isize from one that ends exactly.
  char spare;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  z.avail_in = static_cast<uInt>(deflated.size());
  z.next_out = reinterpret_cast<Bytef*>(isize > 0 ? out : &spare);
  z.avail_out = isize;
  int r = inflate(&z, Z_FINISH);
  if (r == Z_BUF_ERROR && z.avail_out == 0) {
    z.next_out = reinterpret_cast<Bytef*>(&spare);
    z.avail_out = 1;
    r = inflate(&z, Z_FINISH);
    if (r == Z_STREAM_END || z.avail_out == 0) {
      return block_error("corrupt BGZF block (uncompressed size mismatch)", at);
    }
  }
  if (r != Z_STREAM_END) {
    return block_error(z.avail_out == 0 || z.avail_in > 0
                           ? "corrupt BGZF block (bad deflate data)"
                           : "corrupt BGZF block (uncompressed size mismatch)",
                       at);
  }
  if (z.total_out != isize) {
    return block_error("corrupt BGZF block (uncompressed size mismatch)", at);
  }
  if (crc32(0, reinterpret_cast<const Bytef*>(out), isize) != crc) {
    return block_error("corrupt BGZF block (CRC32 mismatch)", at);
  }
#endif
  return Ok{};
}

// The uncompressed size a block declares, checked against the limit.
Result<std::uint32_t> declared_size(std::string_view block, std::uint64_t at) {
  const std::uint32_t isize = le32(block.data() + block.size() - 4);
  if (isize > kBgzfMaxBlock) return block_error("corrupt BGZF block (uncompressed size)", at);
  return isize;
}

Status inflate_block_into(std::string_view block, const BgzfBlockHeader& h, std::uint64_t at,
                          std::uint32_t isize, char* out) {
  const std::string_view deflated = block.substr(h.header_size, h.block_size - h.header_size - 8);
  return inflate_into(deflated, le32(block.data() + h.block_size - 8), isize, out, at);
}

}  // namespace

Result<BgzfBlockHeader> parse_bgzf_header(std::string_view bytes, std::uint64_t at) {
  if (bytes.size() < 18) {
    if (bytes.size() >= 4 && (!is_gzip(bytes) || bytes[2] != 8 || (bytes[3] & 4) == 0)) {
      return block_error("invalid BGZF block header", at);
    }
    return truncated(at);
  }
  // Only FEXTRA may be set: the other optional fields would come between the header and the data.
  if (!is_gzip(bytes) || bytes[2] != 8 || bytes[3] != 4) {
    return block_error("invalid BGZF block header", at);
  }
  const std::uint32_t xlen = le16(bytes.data() + 10);
  const std::uint32_t header_size = 12 + xlen;
  if (header_size > bytes.size()) return truncated(at);
  for (std::uint32_t p = 12; p + 4 <= header_size;) {
    const std::uint32_t slen = le16(bytes.data() + p + 2);
    if (bytes[p] == 'B' && bytes[p + 1] == 'C' && slen == 2 && p + 6 <= header_size) {
      const std::uint32_t block_size = le16(bytes.data() + p + 4) + 1;
      // The smallest deflate stream is two bytes; then CRC32 and ISIZE.
      if (block_size < header_size + 2 + 8) return block_error("invalid BGZF block header", at);
      return BgzfBlockHeader{header_size, block_size};
    }
    p += 4 + slen;
  }
  return block_error("invalid BGZF block header", at);
}

bool is_bgzf(std::string_view head) { return parse_bgzf_header(head, 0).ok(); }

Status inflate_bgzf_block(std::string_view block, std::uint64_t at, std::string& out) {
  auto h = parse_bgzf_header(block, at);
  if (!h) return std::move(h).error();
  if (h->block_size > block.size()) return truncated(at);
  block = block.substr(0, h->block_size);
  auto isize = declared_size(block, at);
  if (!isize) return std::move(isize).error();
  // The inflater writes every byte: no zero-fill first. GCC 12's library may pass a larger size
  // than the one asked for (the grown capacity), so the operation returns its own.
  Status status = Ok{};
  out.resize_and_overwrite(*isize, [&](char* p, std::size_t) -> std::size_t {
    status = inflate_block_into(block, *h, at, *isize, p);
    return status ? *isize : 0;
  });
  return status;
}

const char* bgzf_inflater() {
#if defined(TAVLO_HAVE_ISAL)
  return "isal";
#elif defined(TAVLO_HAVE_LIBDEFLATE)
  return "libdeflate";
#else
  return "zlib";
#endif
}

Result<std::vector<GziEntry>> parse_gzi(std::string_view bytes) {
  static const char* const kBad = "invalid .gzi index";
  if (bytes.size() < 8) return FaidxError::io(kBad);
  const std::uint64_t count = le64(bytes.data());
  if (count > (bytes.size() - 8) / 16 || 8 + count * 16 != bytes.size()) {
    return FaidxError::io(kBad);
  }
  std::vector<GziEntry> out(static_cast<std::size_t>(count));
  const char* p = bytes.data() + 8;
  if constexpr (std::endian::native == std::endian::little && sizeof(GziEntry) == 16) {
    if (count > 0) std::memcpy(out.data(), p, static_cast<std::size_t>(count) * 16);
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {le64(p + 16 * i), le64(p + 16 * i + 8)};
  }
  GziEntry prev{0, 0};
  for (const GziEntry& e : out) {
    if (e.coff <= prev.coff || e.uoff < prev.uoff || e.uoff - prev.uoff > kBgzfMaxBlock) {
      return FaidxError::io(kBad);
    }
    prev = e;
  }
  return out;
}

std::string format_gzi(const std::vector<GziEntry>& entries) {
  std::string out;
  out.reserve(8 + 16 * entries.size());
  put_le64(out, entries.size());
  for (const auto& e : entries) {
    put_le64(out, e.coff);
    put_le64(out, e.uoff);
  }
  return out;
}

namespace {

struct PendingBlock {
  std::size_t at;  // in the stretch
  BgzfBlockHeader header;
  std::uint32_t isize;
  std::size_t text_at;  // in the text buffer
};

// Feeds the complete lines of text[0, n) to the scanner a slice at a time (so that the scanner's
// checks of a slice stay in cache); returns how many bytes it took.
Result<std::size_t> feed_lines(FastaScanner& scanner, const char* text, std::size_t n) {
  constexpr std::size_t kSlice = 1 << 20;
  std::size_t at = 0;
  while (at < n) {
    const std::size_t len = std::min(kSlice, n - at);
    auto used = scanner.feed(std::string_view(text + at, len), false);
    if (!used) return std::move(used).error();
    at += *used;
    if (*used == 0) {
      if (len == n - at) break;  // an incomplete line: wait for more text
      // A line longer than a slice: take it whole when it ends in this text.
      const void* nl = std::memchr(text + at, '\n', n - at);
      if (nl == nullptr) break;
      const std::size_t whole = static_cast<const char*>(nl) - (text + at) + 1;
      auto taken = scanner.feed(std::string_view(text + at, whole), false);
      if (!taken) return std::move(taken).error();
      at += *taken;
      if (*taken == 0) break;
    }
  }
  return at;
}

// Walks the block headers of one stretch of compressed bytes that starts at `coff`: the blocks
// it holds whole go to `blocks` (their text laid out after `text_at` bytes), the .gzi pairs of
// those that hold text to `gzi`. Returns the bytes of the stretch walked.
Result<std::size_t> walk_stretch(std::string_view stretch, std::uint64_t coff, bool full,
                                 std::size_t text_at, std::uint64_t& uoff, bool& first_data,
                                 std::vector<PendingBlock>& blocks, std::vector<GziEntry>& gzi) {
  std::size_t at = 0;
  while (at < stretch.size()) {
    auto h = parse_bgzf_header(stretch.substr(at), coff + at);
    if (!h) {
      // A block cut by the end of the stretch is read again from its start with the next one.
      if (full && stretch.size() - at < kBgzfMaxBlock) break;
      return std::move(h).error();
    }
    if (h->block_size > stretch.size() - at) {
      if (full) break;
      return truncated(coff + at);
    }
    auto isize = declared_size(stretch.substr(at, h->block_size), coff + at);
    if (!isize) return std::move(isize).error();
    if (*isize > 0) {
      if (!first_data) gzi.push_back(GziEntry{coff + at, uoff});
      first_data = false;
    }
    blocks.push_back(PendingBlock{at, *h, *isize, text_at});
    text_at += *isize;
    uoff += *isize;
    at += h->block_size;
  }
  if (at == 0) return truncated(coff);  // cannot happen: a stretch holds a whole block
  return at;
}

// Inflates `blocks` of `stretch` (at `coff`) into their places in `text`, in parallel on the
// worker pool; the first failure in file order is returned.
Status inflate_stretch(std::string_view stretch, std::uint64_t coff,
                       const std::vector<PendingBlock>& blocks, std::string& text) {
  std::vector<std::optional<FaidxError>> failures(blocks.size());
  parallel_for(blocks.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const PendingBlock& b = blocks[k];
      Status s = inflate_block_into(stretch.substr(b.at, b.header.block_size), b.header,
                                    coff + b.at, b.isize, text.data() + b.text_at);
      if (!s) failures[k] = std::move(s).error();
    }
  });
  for (auto& f : failures) {
    if (f) return std::move(*f);
  }
  return Ok{};
}

}  // namespace

Result<BgzfScan> scan_bgzf(const CompressedBytes& file, bool inflate, bool bytewise) {
  // Stretches of this many compressed bytes are read (and inflated in parallel) at a time.
  constexpr std::size_t kStretch = 4 << 20;
  std::string buffer;
  BgzfScan scan;
  FastaScanner scanner(0, bytewise);
  bool first_data = true;
  std::uint64_t coff = 0, uoff = 0;
  std::string text;        // unscanned text carried over, then the stretch's text
  std::size_t carry = 0;   // bytes of `text` carried over
  std::size_t clean = 0;   // bytes at the start of `text` known to hold no line feed
  std::vector<PendingBlock> blocks;
  while (coff < file.size) {
    auto got = file.get(coff, kStretch, buffer);
    if (!got) return std::move(got).error();
    const std::string_view stretch = *got;
    blocks.clear();
    const std::uint64_t uoff_before = uoff;
    auto walked = walk_stretch(stretch, coff, stretch.size() == kStretch, carry, uoff,
                               first_data, blocks, scan.gzi);
    if (!walked) return std::move(walked).error();
    if (inflate) {
      const std::size_t text_size = carry + static_cast<std::size_t>(uoff - uoff_before);
      // The blocks overwrite all of it (and a failure discards it): no zero-fill first. GCC 12's
      // library hands the operation the grown capacity, not the size asked for: that is ignored.
      text.resize_and_overwrite(text_size, [&](char*, std::size_t) { return text_size; });
      if (Status s = inflate_stretch(stretch, coff, blocks, text); !s) return std::move(s).error();
      // A line that goes on over many stretches (an unwrapped chromosome) is searched once,
      // not again with every stretch added to it.
      if (std::memchr(text.data() + clean, '\n', text.size() - clean) == nullptr) {
        clean = carry = text.size();
      } else {
        auto used = feed_lines(scanner, text.data(), text.size());
        if (!used) return std::move(used).error();
        carry = text.size() - *used;
        std::memmove(text.data(), text.data() + *used, carry);
        text.resize(carry);
        clean = 0;
      }
    }
    coff += *walked;
  }
  if (inflate) {
    auto used = scanner.feed(std::string_view(text.data(), carry), true);
    if (!used) return std::move(used).error();
    scan.listing = scanner.take_listing();
  }
  return scan;
}

Result<std::vector<GziEntry>> read_gzi(const std::string& path) {
  auto failed = [&](int err) {
    return FaidxError::io("cannot read " + path + ": " + FaidxError::io_errno(err).payload());
  };
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return failed(errno);
  std::string bytes;
  if (Status r = read_all(fd.get(), bytes); !r) return failed(r.error().os_errno);
  auto parsed = parse_gzi(bytes);
  if (!parsed) return FaidxError::io(parsed.error().text + " " + path);
  return parsed;
}

BgzfReader::BgzfReader(const CompressedBytes& file, std::vector<GziEntry> gzi)
    : file_(file), gzi_(std::move(gzi)), slots_(new Slot[kCacheSlots]) {
  std::call_once(loaded_, [] {});
  bound_ = (gzi_.empty() ? 0 : gzi_.back().uoff) + kBgzfMaxBlock;
}

BgzfReader::BgzfReader(const CompressedBytes& file, std::string gzi_path)
    : file_(file), gzi_path_(std::move(gzi_path)), slots_(new Slot[kCacheSlots]) {}

Status BgzfReader::covers_file() const {
  // The last pair's block may hold text; every block after it must be empty (the end-of-file
  // marker). Otherwise the text after the last pair would be cut off: a .gzi that lists only
  // some blocks would give empty or short sequences. A damaged block ends the check: the reads
  // that reach it report it, while those before it still succeed.
  std::string buffer;
  std::uint64_t c = gzi_.empty() ? 0 : gzi_.back().coff;
  for (bool first = true; c < file_.size; first = false) {
    auto got = file_.get(c, kBgzfMaxBlock, buffer);
    if (!got) return std::move(got).error();
    auto h = parse_bgzf_header(*got, c);
    if (!h || h->block_size > got->size()) break;
    auto isize = declared_size(got->substr(0, h->block_size), c);
    if (!isize) break;
    if (!first && *isize > 0) {
      return FaidxError::io("the .gzi index " + (gzi_path_.empty() ? "" : gzi_path_ + " ") +
                            "does not list every block of the BGZF file (damaged, or made for "
                            "another file): remove it so that it is built again");
    }
    c += h->block_size;
  }
  return Ok{};
}

Status BgzfReader::load() const {
  std::call_once(loaded_, [this] {
    auto pairs = read_gzi(gzi_path_);
    if (!pairs) {
      load_error_ = std::make_unique<FaidxError>(std::move(pairs).error());
      return;
    }
    gzi_ = std::move(*pairs);
    bound_ = (gzi_.empty() ? 0 : gzi_.back().uoff) + kBgzfMaxBlock;
    if (Status s = covers_file(); !s) {
      load_error_ = std::make_unique<FaidxError>(std::move(s).error());
    }
  });
  if (load_error_) return *load_error_;
  return Ok{};
}

BgzfReader::BlockRef BgzfReader::cached(Slot& slot, std::uint64_t coff) {
  // A slot is only ever tried, never waited for: a slot held by another thread costs one
  // inflation, and one left locked by a thread that vanished in fork() cannot hang the child.
  if (!slot.mutex.try_lock()) return nullptr;
  BlockRef block = slot.block;
  slot.mutex.unlock();
  return block && block->coff == coff ? block : nullptr;
}

Result<BgzfReader::BlockRef> BgzfReader::inflate_to_slot(std::uint64_t coff, Slot& slot) const {
  thread_local std::string buffer;
  if (coff >= file_.size) return truncated(coff);
  // Ranges are read for the block's own bytes only (its header first): a remote source would
  // otherwise fetch part of the next blocks too.
  std::size_t n = kBgzfMaxBlock;
  if (file_.ranges != nullptr) {
    auto head = file_.get(coff, 18, buffer);  // 12 bytes and BGZF's usual 6 of extra field
    if (!head) return std::move(head).error();
    if (auto h = parse_bgzf_header(*head, coff)) n = h->block_size;
  }
  auto got = file_.get(coff, n, buffer);
  if (!got) return std::move(got).error();
  const std::string_view bytes = *got;
  auto block = std::make_shared<BgzfBlock>();
  if (Status s = inflate_bgzf_block(bytes, coff, block->data); !s) return std::move(s).error();
  block->coff = coff;
  block->block_size = parse_bgzf_header(bytes, coff)->block_size;
  BlockRef ref(std::move(block));
  if (slot.mutex.try_lock()) {
    BlockRef old = std::exchange(slot.block, ref);
    slot.mutex.unlock();
  }
  return ref;
}

Result<BgzfReader::BlockRef> BgzfReader::block_at(std::uint64_t coff, std::size_t hint,
                                                  std::size_t pair) const {
  Slot& slot = slots_[hint % kCacheSlots];
  if (BlockRef hit = cached(slot, coff)) return hit;
  constexpr std::size_t kNoPair = static_cast<std::size_t>(-1);
  // Inside a batch every worker already inflates blocks of its own, in file order.
  if (pair == kNoPair || inside_parallel_for()) return inflate_to_slot(coff, slot);
  constexpr std::size_t kMaxAhead = 8;
  std::size_t ahead = 0;
  if (next_miss_.load(std::memory_order_relaxed) == pair) {
    // Pair j (j >= 1) is gzi_[j - 1]: the pairs after this one that exist.
    // A few blocks per worker, so that waking the workers costs little beside the inflations.
    ahead = std::min({4 * worker_count(), kMaxAhead, gzi_.size() - pair + 1}) - 1;
  }
  next_miss_.store(pair + 1 + ahead, std::memory_order_relaxed);
  if (ahead == 0) return inflate_to_slot(coff, slot);
  std::uint64_t coffs[kMaxAhead] = {coff};
  std::size_t hints[kMaxAhead] = {hint};
  std::size_t count = 1;
  for (std::size_t j = pair + 1; j <= pair + ahead; ++j) {
    const std::uint64_t c = gzi_[j - 1].coff;
    if (!cached(slots_[j % kCacheSlots], c)) {
      coffs[count] = c;
      hints[count++] = j;
    }
  }
  // Only this block's outcome matters here: a block read ahead that fails is not cached, and
  // its error comes from the fetch that needs it.
  // A pool busy with another call (a long batch) is not waited for: this block alone, here.
  std::optional<Result<BlockRef>> wanted;
  const bool ran = parallel_for_if_idle(count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      auto r = inflate_to_slot(coffs[k], slots_[hints[k] % kCacheSlots]);
      if (k == 0) wanted.emplace(std::move(r));
    }
  });
  if (!ran) return inflate_to_slot(coff, slot);
  return std::move(*wanted);
}

Status BgzfReader::append_text(std::uint64_t a, std::uint64_t stop, std::size_t want,
                               std::string& out) const {
  if (Status s = load(); !s) return s;
  if (a >= stop || out.size() >= want) return Ok{};
  // The last pair at or before `a` (pair 0 is the implied (0, 0), pair k is gzi_[k - 1]); the
  // blocks after it are walked in file order.
  auto it = std::upper_bound(gzi_.begin(), gzi_.end(), a,
                             [](std::uint64_t v, const GziEntry& e) { return v < e.uoff; });
  std::size_t i = static_cast<std::size_t>(it - gzi_.begin());
  std::uint64_t c = i == 0 ? 0 : gzi_[i - 1].coff, u = i == 0 ? 0 : gzi_[i - 1].uoff;
  std::size_t hint = i;
  while (out.size() < want && u < stop) {
    // The end of the file ends the text only past the last pair: a block the .gzi lists but the
    // file lacks means it was cut short.
    const bool listed = i < gzi_.size() || (i > 0 && gzi_[i - 1].coff >= c);
    if (c >= file_.size && !listed) break;
    // The block of pair i when the walk stands at its start (the implied pair 0 included);
    // blocks that the .gzi does not list (empty ones) have no pair.
    const bool at_pair = c == (i == 0 ? 0 : gzi_[i - 1].coff);
    auto block = block_at(c, hint, at_pair ? i : static_cast<std::size_t>(-1));
    if (!block) return std::move(block).error();
    const std::string& data = (*block)->data;
    if (a < u + data.size()) {
      const std::uint64_t from = std::max(a, u) - u;
      const std::uint64_t to = std::min<std::uint64_t>(stop, u + data.size()) - u;
      append_residues(data.data() + from, static_cast<std::size_t>(to - from), out, want);
    }
    c += (*block)->block_size;
    u += data.size();
    ++hint;
    if (i < gzi_.size() && c >= gzi_[i].coff) {
      if (c != gzi_[i].coff || u != gzi_[i].uoff) {
        return block_error("the .gzi index does not match the BGZF block", gzi_[i].coff);
      }
      hint = ++i;
    }
  }
  return Ok{};
}

}  // namespace tavlo
