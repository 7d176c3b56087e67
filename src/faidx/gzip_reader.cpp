// Random access to plain gzip text: resuming inflation at checkpoints, a cache of stretches.
#include "faidx/gzip_reader.hpp"

#include <algorithm>
#include <cstring>

#if defined(TAVLO_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#include "faidx/extract.hpp"

namespace tavlo {

namespace {

FaidxError at_offset(const char* what, std::uint64_t at) {
  return FaidxError::io(std::string(what) + " at compressed offset " + std::to_string(at));
}

constexpr std::size_t kFeed = 1 << 20;    // input handed to the inflater at a time (no map)
constexpr std::size_t kStep = 32 << 10;   // text inflated beyond what a read needs
constexpr std::size_t kHold = 512 << 10;  // text a slot keeps behind the read in its stretch

}  // namespace

// ISA-L resumes at any bit with its input bit buffer primed and the window set as a dictionary;
// zlib does the same through inflatePrime and inflateSetDictionary.
#if defined(TAVLO_HAVE_ISAL)
struct GzipCursor::Engine {
  inflate_state s;
  const std::uint8_t* base = nullptr;  // where the input handed over starts

  void begin(std::string_view window) {
    isal_inflate_init(&s);
    s.crc_flag = ISAL_DEFLATE;
    if (!window.empty()) {
      isal_inflate_set_dict(&s, reinterpret_cast<std::uint8_t*>(const_cast<char*>(window.data())),
                            static_cast<std::uint32_t>(window.size()));
    }
  }
  void prime(unsigned bits, unsigned value) {
    s.read_in = value;
    s.read_in_length = static_cast<std::int32_t>(bits);
  }
  void feed(std::string_view in) {
    base = reinterpret_cast<const std::uint8_t*>(in.data());
    s.next_in = const_cast<std::uint8_t*>(base);
    s.avail_in = static_cast<std::uint32_t>(in.size());
  }
  std::uint32_t avail_in() const { return s.avail_in; }
  // Inflates into [out, out + n); the bytes made, or -1 on bad data. `done` on the stream's end.
  long run(char* out, std::size_t n, bool& done) {
    s.next_out = reinterpret_cast<std::uint8_t*>(out);
    s.avail_out = static_cast<std::uint32_t>(n);
    const int r = isal_inflate(&s);
    if (r < 0) return -1;
    done = s.block_state == ISAL_BLOCK_FINISH;
    return static_cast<long>(n - s.avail_out);
  }
  // Input bytes taken but not used by the ended stream (whole bytes left in the bit buffer).
  std::uint32_t unused_at_end() const {
    return static_cast<std::uint32_t>(s.read_in_length > 0 ? s.read_in_length / 8 : 0);
  }
};
#else
struct GzipCursor::Engine {
  z_stream z{};
  Engine() {
    if (inflateInit2(&z, -15) != Z_OK) throw std::bad_alloc();
  }
  ~Engine() { inflateEnd(&z); }

  void begin(std::string_view w) {
    inflateReset(&z);
    if (!w.empty()) {
      inflateSetDictionary(&z, reinterpret_cast<const Bytef*>(w.data()),
                           static_cast<uInt>(w.size()));
    }
  }
  void prime(unsigned bits, unsigned value) { inflatePrime(&z, static_cast<int>(bits), value); }
  void feed(std::string_view in) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
  }
  std::uint32_t avail_in() const { return z.avail_in; }
  long run(char* out, std::size_t n, bool& done) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(n);
    const int r = inflate(&z, Z_NO_FLUSH);
    if (r == Z_MEM_ERROR) throw std::bad_alloc();
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return -1;
    done = r == Z_STREAM_END;
    return static_cast<long>(n - z.avail_out);
  }
  std::uint32_t unused_at_end() const { return 0; }
};
#endif

GzipCursor::GzipCursor(const CompressedBytes& file) : in_(file), engine_(new Engine) {}

GzipCursor::~GzipCursor() = default;

Result<bool> GzipCursor::refill() {
  auto got = in_.get(fed_end_, kFeed);
  if (!got) return std::move(got).error();
  if (got->empty()) return false;
  const std::string_view part = got->substr(0, std::min<std::size_t>(got->size(), 1u << 30));
  engine_->feed(part);
  fed_end_ += part.size();
  return true;
}

Status GzipCursor::begin_at(std::uint64_t bit, std::string_view window, std::uint64_t header_at,
                            std::uint32_t header_len) {
  engine_->begin(window);
  ended_ = false;
  // The inflater is handed one stream of bits: the block's header (when the point is inside a
  // block), then the bits from the point to the next byte boundary, then the file's bytes from
  // there on. The first bits (a count that makes the rest whole bytes) are primed apart.
  const std::uint64_t aligned = (bit + 7) / 8;
  const std::uint64_t lead_bits = header_len + (aligned * 8 - bit);
  const unsigned prime = static_cast<unsigned>(lead_bits % 8);
  lead_.assign(static_cast<std::size_t>((lead_bits + 7) / 8), '\0');
  std::uint64_t put = (8 - prime) % 8;  // the stream's first bits go to the top of byte 0
  auto copy_bits = [&](std::uint64_t from, std::uint64_t n) -> Status {
    if (n == 0) return Ok{};
    auto got = in_.get(from / 8, static_cast<std::size_t>((from % 8 + n + 7) / 8));
    if (!got) return std::move(got).error();
    if (got->size() < (from % 8 + n + 7) / 8) return at_offset("truncated gzip file", from / 8);
    const auto* src = reinterpret_cast<const unsigned char*>(got->data());
    for (std::uint64_t i = 0; i < n; ++i, ++put) {
      const std::uint64_t b = from % 8 + i;
      const unsigned v = (src[b / 8] >> (b % 8)) & 1u;
      lead_[static_cast<std::size_t>(put / 8)] |= static_cast<char>(v << (put % 8));
    }
    return Ok{};
  };
  if (Status s = copy_bits(header_at, header_len); !s) return s;
  if (Status s = copy_bits(bit, aligned * 8 - bit); !s) return s;
  fed_end_ = aligned;
  std::string_view bytes(lead_);
  unsigned first = 0;
  if (prime != 0) {
    first = static_cast<unsigned char>(bytes[0]) >> (8 - prime);
    bytes.remove_prefix(1);
  }
  if (!bytes.empty()) {
    engine_->feed(bytes);
  } else {
    auto more = refill();
    if (!more) return std::move(more).error();
    if (!*more) engine_->feed(std::string_view());
  }
  if (prime != 0) engine_->prime(prime, first);
  return Ok{};
}

Status GzipCursor::start(const GzipIndex& index, std::size_t k) {
  const GzipPoint& p = index.points[k];
  if (Status s = load_window(index, p, window_); !s) return s;
  return begin_at(p.bit, window_, p.header_at, p.header_len);
}

Status GzipCursor::next_member_after(std::uint64_t end) {
  auto next = next_member(in_, end + 8);
  if (!next) return std::move(next).error();
  if (!*next) {
    ended_ = true;
    return Ok{};
  }
  return begin_at(**next * 8, std::string_view());
}

Status GzipCursor::produce(std::string& out, std::size_t n) {
  const std::size_t goal = out.size() + n;
  while (!ended_ && out.size() < goal) {
    if (engine_->avail_in() == 0) {
      auto more = refill();
      if (!more) return std::move(more).error();
      if (!*more) return at_offset("truncated gzip file", fed_end_);
    }
    const std::size_t at = out.size();
    const std::size_t room = std::max<std::size_t>(goal - at, 4096);
    // The inflater writes every byte it reports: no zero-fill first.
    bool done = false;
    long made = 0;
    out.resize_and_overwrite(at + room, [&](char* p, std::size_t) -> std::size_t {
      made = engine_->run(p + at, room, done);
      return at + static_cast<std::size_t>(std::max<long>(made, 0));
    });
    const std::uint64_t byte = fed_end_ - engine_->avail_in();
    if (made < 0) return at_offset("corrupt gzip data", byte);
    if (done) {
      if (Status s = next_member_after(byte - engine_->unused_at_end()); !s) return s;
    } else if (made == 0 && engine_->avail_in() != 0) {
      return at_offset("corrupt gzip data", byte);
    }
  }
  return Ok{};
}

GzipReader::GzipReader(const CompressedBytes& file, const struct stat& st, GzipIndex index)
    : file_(file), st_(st), index_(std::move(index)), slots_(new Slot[kCacheSlots]) {
  std::call_once(loaded_, [] {});
}

GzipReader::GzipReader(const CompressedBytes& file, const struct stat& st, std::string index_path)
    : file_(file),
      st_(st),
      index_path_(std::move(index_path)),
      slots_(new Slot[kCacheSlots]) {}

GzipReader::~GzipReader() = default;

Status GzipReader::load() const {
  std::call_once(loaded_, [this] {
    auto ix = read_gzip_index(index_path_, st_);
    if (!ix) {
      load_error_ = std::make_unique<FaidxError>(std::move(ix).error());
      return;
    }
    index_ = std::move(*ix);
  });
  if (load_error_) return *load_error_;
  return Ok{};
}

Status GzipReader::fill(Slot& slot, std::size_t k, std::uint64_t a, std::uint64_t stop) const {
  const auto failed = [&](Status s) {
    slot.point = static_cast<std::size_t>(-1);
    return s;
  };
  // A read that goes on in the stretch inflates a little ahead, for the next one; a fresh start
  // inflates only what this read needs.
  std::size_t ahead = kStep;
  if (slot.point != k || a < slot.base || !slot.cursor) {
    if (!slot.cursor) slot.cursor = std::make_unique<GzipCursor>(file_);
    slot.point = static_cast<std::size_t>(-1);
    slot.text.clear();
    if (Status s = slot.cursor->start(index_, k); !s) return s;
    slot.point = k;
    slot.base = index_.points[k].uoff;
    ahead = 0;
  }
  // Text more than kHold behind the read is dropped (reads that go back start again at the
  // point), and a long way to the read is inflated a piece at a time, so that a slot holds about
  // kHold bytes however far apart the checkpoints are. The cursor stays at base + text.size().
  const auto drop_before = [&](std::uint64_t at) {
    if (at - slot.base < kHold) return;
    const std::uint64_t drop = std::min<std::uint64_t>(at - slot.base, slot.text.size());
    slot.text.erase(0, static_cast<std::size_t>(drop));
    slot.base += drop;
  };
  drop_before(a);
  while (slot.base + slot.text.size() < a && !slot.cursor->ended()) {
    const std::uint64_t gap = a - (slot.base + slot.text.size());
    if (Status s = slot.cursor->produce(slot.text, std::min<std::uint64_t>(gap, kHold)); !s) {
      return failed(std::move(s));
    }
    drop_before(a);
  }
  const std::uint64_t have = slot.base + slot.text.size();
  if (have < stop && !slot.cursor->ended()) {
    if (slot.text.empty()) slot.text.reserve(static_cast<std::size_t>(stop - have) + ahead);
    Status s = slot.cursor->produce(slot.text, static_cast<std::size_t>(stop - have) + ahead);
    if (!s) return failed(std::move(s));
  }
  return Ok{};
}

Result<bool> GzipReader::read_stretch(std::size_t k, std::uint64_t a, std::uint64_t stop,
                                      std::size_t want, std::string& out) const {
  Slot& slot = slots_[k % kCacheSlots];
  std::unique_lock lock(slot.mutex, std::try_to_lock);
  Slot* use = &slot;
  thread_local Slot own;  // for a busy slot: this thread's own, never shared
  if (!lock.owns_lock()) {
    use = &own;
    own.point = static_cast<std::size_t>(-1);
    if (own.cursor) own.cursor.reset();
  }
  // A piece at a time, so that a long read keeps no more than about kHold bytes in the slot.
  while (a < stop && out.size() < want) {
    const std::uint64_t piece = std::min<std::uint64_t>(stop, a + kHold);
    if (Status s = fill(*use, k, a, piece); !s) return std::move(s).error();
    const std::uint64_t end = std::min<std::uint64_t>(piece, use->base + use->text.size());
    if (a < end) {
      append_residues(use->text.data() + (a - use->base), static_cast<std::size_t>(end - a), out,
                      want);
    }
    if (end < piece) return false;
    a = end;
  }
  return true;
}

Status GzipReader::append_text(std::uint64_t a, std::uint64_t stop, std::size_t want,
                               std::string& out) const {
  if (Status s = load(); !s) return s;
  const auto& pts = index_.points;
  stop = std::min(stop, index_.text_size);
  // The last point at or before `a`; the stretches after it are walked in order.
  auto it = std::upper_bound(pts.begin(), pts.end(), a,
                             [](std::uint64_t v, const GzipPoint& p) { return v < p.uoff; });
  std::size_t k = static_cast<std::size_t>(it - pts.begin()) - 1;
  while (out.size() < want && a < stop) {
    const std::uint64_t stretch_end = k + 1 < pts.size() ? pts[k + 1].uoff : index_.text_size;
    if (a < stretch_end) {
      const std::uint64_t to = std::min(stop, stretch_end);
      auto whole = read_stretch(k, a, to, want, out);
      if (!whole) return std::move(whole).error();
      // Text that ends before the index says it does: the file is not the one indexed.
      if (!*whole) return FaidxError::io("the gzip text ends before its checkpoint index says");
      a = to;
    }
    if (++k == pts.size()) break;
  }
  return Ok{};
}

}  // namespace tavlo
