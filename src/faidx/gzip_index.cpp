// Plain gzip files: member headers, the checkpointing pass, the .gzidx and GZIDX formats.
#include "faidx/gzip_index.hpp"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#if defined(TAVLO_HAVE_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include "faidx/file_io.hpp"
#include "faidx/pool.hpp"
#include "faidx/scan.hpp"
#include "faidx/window_codec.hpp"

namespace tavlo {

namespace {

std::uint32_t le32(const unsigned char* u) {
  return static_cast<std::uint32_t>(u[0]) | static_cast<std::uint32_t>(u[1]) << 8 |
         static_cast<std::uint32_t>(u[2]) << 16 | static_cast<std::uint32_t>(u[3]) << 24;
}
std::uint64_t le64(const unsigned char* u) {
  return static_cast<std::uint64_t>(le32(u)) | static_cast<std::uint64_t>(le32(u + 4)) << 32;
}
void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

FaidxError at_offset(const char* what, std::uint64_t at) {
  return FaidxError::io(std::string(what) + " at compressed offset " + std::to_string(at));
}

std::uint32_t crc_of(std::uint32_t crc, const char* p, std::size_t n) {
#if defined(TAVLO_HAVE_ISAL)
  return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(p), n);
#else
  while (n > 0) {  // zlib takes a uInt length
    const auto part = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(p), part));
    p += part;
    n -= part;
  }
  return crc;
#endif
}

// A raw-deflate zlib stream, released however the pass ends.
struct ZInflate {
  z_stream z{};
  bool ready = inflateInit2(&z, -15) == Z_OK;
  ~ZInflate() {
    if (ready) inflateEnd(&z);
  }
};

// Where checkpoints go: at least kMinText bytes of text apart, as soon as the windows stored so
// far and the next one cost at most a seventh of the compressed bytes read (so the index stays
// below 15 % of the file), and at least every kMaxText bytes of text.
constexpr std::uint64_t kMinText = 64 << 10;
constexpr std::uint64_t kMaxText = 1 << 20;

// Feeds the complete lines of the text gathered so far to the scanner and keeps the rest.
class TextFeed {
 public:
  explicit TextFeed(FastaScanner& scanner) : scanner_(scanner) {}

  // Room for at least `n` more bytes of text, written at tail().
  char* tail(std::size_t n) {
    if (buf_.size() - filled_ < n) buf_.resize(std::max(buf_.size() * 2, filled_ + n));
    return buf_.data() + filled_;
  }
  void added(std::size_t n) { filled_ += n; }

  Status flush(bool last) {
    if (last) {
      auto used = scanner_.feed(std::string_view(buf_.data(), filled_), true);
      if (!used) return std::move(used).error();
      filled_ = clean_ = 0;
      return Ok{};
    }
    // A line that runs over many rounds (an unwrapped chromosome) is searched once.
    if (std::memchr(buf_.data() + clean_, '\n', filled_ - clean_) == nullptr) {
      clean_ = filled_;
      return Ok{};
    }
    constexpr std::size_t kSlice = 1 << 20;  // the scanner's checks of a slice stay in cache
    std::size_t at = 0;
    while (at < filled_) {
      const std::size_t len = std::min(kSlice, filled_ - at);
      auto used = scanner_.feed(std::string_view(buf_.data() + at, len), false);
      if (!used) return std::move(used).error();
      if (*used == 0 && len < filled_ - at) {
        used = scanner_.feed(std::string_view(buf_.data() + at, filled_ - at), false);
        if (!used) return std::move(used).error();
      }
      if (*used == 0) break;
      at += *used;
    }
    std::memmove(buf_.data(), buf_.data() + at, filled_ - at);
    filled_ -= at;
    clean_ = 0;
    return Ok{};
  }

 private:
  FastaScanner& scanner_;
  std::string buf_;
  std::size_t filled_ = 0;
  std::size_t clean_ = 0;  // bytes at the start known to hold no line feed
};

// The text as the pass writes it: what is not yet handed to the scanner, after at least the last
// window's worth of the text before it, which restarts and checkpoints need.
class TextBuffer {
 public:
  // Room for at least `n` more bytes of text, written at tail().
  char* tail(std::size_t n) {
    if (buf_.size() - filled_ < n) buf_.resize(std::max(buf_.size() * 2, filled_ + n));
    return buf_.data() + filled_;
  }
  std::size_t room() const { return buf_.size() - filled_; }
  void added(std::size_t n) { filled_ += n; }
  std::size_t fresh() const { return filled_ - from_; }
  // The last `n` bytes added (no more than a window, nor than the text of the member).
  const unsigned char* back(std::size_t n) const {
    return reinterpret_cast<const unsigned char*>(buf_.data() + filled_ - n);
  }
  // Gives the buffer up (its text from the returned offset on not handed over yet) and goes on
  // in `next`, which starts with the last window's worth of it.
  std::pair<std::string, std::size_t> hand_over(std::string next) {
    const std::size_t keep = std::min<std::size_t>(filled_, kGzipWindow);
    if (next.size() < keep) next.resize(std::max<std::size_t>(keep, 1 << 20));
    std::memcpy(next.data(), buf_.data() + filled_ - keep, keep);
    buf_.resize(filled_);
    std::pair<std::string, std::size_t> out(std::move(buf_), from_);
    buf_ = std::move(next);
    filled_ = from_ = keep;
    return out;
  }

 private:
  std::string buf_;
  std::size_t filled_ = 0;
  std::size_t from_ = 0;  // where the text not handed over starts
};

// The other core's share of the pass: scanning the text and deflating the windows, in the order
// they are handed over, on a thread of its own (inline where the process has one processor).
// A checkpoint's spacing depends on the sizes of the windows stored before it, so stored() waits
// for them (all but the last two): the index is the same however the two threads run.
class PassWorker {
 public:
  explicit PassWorker(FastaScanner* scanner) : scanner_(scanner) {
    if (scanner_ != nullptr) feed_.emplace(*scanner_);
    threaded_ = worker_count() > 1;
  }
  ~PassWorker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  PassWorker(const PassWorker&) = delete;
  PassWorker& operator=(const PassWorker&) = delete;

  bool scanning() const { return scanner_ != nullptr; }
  // A buffer to write text on in: one the worker is done with, when there is one.
  std::string spare() {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return std::string();
    std::string s = std::move(spares_.back());
    spares_.pop_back();
    return s;
  }
  // Hands over the text of `chunk` from its offset on, to scan; fails once the scan has.
  Status text(std::pair<std::string, std::size_t> chunk) {
    if (failed_) {
      std::string windows;
      std::vector<std::uint32_t> sizes;
      return finish(windows, sizes);
    }
    post(Job{std::move(chunk.first), chunk.second, false});
    return Ok{};
  }
  // Hands over a window to deflate and store.
  void window(const unsigned char* p, std::uint32_t n) {
    {
      std::lock_guard lock(mutex_);
      ++windows_sent_;
    }
    post(Job{std::string(reinterpret_cast<const char*>(p), n), 0, true});
  }
  // What the windows handed over cost stored, judged by all but the last two (waiting for those
  // to be stored), each of the two counted at the size of the one before them; and that size.
  std::pair<std::uint64_t, std::uint64_t> stored() {
    std::unique_lock lock(mutex_);
    const std::size_t known = windows_sent_ > 2 ? windows_sent_ - 2 : windows_sent_;
    idle_.wait(lock, [&] { return sizes_.size() >= known || failed_; });
    if (failed_ || known == 0) return {0, 0};
    const std::uint64_t last = sizes_[known - 1];
    return {stored_[known - 1] + (windows_sent_ - known) * last, last};
  }
  // Waits for all work, feeds the scanner the end of the text, and gives the windows and their
  // sizes, or the first error.
  Status finish(std::string& windows, std::vector<std::uint32_t>& sizes) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return texts_.empty() && windows_q_.empty() && !busy_; });
    if (thrown_) std::rethrow_exception(thrown_);
    if (error_) return std::move(*error_);
    if (feed_) {
      if (Status s = feed_->flush(true); !s) return s;
    }
    windows = std::move(windows_);
    sizes = std::move(sizes_);
    return Ok{};
  }

 private:
  struct Job {
    std::string bytes;
    std::size_t from;
    bool window;
  };

  void post(Job&& job) {
    if (!threaded_) return run(job);
    {
      std::unique_lock lock(mutex_);
      // The pass stays at most a few chunks of text ahead of the scanner.
      if (!job.window) idle_.wait(lock, [&] { return texts_.size() < 8; });
      (job.window ? windows_q_ : texts_).push_back(std::move(job));
      if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    }
    wake_.notify_one();
  }

  void loop() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return stopping_ || !texts_.empty() || !windows_q_.empty(); });
      if (stopping_) return;  // what is left is of a pass given up
      // Windows first: the pass waits for their sizes, never for the scan.
      std::deque<Job>& queue = windows_q_.empty() ? texts_ : windows_q_;
      Job job = std::move(queue.front());
      queue.pop_front();
      busy_ = true;
      lock.unlock();
      run(job);
      lock.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }

  // Does one job (on the worker, or inline).
  void run(Job& job) {
    if (failed_) return;
    try {
      if (job.window) {
        const std::uint32_t size = store_window(
            reinterpret_cast<const unsigned char*>(job.bytes.data()),
            static_cast<std::uint32_t>(job.bytes.size()), windows_);
        std::lock_guard lock(mutex_);
        stored_.push_back((stored_.empty() ? 0 : stored_.back()) + size);
        sizes_.push_back(size);
        return;
      }
      const std::string_view text = std::string_view(job.bytes).substr(job.from);
      std::memcpy(feed_->tail(text.size()), text.data(), text.size());
      feed_->added(text.size());
      Status s = feed_->flush(false);
      std::lock_guard lock(mutex_);
      if (!s) {
        error_ = std::move(s).error();
        failed_ = true;
      }
      if (spares_.size() < 2) spares_.push_back(std::move(job.bytes));
    } catch (...) {
      std::lock_guard lock(mutex_);
      thrown_ = std::current_exception();
      failed_ = true;
    }
  }

  FastaScanner* scanner_;
  std::optional<TextFeed> feed_;
  bool threaded_ = false;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Job> texts_, windows_q_;
  std::vector<std::string> spares_;
  bool busy_ = false, stopping_ = false;
  std::atomic<bool> failed_{false};
  std::size_t windows_sent_ = 0;
  std::vector<std::uint64_t> stored_;  // of the first k + 1 windows stored
  std::string windows_;
  std::vector<std::uint32_t> sizes_;
  std::optional<FaidxError> error_;
  std::exception_ptr thrown_;
  std::thread thread_;
};

}  // namespace

Result<std::string_view> CompressedInput::get(std::uint64_t at, std::size_t want) {
  if (at >= file_.size) return std::string_view();
  const std::uint64_t left = file_.size - at;
  if (file_.map != nullptr) return std::string_view(file_.map + at, static_cast<std::size_t>(left));
  // A remote file is read a block at a time: a read resumed at a checkpoint then fetches only
  // the blocks it inflates (the source fetches a sequential pass in larger runs by itself).
  if (file_.ranges != nullptr) want = std::min<std::size_t>(want, 64 << 10);
  const std::size_t need = static_cast<std::size_t>(std::min<std::uint64_t>(want, left));
  if (at >= buf_at_ && at - buf_at_ < buf_.size() && buf_.size() - (at - buf_at_) >= need) {
    return std::string_view(buf_).substr(static_cast<std::size_t>(at - buf_at_));
  }
  auto got = file_.get(at, need, buf_);
  if (!got) {
    buf_.clear();
    return std::move(got).error();
  }
  buf_at_ = at;
  return got;
}

Result<std::optional<std::uint64_t>> next_member(CompressedInput& in, std::uint64_t at) {
  static const char* const kTruncated = "truncated gzip member header";
  if (at >= in.size()) return std::optional<std::uint64_t>();
  auto got = in.get(at, 64 << 10);
  if (!got) return std::move(got).error();
  std::string_view v = *got;
  if (v.empty()) return at_offset(kTruncated, at);
  if (v[0] == '\0') {
    // Zero padding after the last member (tape blocks), which gzip skips.
    for (std::uint64_t p = at; p < in.size();) {
      auto more = in.get(p);
      if (!more) return std::move(more).error();
      if (more->empty()) return at_offset("truncated gzip file", p);
      const auto nz = std::find_if(more->begin(), more->end(), [](char c) { return c != '\0'; });
      if (nz != more->end()) {
        return at_offset("bytes that are not a gzip member", p + (nz - more->begin()));
      }
      p += more->size();
    }
    return std::optional<std::uint64_t>();
  }
  if (v.size() < 10) return at_offset(kTruncated, at);
  const unsigned char* h = bytes_of(v);
  if (h[0] != 0x1f || h[1] != 0x8b) return at_offset("bytes that are not a gzip member", at);
  if (h[2] != 8 || (h[3] & 0xe0) != 0) return at_offset("invalid gzip member header", at);
  const unsigned flags = h[3];
  std::uint64_t p = at + 10;
  if (flags & 4) {  // FEXTRA: a 2-byte length and that many bytes
    auto x = in.get(p, 2);
    if (!x) return std::move(x).error();
    if (x->size() < 2) return at_offset(kTruncated, at);
    p += 2 + (static_cast<std::uint64_t>(bytes_of(*x)[0]) | bytes_of(*x)[1] << 8);
  }
  for (unsigned field : {8u, 16u}) {  // FNAME, FCOMMENT: zero-terminated
    if ((flags & field) == 0) continue;
    while (true) {
      auto s = in.get(p);
      if (!s) return std::move(s).error();
      if (s->empty()) return at_offset(kTruncated, at);
      const void* nul = std::memchr(s->data(), '\0', s->size());
      if (nul != nullptr) {
        p += static_cast<const char*>(nul) - s->data() + 1;
        break;
      }
      p += s->size();
    }
  }
  if (flags & 2) p += 2;  // FHCRC
  if (p >= in.size()) return at_offset(kTruncated, at);
  return std::optional<std::uint64_t>(p);
}

Status load_window(const GzipIndex& index, const GzipPoint& p, std::string& out) {
  const std::string_view stored =
      std::string_view(index.windows).substr(static_cast<std::size_t>(p.window_at), p.window_size);
  if (p.window_size == p.window_len) {
    out.assign(stored);
    return Ok{};
  }
  const bool ok = decode_window(stored, p.window_len, index.coded_windows, out);
  if (!ok) return FaidxError::io("corrupt window in the checkpoint index");
  return Ok{};
}

namespace {

// One pass over a gzip file: each member inflated in turn and checked against its trailer, the
// text fed to the scanner, checkpoints placed where they are due.
//
// The fast pass inflates with ISA-L a block at a time: ISA-L cannot report block boundaries, but
// taking a block for the last one makes it stop at the block's end, where the pass records the
// bit it stands at and starts a fresh inflater from that bit and the window. Every block after
// the first is thus inflated from a checkpoint as a reader would, and the member's CRC32 checks
// them all. A block too long to go without checkpoints inside it is inflated again with zlib,
// which stops inside blocks too; zlib does the whole pass where ISA-L is missing, or when the fast
// pass fails (and then gives the error).
class IndexPass {
 public:
  IndexPass(const CompressedBytes& file, const struct stat& st, bool scan, bool bytewise)
      : in_(file),
        scanner_(0, bytewise),
        worker_(scan ? &scanner_ : nullptr) {
    GzipIndex& ix = build_.index;
    ix.compressed_size = file.size;
    ix.mtime_sec = st.st_mtim.tv_sec;
    ix.mtime_nsec = st.st_mtim.tv_nsec;
    if (!zlib_.ready) throw std::bad_alloc();
  }

  Result<GzipBuild> run(bool fast) {
    GzipIndex& ix = build_.index;
    std::uint64_t at = 0;
    while (true) {
      auto member = next_member(in_, at);
      if (!member) return std::move(member).error();
      if (!*member) break;
      const std::uint64_t start = **member;
      crc_ = 0;
      member_text_ = 0;
      if (ix.points.empty() || due(start)) add_point(start * 8, nullptr, 0, 0);
#if defined(TAVLO_HAVE_ISAL)
      auto end = fast ? inflate_isal(start * 8) : inflate_zlib(start * 8, kNever);
#else
      (void)fast;
      auto end = inflate_zlib(start * 8, kNever);
#endif
      if (!end) return std::move(end).error();
      if (Status s = check_trailer(end->at); !s) return std::move(s).error();
      at = end->at + 8;
    }
    ix.text_size = uoff_;
    if (worker_.scanning()) {
      if (Status s = worker_.text(text_.hand_over(worker_.spare())); !s) {
        return std::move(s).error();
      }
    }
    std::vector<std::uint32_t> sizes;
    if (Status s = worker_.finish(ix.windows, sizes); !s) return std::move(s).error();
    std::uint64_t window_at = 0;
    auto size = sizes.begin();
    for (GzipPoint& p : ix.points) {
      if (p.window_len == 0) continue;
      p.window_at = window_at;
      p.window_size = *size++;
      window_at += p.window_size;
    }
    if (worker_.scanning()) build_.listing = scanner_.take_listing();
    return std::move(build_);
  }

 private:
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
  // Where an inflater stopped: the end of the member's deflate data (a byte offset), or the block
  // boundary (a bit offset) where it handed over.
  struct Stop {
    bool member_end;
    std::uint64_t at;
  };

  std::uint32_t window_len() const {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(member_text_, kGzipWindow));
  }

  // Whether a checkpoint is due at compressed byte `byte` (see kMinText).
  bool due(std::uint64_t byte) {
    const std::uint64_t text = uoff_ - last_uoff_;
    if (text < kMinText) return false;
    if (text >= kMaxText) return true;
    const auto [stored, last] = worker_.stored();
    // The last window's stored size; before the first, what 32 KiB of the text deflates to.
    const std::uint64_t window = last > 0 ? last : kGzipWindow * byte / uoff_;
    return byte >= 7 * (stored + window);
  }

  // A checkpoint at bit `bit`, with the `len` bytes of text before it at `window` (stored by the
  // worker); `header` and `header_len` give the block's header for a point inside a block.
  void add_point(std::uint64_t bit, const unsigned char* window, std::uint32_t len,
                 std::uint64_t header, std::uint32_t header_len = 0) {
    GzipPoint p;
    p.bit = bit;
    p.uoff = uoff_;
    p.header_at = header;
    p.header_len = header_len;
    p.window_len = len;
    if (len > 0) worker_.window(window, len);
    build_.index.points.push_back(p);
    last_uoff_ = uoff_;
  }

  // Takes `n` bytes of text just written at the tail of text_.
  Status commit(const char* p, std::size_t n) {
    crc_ = crc_of(crc_, p, n);
    member_text_ += n;
    uoff_ += n;
    text_.added(n);
    if (text_.fresh() < (1 << 20)) return Ok{};
    if (!worker_.scanning()) {
      spare_ = text_.hand_over(std::move(spare_)).first;
      return Ok{};
    }
    return worker_.text(text_.hand_over(worker_.spare()));
  }

  Status check_trailer(std::uint64_t end) {
    auto trailer = in_.get(end, 8);
    if (!trailer) return std::move(trailer).error();
    if (trailer->size() < 8) return at_offset("truncated gzip file", end);
    if (le32(bytes_of(*trailer)) != crc_) {
      return at_offset("corrupt gzip member (CRC32 mismatch)", end);
    }
    if (le32(bytes_of(*trailer) + 4) != static_cast<std::uint32_t>(member_text_)) {
      return at_offset("corrupt gzip member (uncompressed size mismatch)", end + 4);
    }
    return Ok{};
  }

  // The input from byte `at` on, or an error at the end of the file.
  Result<std::string_view> input(std::uint64_t at) {
    auto got = in_.get(at, 1 << 20);
    if (!got) return std::move(got).error();
    if (got->empty()) return at_offset("truncated gzip file", at);
    return got->substr(0, std::min<std::size_t>(got->size(), 1u << 30));
  }

  // Inflates with zlib from bit `bit`, a block boundary of the member being read (its text so far
  // is in text_), until the member ends or a block ends once the text reaches `hand_back`.
  Result<Stop> inflate_zlib(std::uint64_t bit, std::uint64_t hand_back) {
    z_stream& z = zlib_.z;
    inflateReset(&z);
    if (const std::uint32_t len = window_len(); len > 0) {
      inflateSetDictionary(&z, text_.back(len), len);
    }
    std::uint64_t fed_end = bit / 8;  // the file offset just past the input handed to zlib
    z.avail_in = 0;
    if (bit % 8 != 0) {
      auto got = input(fed_end);
      if (!got) return std::move(got).error();
      const auto shift = static_cast<unsigned>(bit % 8);
      inflatePrime(&z, static_cast<int>(8 - shift), bytes_of(*got)[0] >> shift);
      ++fed_end;
    }
    // The Huffman-coded block being inflated: where its header starts and ends (bits).
    std::uint64_t block_at = bit, codes_at = 0;
    bool in_codes = false;
    bool seeking = false;  // a checkpoint is due inside a block
    unsigned char window[kGzipWindow];
    const auto zlib_point = [&](std::uint64_t at, std::uint64_t header, std::uint32_t len) {
      uInt got = 0;
      inflateGetDictionary(&z, window, &got);
      add_point(at, window, got, header, len);
    };
    while (true) {
      if (z.avail_in == 0) {
        auto got = input(fed_end);
        if (!got) return std::move(got).error();
        z.next_in = const_cast<Bytef*>(bytes_of(*got));
        z.avail_in = static_cast<uInt>(got->size());
        fed_end += got->size();
      }
      // Output goes out in small pieces so that inflate returns often enough to place
      // checkpoints inside long blocks, and in tiny ones while a due checkpoint waits for the
      // start of a code.
      char* out = text_.tail(256 << 10);
      const auto room =
          static_cast<uInt>(std::min<std::size_t>(text_.room(), seeking ? 256 : 8 << 10));
      z.next_out = reinterpret_cast<Bytef*>(out);
      z.avail_out = room;
      // Z_TREES: inflate also stops at each block boundary and after each block header.
      const int r = inflate(&z, Z_TREES);
      if (Status s = commit(out, room - z.avail_out); !s) return std::move(s).error();
      const std::uint64_t byte = fed_end - z.avail_in;
      if (r == Z_STREAM_END) return Stop{true, byte};
      if (r == Z_MEM_ERROR) throw std::bad_alloc();
      if (r != Z_OK && r != Z_BUF_ERROR) return at_offset("corrupt gzip data", byte);
      // The bit inflate stands at: bytes taken, less the bits it holds unused.
      const std::uint64_t now = byte * 8 - static_cast<unsigned>(z.data_type & 63);
      if ((z.data_type & 128) != 0) {  // a block boundary
        in_codes = false;
        block_at = now;
        if ((z.data_type & 64) == 0) {
          if (due(byte)) zlib_point(now, 0, 0);
          if (uoff_ >= hand_back) return Stop{false, now};
        }
      } else if ((z.data_type & 256) != 0) {  // just past a block header
        // (In a stored block inflateMark never reports a code, so no point lands there.)
        in_codes = true;
        codes_at = now;
      } else if (in_codes && due(byte)) {
        // Inside a coded block: a checkpoint where the code being worked on starts, when none
        // of its text has been written yet.
        const long mark = inflateMark(&z);
        const long back = mark >> 16;  // bits of that code already taken; -1 outside codes
        if (back >= 0 && (mark & 0xffff) == 0 && static_cast<std::uint64_t>(back) <= now &&
            now - static_cast<std::uint64_t>(back) >= codes_at) {
          zlib_point(now - static_cast<std::uint64_t>(back), block_at,
                     static_cast<std::uint32_t>(codes_at - block_at));
        }
      }
      seeking = in_codes && due(byte);
    }
  }

#if defined(TAVLO_HAVE_ISAL)
  // Inflates the member whose deflate data starts at bit `bit` with ISA-L, a block at a time.
  Result<Stop> inflate_isal(std::uint64_t bit) {
    constexpr std::size_t kLong = 1 << 20;   // a block longer than this goes to zlib
    constexpr std::size_t kPiece = 256 << 10;
    if (!isal_) isal_.reset(new inflate_state);
    inflate_state& s = *isal_;
    while (true) {
      // A fresh inflater at `bit`, with the window before it and the bits up to a byte boundary.
      isal_inflate_init(&s);
      s.crc_flag = ISAL_DEFLATE;
      if (const std::uint32_t len = window_len(); len > 0) {
        isal_inflate_set_dict(&s, const_cast<unsigned char*>(text_.back(len)), len);
      }
      std::uint64_t fed_end = bit / 8;
      auto got = input(fed_end);
      if (!got) return std::move(got).error();
      s.next_in = const_cast<unsigned char*>(bytes_of(*got));
      s.avail_in = static_cast<std::uint32_t>(got->size());
      fed_end += got->size();
      if (bit % 8 != 0) {
        s.read_in = s.next_in[0] >> (bit % 8);
        s.read_in_length = static_cast<std::int32_t>(8 - bit % 8);
        ++s.next_in;
        --s.avail_in;
      }
      // Inflate until the block that starts there ends: one byte first, to be inside the block,
      // which is then taken for the last one.
      char* out = text_.tail(kLong + kPiece);
      std::size_t made = 0;
      bool inside = false;
      std::uint32_t last = 0;
      while (true) {
        if (s.avail_in == 0) {
          got = input(fed_end);
          if (!got) return std::move(got).error();
          s.next_in = const_cast<unsigned char*>(bytes_of(*got));
          s.avail_in = static_cast<std::uint32_t>(got->size());
          fed_end += got->size();
        }
        const std::size_t room = inside ? kPiece : 1;
        s.next_out = reinterpret_cast<unsigned char*>(out + made);
        s.avail_out = static_cast<std::uint32_t>(room);
        if (isal_inflate(&s) < 0) return at_offset("corrupt gzip data", fed_end - s.avail_in);
        made += room - s.avail_out;
        if (s.block_state == ISAL_BLOCK_FINISH) break;
        if (!inside && (s.block_state == ISAL_BLOCK_CODED || s.block_state == ISAL_BLOCK_TYPE0)) {
          inside = true;
          last = s.bfinal;
          s.bfinal = 1;
        }
        if (made > kLong) break;
      }
      if (made > kLong) {
        // zlib inflates the block again (over the text not taken) with points inside it.
        auto stop = inflate_zlib(bit, uoff_ + made);
        if (!stop || stop->member_end) return stop;
        bit = stop->at;
        continue;
      }
      if (Status c = commit(out, made); !c) return std::move(c).error();
      const std::uint64_t byte = fed_end - s.avail_in;
      if (!inside || last != 0) return Stop{true, byte - static_cast<unsigned>(s.read_in_length) / 8};
      bit = byte * 8 - static_cast<unsigned>(s.read_in_length);
      if (due(bit / 8)) {
        add_point(bit, text_.back(window_len()), window_len(), 0);
      }
    }
  }

  std::unique_ptr<inflate_state> isal_;
#endif

  CompressedInput in_;
  GzipBuild build_;
  FastaScanner scanner_;
  PassWorker worker_;
  TextBuffer text_;
  std::string spare_;  // the other text buffer, without a scan
  ZInflate zlib_;
  std::uint64_t uoff_ = 0;
  std::uint64_t last_uoff_ = 0;  // of the last checkpoint
  std::uint32_t crc_ = 0;            // of the member's text so far
  std::uint64_t member_text_ = 0;
};

}  // namespace

Result<GzipBuild> build_gzip_index(const CompressedBytes& file, const struct stat& st, bool scan,
                                   bool bytewise) {
#if defined(TAVLO_HAVE_ISAL)
  if (auto fast = IndexPass(file, st, scan, bytewise).run(true)) return fast;
#endif
  return IndexPass(file, st, scan, bytewise).run(false);
}

// The .gzidx layout (little-endian): the 8 bytes "TVGZIDX\n", a u32 version (2), a u32 of flags
// (0), the compressed size (u64), the modification time in seconds and nanoseconds (two i64), the
// text size (u64), the point count (u64), the CRC32 of every byte after this 64-byte header
// (u32) and 4 zero bytes; then per point its bit offset and uncompressed offset (u64 each), the
// stored and the inflated size of its window (u32 each), the bit offset and bit length of the
// header of the block it is in (u64, u32; both 0 for a block boundary); then the windows, one
// after the other: the window itself when the two sizes are equal, else a coding byte and the
// window coded (see window_codec.hpp). Version 1 differs only there: its windows are raw deflate.
namespace {
constexpr char kMagic[8] = {'T', 'V', 'G', 'Z', 'I', 'D', 'X', '\n'};
constexpr std::size_t kHeader = 64;
constexpr std::size_t kPointBytes = 36;
constexpr char kGzidxMagic[5] = {'G', 'Z', 'I', 'D', 'X'};
constexpr std::uint32_t kMaxHeaderBits = 8 * 1024;
}  // namespace

std::string format_gzip_index(const GzipIndex& index) {
  std::string body;
  body.reserve(index.points.size() * kPointBytes + index.windows.size());
  for (const GzipPoint& p : index.points) {
    put_le(body, p.bit, 8);
    put_le(body, p.uoff, 8);
    put_le(body, p.window_size, 4);
    put_le(body, p.window_len, 4);
    put_le(body, p.header_at, 8);
    put_le(body, p.header_len, 4);
  }
  body += index.windows;
  std::string out(kMagic, sizeof kMagic);
  put_le(out, index.coded_windows ? 2 : 1, 4);
  put_le(out, 0, 4);
  put_le(out, index.compressed_size, 8);
  put_le(out, static_cast<std::uint64_t>(index.mtime_sec), 8);
  put_le(out, static_cast<std::uint64_t>(index.mtime_nsec), 8);
  put_le(out, index.text_size, 8);
  put_le(out, index.points.size(), 8);
  put_le(out, crc_of(0, body.data(), body.size()), 4);
  put_le(out, 0, 4);
  return out + body;
}

namespace {

// Checks what every index must hold whatever its format: a first point at the start of the
// text, offsets that increase, windows within the bounds of the text and of the stored bytes.
Status check_points(const GzipIndex& ix) {
  static const char* const kBad = "invalid checkpoint index";
  if (ix.points.empty() || ix.points[0].uoff != 0) return FaidxError::io(kBad);
  const GzipPoint* prev = nullptr;
  for (const GzipPoint& p : ix.points) {
    // (GZIDX lists a last point at the very end of the file.)
    if (p.bit / 8 > ix.compressed_size || p.uoff > ix.text_size || p.window_len > kGzipWindow ||
        p.window_len > p.uoff || p.window_size > p.window_len ||
        (ix.raw_windows && p.window_size != p.window_len) ||
        (p.window_len > 0 && p.window_size == 0) || p.window_at > ix.windows.size() ||
        ix.windows.size() - p.window_at < p.window_size) {
      return FaidxError::io(kBad);
    }
    // A block header is at most a few hundred bytes long, and ends where the codes begin.
    if (p.header_len > kMaxHeaderBits || p.header_at > p.bit ||
        p.bit - p.header_at < p.header_len) {
      return FaidxError::io(kBad);
    }
    if (prev != nullptr && (p.bit <= prev->bit || p.uoff < prev->uoff)) {
      return FaidxError::io(kBad);
    }
    prev = &p;
  }
  return Ok{};
}

// GZIDX v0/v1: "GZIDX", a version byte, a flags byte, the compressed and uncompressed sizes
// (u64), the spacing and window size (u32), the point count (u32); per point its compressed
// offset and uncompressed offset (u64), the count of bits of the byte before the offset that
// belong to the point (u8) and, from v1 on, whether a window is stored (u8); then the windows of
// the points that have one, window-size bytes each.
Result<GzipIndex> parse_gzidx(std::string_view bytes) {
  static const char* const kBad = "invalid GZIDX checkpoint index";
  if (bytes.size() < 35) return FaidxError::io(kBad);
  const unsigned char* u = bytes_of(bytes);
  const unsigned version = u[5];
  if (version > 1 || u[6] != 0) return FaidxError::io(kBad);
  GzipIndex ix;
  ix.raw_windows = true;
  ix.compressed_size = le64(u + 7);
  ix.text_size = le64(u + 15);
  const std::uint32_t window = le32(u + 27);
  const std::uint64_t count = le32(u + 31);
  const std::size_t point_bytes = version == 0 ? 17 : 18;
  if (window > kGzipWindow || count > (bytes.size() - 35) / point_bytes) {
    return FaidxError::io(kBad);
  }
  const unsigned char* p = u + 35;
  std::uint64_t windows_at = 35 + count * point_bytes;
  std::uint64_t stored = 0;
  ix.points.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t k = 0; k < count; ++k, p += point_bytes) {
    GzipPoint pt;
    const std::uint64_t coff = le64(p);
    const unsigned bits = p[16];
    const bool has_window = version == 0 ? k > 0 : p[17] != 0;
    if (bits > 7 || (bits > 0 && coff == 0) || coff > (UINT64_MAX >> 3))
      return FaidxError::io(kBad);
    pt.bit = coff * 8 - bits;
    pt.uoff = le64(p + 8);
    if (has_window) {
      // The window holds the last window-size bytes of text before the point, or all of it.
      pt.window_len = static_cast<std::uint32_t>(std::min<std::uint64_t>(window, pt.uoff));
      pt.window_at = stored;
      pt.window_size = pt.window_len;
      stored += window;
    }
    ix.points.push_back(pt);
  }
  if (windows_at + stored != bytes.size()) return FaidxError::io(kBad);
  // A short window is the last bytes of its window-size slot.
  for (GzipPoint& pt : ix.points) {
    if (pt.window_len > 0) pt.window_at += window - pt.window_len;
  }
  ix.windows.assign(bytes.substr(static_cast<std::size_t>(windows_at)));
  if (Status s = check_points(ix); !s) return FaidxError::io(kBad);
  return ix;
}

}  // namespace

Result<GzipIndex> parse_gzip_index(std::string_view bytes) {
  if (bytes.size() >= 5 && std::memcmp(bytes.data(), kGzidxMagic, 5) == 0) {
    return parse_gzidx(bytes);
  }
  static const char* const kBad = "invalid checkpoint index";
  if (bytes.size() < kHeader || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return FaidxError::io(kBad);
  }
  const unsigned char* u = bytes_of(bytes);
  const std::uint32_t version = le32(u + 8);
  if (version != 1 && version != 2) return FaidxError::io("unsupported checkpoint index version");
  if (le32(u + 12) != 0 || le32(u + 60) != 0) return FaidxError::io(kBad);
  GzipIndex ix;
  ix.coded_windows = version == 2;
  ix.compressed_size = le64(u + 16);
  ix.mtime_sec = static_cast<std::int64_t>(le64(u + 24));
  ix.mtime_nsec = static_cast<std::int64_t>(le64(u + 32));
  ix.text_size = le64(u + 40);
  const std::uint64_t count = le64(u + 48);
  const std::string_view body = bytes.substr(kHeader);
  if (crc_of(0, body.data(), body.size()) != le32(u + 56)) {
    return FaidxError::io("checkpoint index checksum mismatch");
  }
  if (count > body.size() / kPointBytes) return FaidxError::io(kBad);
  const unsigned char* p = bytes_of(body);
  std::uint64_t stored = 0;
  ix.points.resize(static_cast<std::size_t>(count));
  for (GzipPoint& pt : ix.points) {
    pt.bit = le64(p);
    pt.uoff = le64(p + 8);
    pt.window_size = le32(p + 16);
    pt.window_len = le32(p + 20);
    pt.header_at = le64(p + 24);
    pt.header_len = le32(p + 32);
    pt.window_at = stored;
    stored += pt.window_size;
    p += kPointBytes;
  }
  const std::uint64_t windows_at = count * kPointBytes;
  if (windows_at + stored != body.size()) return FaidxError::io(kBad);
  ix.windows.assign(body.substr(static_cast<std::size_t>(windows_at)));
  if (Status s = check_points(ix); !s) return std::move(s).error();
  return ix;
}

namespace {

bool header_matches(std::string_view head, const struct stat& st) {
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const unsigned char* u = bytes_of(head);
  if (head.size() >= 35 && std::memcmp(head.data(), kGzidxMagic, 5) == 0) {
    return le64(u + 7) == size;
  }
  return head.size() >= kHeader && std::memcmp(head.data(), kMagic, sizeof kMagic) == 0 &&
         le64(u + 16) == size &&
         static_cast<std::int64_t>(le64(u + 24)) == static_cast<std::int64_t>(st.st_mtim.tv_sec) &&
         static_cast<std::int64_t>(le64(u + 32)) == static_cast<std::int64_t>(st.st_mtim.tv_nsec);
}

}  // namespace

GzipIndexState gzip_index_state(const std::string& path, const struct stat& st) {
  // Non-blocking: a pipe at the path is not waited for (and then fails the read).
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return errno == ENOENT ? GzipIndexState::kMissing : GzipIndexState::kOther;
  char head[kHeader];
  const ssize_t got = pread_full(fd.get(), head, sizeof head, 0);
  return got > 0 && header_matches(std::string_view(head, static_cast<std::size_t>(got)), st)
             ? GzipIndexState::kMatches
             : GzipIndexState::kOther;
}

Result<GzipIndex> read_gzip_index(const std::string& path, const struct stat& st) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  auto failed = [&](int err) {
    return FaidxError::io("cannot read " + path + ": " + FaidxError::io_errno(err).payload());
  };
  if (!fd) return failed(errno);
  std::string bytes;
  if (Status r = read_all(fd.get(), bytes); !r) return failed(r.error().os_errno);
  auto ix = parse_gzip_index(bytes);
  if (!ix) return FaidxError::io(ix.error().text + " " + path);
  if (!header_matches(bytes, st)) {
    return FaidxError::io("checkpoint index " + path + " was made from another file");
  }
  return ix;
}

}  // namespace tavlo
