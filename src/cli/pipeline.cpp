// The chunked pipeline shared by both commands, and opening the FASTA file for the tool.
#include "cli/pipeline.hpp"

#include <sys/stat.h>

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace tavlo::cli {

namespace {

// A chunk is formatted and written once it holds this many pieces, residues or header bytes:
// enough work to keep the pool busy, little enough that memory stays flat whatever the input.
// Small chunks also leave the text in the processor's cache until the writer copies it, and
// need fewer fresh pages (16 MiB chunks took a third more page faults and time than 4 MiB).
constexpr std::size_t kChunkPieces = 1 << 16;
constexpr std::uint64_t kChunkResidues = 4 << 20;
constexpr std::size_t kChunkPrefixBytes = 4 << 20;
// A longer region is cut into pieces of this size, so that one huge region does not need a
// buffer of its own size.
constexpr std::uint64_t kPieceResidues = 1 << 20;

// An open error as the tool reports it: the file and line at fault when the text lacks them.
std::string describe(const FaidxError& e) {
  std::string text = e.display();
  if (e.line != 0) return text + " (line " + std::to_string(e.line) + " of " + e.file + ")";
  if (!e.file.empty()) return text + " (" + e.file + ")";
  return text;
}

// The absolute path of `path` with its folder resolved (the file itself may not exist yet).
std::string resolved(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char buf[PATH_MAX];
  if (::realpath(dir.c_str(), buf) == nullptr) return path;
  return std::string(buf) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  const bool has_a = ::stat(a.c_str(), &sa) == 0, has_b = ::stat(b.c_str(), &sb) == 0;
  if (has_a && has_b) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return resolved(a) == resolved(b);
}

}  // namespace

std::unique_ptr<Faidx> open_fasta(std::string_view command, Inputs& in) {
  FaidxOptions opt;
  opt.filename = in.fasta;
  if (!in.fai.empty()) opt.indexname = in.fai;
  if (!in.gzi.empty()) opt.gziname = in.gzi;
  opt.as_raw = true;
  opt.bytewise_names = true;
  opt.first_duplicate_wins = true;
  opt.index_in_memory = true;
  if (in.fai.empty()) in.fai = in.fasta + ".fai";
  if (in.gzi.empty()) in.gzi = in.fasta + ".gzi";
  auto opened = Faidx::open(std::move(opt));
  if (!opened) {
    say(command, describe(opened.error()));
    return nullptr;
  }
  if (!(*opened)->is_bgzf()) in.gzi.clear();
  for (const std::string& w : (*opened)->warnings()) say(command, "warning: " + w);
  for (const std::string_view name : (*opened)->names().repeated()) {
    say(command, "warning: sequence name " + quoted(name) + " is repeated in " + in.fasta +
                     "; its first record is used");
  }
  return std::move(*opened);
}

bool open_files(std::string_view command, const Inputs& in, const std::string& lines,
                LineReader& reader, const std::string& output, Output& out) {
  for (const std::string* input : {&in.fasta, &in.fai, &in.gzi}) {
    if (!output.empty() && !input->empty() && same_file(output, *input)) {
      say(command, "the output file " + output + " is the input file " + *input +
                       ": refusing to replace it");
      return false;
    }
  }
  std::string error;
  if ((lines.empty() || reader.open(lines, error)) && out.open(output, error)) return true;
  say(command, error);
  return false;
}

// Runs one job at a time on a thread of its own (started on first use): the writer sends one
// chunk's text to the kernel while the formatter fetches the next chunk and the main thread
// parses the one after.
class Stage {
 public:
  ~Stage() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  // Hands a job over; the previous one must have been waited for, and must have succeeded.
  void submit(std::function<bool(std::string&)> job) {
    if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = std::move(job);
      busy_ = true;
    }
    cv_.notify_all();
  }

  // Waits until the last submitted job is done; false with `error` set if a job failed.
  bool wait(std::string& error) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return !busy_; });
    if (failed_) error = error_;
    return !failed_;
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      cv_.wait(lock, [this] { return stop_ || busy_; });
      if (!busy_) return;  // stopping with nothing left
      std::function<bool(std::string&)> job = std::move(job_);
      lock.unlock();
      std::string error;
      bool ok = false;
      try {
        ok = job(error);
      } catch (const std::bad_alloc&) {
        error = "out of memory";
      } catch (const std::exception& e) {
        error = e.what();
      }
      job = nullptr;
      lock.lock();
      if (!ok && !failed_) {
        failed_ = true;
        error_ = std::move(error);
      }
      busy_ = false;
      cv_.notify_all();
    }
  }

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<bool(std::string&)> job_;  // guarded by mutex_
  bool busy_ = false;
  bool stop_ = false;
  bool failed_ = false;
  std::string error_;
};

Emitter::Emitter(const Faidx& fx, Layout layout, Output& out, const char* command)
    : fx_(fx),
      layout_(layout),
      out_(out),
      writer_(std::make_unique<Stage>()),
      formatter_(std::make_unique<Stage>()),
      command_(command) {}

// The formatter, which feeds the writer, stops first (members go in reverse order).
Emitter::~Emitter() = default;

bool Emitter::add(const EntryNumbers& e, std::uint64_t first, std::uint64_t last, bool rc) {
  if (last < first) return true;
  const std::uint64_t n = last - first + 1;
  for (std::uint64_t done = 0; done < n;) {
    if (!pending_ && !flush_if_full()) return false;
    const std::uint64_t k = std::min(kPieceResidues, n - done);
    Piece& p = new_piece();
    p.entry = e;
    p.rc = rc;
    p.first = rc ? last - done - k + 1 : first + done;
    p.last = rc ? last - done : first + done + k - 1;
    column_ = layout_.width == 0 ? 0 : (column_ + k) % layout_.width;
    chunk().residues += k;
    done += k;
  }
  return true;
}

bool Emitter::flush(bool last) {
  if (failed_) return false;  // reported once, when it happened
  std::string error;
  if (!chunk().pieces.empty()) {
    // The formatter is done with the other chunk (and has handed its text to the writer)
    // before this one goes: one chunk in formatting, one in parsing.
    if (!formatter_->wait(error)) return fail(error);
    const int c = current_;
    formatter_->submit([this, c](std::string& err) { return format_and_write(c, err); });
    current_ ^= 1;
    done_ += chunks_[c].regions;
    chunk().clear();
  }
  if (last && !(formatter_->wait(error) && writer_->wait(error))) return fail(error);
  progress_.update(done_, reader_ == nullptr ? 0 : reader_->share());
  return true;
}

bool Emitter::fail(const std::string& error) {
  failed_ = true;
  say(command_, error);
  return false;
}

int Emitter::finish(bool ok) {
  const bool flushed = flush(true);
  progress_.finish();
  if (!ok || !flushed) return 1;
  std::string error;
  if (out_.commit(error)) return 0;
  say(command_, error);
  return 1;
}

bool Emitter::format_and_write(int c, std::string& error) {
  std::vector<std::string>& buffers = buffers_[buffer_];
  std::size_t used = 0;
  if (Status s = format_chunk(fx_, chunks_[c], layout_, buffers, used); !s) {
    error = s.error().display();
    return false;
  }
  if (!writer_->wait(error)) return false;
  const std::vector<std::string>* job = &buffers;
  writer_->submit([this, job, used](std::string& err) { return out_.write(*job, used, err); });
  buffer_ ^= 1;
  return true;
}

bool Emitter::flush_if_full() {
  const Chunk& ch = chunk();
  return (ch.pieces.size() < kChunkPieces && ch.residues < kChunkResidues &&
          ch.prefixes.size() < kChunkPrefixBytes) ||
         flush();
}

Piece& Emitter::new_piece() {
  Piece& p = chunk().pieces.emplace_back();
  if (pending_) {
    p.begins = true;
    p.prefix_offset = static_cast<std::uint32_t>(prefix_offset_);
    p.prefix_length = static_cast<std::uint32_t>(chunk().prefixes.size() - prefix_offset_);
    pending_ = false;
  }
  p.column = column_;
  return p;
}

}  // namespace tavlo::cli
