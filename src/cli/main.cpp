// The tavlo command-line tool: "tavlo faidx" (samtools faidx) and "tavlo getfasta" (bedtools
// getfasta), streaming regions in chunks through the core's worker pool.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/bed.hpp"
#include "cli/format.hpp"
#include "cli/io.hpp"
#include "cli/region.hpp"
#include "faidx/faidx.hpp"

#ifndef TAVLO_VERSION
#define TAVLO_VERSION "0.1.0"
#endif

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
constexpr std::size_t kMaxHeader = 1u << 30;

void say(std::string_view command, std::string_view text) {
  std::string line = "tavlo ";
  line.append(command);
  line.append(": ");
  line.append(text);
  line.push_back('\n');
  (void)!::write(2, line.data(), line.size());
}

// Where an input item came from, put into words only when a message needs it.
struct Where {
  const std::string* file = nullptr;  // null: a command-line argument
  std::uint64_t number = 0;           // line or argument number, from 1
  std::string text() const {
    if (file == nullptr) return "argument " + std::to_string(number);
    return "line " + std::to_string(number) + " of " + *file;
  }
};

void append_number(std::string& out, std::uint64_t v) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, r.ptr);
}

std::string quoted(std::string_view s) {
  std::string q = "\"";
  q.append(s);
  q.push_back('"');
  return q;
}

// Runs one job at a time on a thread of its own (started on first use): the writer sends one
// chunk's text to the kernel while the formatter fetches the next chunk and the main thread
// parses the one after.
class Stage {
 public:
  Stage() = default;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;
  ~Stage() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  // Hands a job over; the previous one must have been waited for. Once a job has failed, the
  // later ones are dropped.
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
      const bool skip = failed_;
      lock.unlock();
      std::string error;
      bool ok = true;
      if (!skip) {
        try {
          ok = job(error);
        } catch (const std::bad_alloc&) {
          ok = false;
          error = "out of memory";
        } catch (const std::exception& e) {
          ok = false;
          error = e.what();
        }
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

// Collects regions into chunks. A full chunk goes to the formatter thread, which fetches and
// formats it on the worker pool and passes the text on to the writer thread, while this thread
// parses the next chunk.
class Emitter {
 public:
  Emitter(const Faidx& fx, Layout layout, Output& out, const char* command)
      : fx_(fx), layout_(layout), out_(out), command_(command) {}
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  void set_reader(const LineReader* reader) { reader_ = reader; }

  // Starts a region; its header text is appended to prefixes() before the first add().
  bool begin_region() {
    if (!flush_if_full()) return false;
    pending_ = true;
    prefix_offset_ = chunk().prefixes.size();
    column_ = 0;
    return true;
  }
  std::string& prefixes() { return chunk().prefixes; }

  // Adds residues [first, last] of `e`, reverse-complemented when `rc` (for rc the pieces run
  // from the end of the span backwards).
  bool add(const EntryNumbers& e, std::uint64_t first, std::uint64_t last, bool rc) {
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
      const std::uint64_t width = layout_.line_per_region ? 0 : layout_.width;
      column_ = width == 0 ? 0 : (column_ + k) % width;
      chunk().residues += k;
      done += k;
    }
    return true;
  }

  bool end_region(bool has_residues) {
    if (pending_) (void)new_piece();
    Piece& p = chunk().pieces.back();
    p.ends = true;
    p.region_has_residues = has_residues;
    ++chunk().regions;
    return true;
  }

  // Hands the chunk over to be formatted and written; `last` also waits for every write.
  bool flush(bool last = false) {
    if (failed_) return false;  // reported once, when it happened
    std::string error;
    if (!chunk().pieces.empty()) {
      // The formatter is done with the other chunk (and has handed its text to the writer)
      // before this one goes: one chunk in formatting, one in parsing.
      if (!formatter_.wait(error)) {
        failed_ = true;
        say(command_, error);
        return false;
      }
      const int c = current_;
      formatter_.submit([this, c](std::string& err) { return format_and_write(c, err); });
      current_ ^= 1;
      done_ += chunks_[c].regions;
      chunk().clear();
    }
    if (last && !(formatter_.wait(error) && writer_.wait(error))) {
      failed_ = true;
      say(command_, error);
      return false;
    }
    double share = 0;
    if (reader_ != nullptr && reader_->size() > 0) {
      share = static_cast<double>(reader_->consumed()) / static_cast<double>(reader_->size());
    }
    progress_.update(done_, share);
    return true;
  }

  // Ends a run and returns its exit status. What was fetched before a failure is still written,
  // as samtools does; a file named by -o is only put in place after a complete run.
  int finish(bool ok) {
    const bool flushed = flush(true);
    progress_.finish();
    if (!ok || !flushed) return 1;
    std::string error;
    if (!out_.commit(error)) {
      say(command_, error);
      return 1;
    }
    return 0;
  }

 private:
  Chunk& chunk() { return chunks_[current_]; }

  // On the formatter thread: formats chunk `c` into the free set of buffers, waits for the
  // writer to finish the other set and hands this one over.
  bool format_and_write(int c, std::string& error) {
    std::vector<std::string>& buffers = buffers_[buffer_];
    std::size_t used = 0;
    if (Status s = format_chunk(fx_, chunks_[c], layout_, buffers, used); !s) {
      error = s.error().display();
      return false;
    }
    if (!writer_.wait(error)) return false;
    const std::vector<std::string>* job = &buffers;
    writer_.submit([this, job, used](std::string& err) { return out_.write(*job, used, err); });
    buffer_ ^= 1;
    return true;
  }

  bool flush_if_full() {
    const Chunk& ch = chunk();
    if (ch.pieces.size() < kChunkPieces && ch.residues < kChunkResidues &&
        ch.prefixes.size() < kChunkPrefixBytes) {
      return true;
    }
    return flush();
  }

  Piece& new_piece() {
    Chunk& ch = chunk();
    Piece p;
    if (pending_) {
      p.begins = true;
      p.prefix_offset = static_cast<std::uint32_t>(prefix_offset_);
      p.prefix_length = static_cast<std::uint32_t>(ch.prefixes.size() - prefix_offset_);
      pending_ = false;
    }
    p.column = column_;
    ch.pieces.push_back(p);
    return ch.pieces.back();
  }

  const Faidx& fx_;
  Layout layout_;
  Output& out_;
  // One chunk is parsed while the other is formatted, and one set of buffers is formatted while
  // the other is written. Declared before the threads, so that the threads (which may still be
  // at work on them) stop before they go; the formatter, which feeds the writer, stops first.
  Chunk chunks_[2];
  std::vector<std::string> buffers_[2];
  Stage writer_;
  Stage formatter_;
  const char* command_;
  const LineReader* reader_ = nullptr;
  Progress progress_;
  int current_ = 0;  // the chunk being parsed
  int buffer_ = 0;   // the set of buffers the formatter fills next (formatter thread only)
  bool pending_ = false;
  bool failed_ = false;
  std::size_t prefix_offset_ = 0;
  std::uint64_t column_ = 0;
  std::uint64_t done_ = 0;
};

Result<std::unique_ptr<Faidx>> open_fasta(const std::string& path,
                                          const std::string& index_path) {
  FaidxOptions opt;
  opt.filename = path;
  if (!index_path.empty()) opt.indexname = index_path;
  opt.as_raw = true;
  return Faidx::open(std::move(opt));
}

// Command-line options: "-x VALUE", "-xVALUE", "--long VALUE" and "--long=VALUE".
class Args {
 public:
  Args(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) items_.emplace_back(argv[i]);
  }
  bool done() const { return at_ >= items_.size(); }
  std::string_view take() { return items_[at_++]; }
  // The value of an option that takes one; false when it is missing.
  bool value(std::string_view& inline_value, std::string& out) {
    if (!inline_value.empty()) {
      out.assign(inline_value);
      return true;
    }
    if (done()) return false;
    out.assign(take());
    return true;
  }

 private:
  std::vector<std::string_view> items_;
  std::size_t at_ = 0;
};

// --- tavlo faidx -----------------------------------------------------------------------------

const char kFaidxUsage[] =
    "Usage: tavlo faidx <file.fa> [<reg> [...]]\n"
    "Writes the regions of a FASTA file as FASTA, building or refreshing its index first.\n"
    "Regions: name, name:start, name:start-end (1-based, inclusive; 1,000 separators\n"
    "allowed), {name}:start-end for a name that contains a colon.\n"
    "Options:\n"
    " -o, --output FILE        Write FASTA to FILE (replaced only when all went well).\n"
    " -n, --length INT         Residues per line; 0 writes each sequence on one line. [60]\n"
    " -c, --continue           Continue after a region whose sequence is not found.\n"
    " -r, --region-file FILE   File of regions, one per line (- for standard input).\n"
    " -i, --reverse-complement Reverse complement the sequences.\n"
    "     --mark-strand TYPE   Add a strand indicator to sequence names:\n"
    "                          rc   /rc on the reverse strand (default)\n"
    "                          no   no indicator\n"
    "                          sign (+) / (-)\n"
    "                          custom,<pos>,<neg> the given texts\n"
    "     --fai-idx FILE       Index file to use (default file.fa.fai).\n"
    " -h, --help               This message.\n";

struct FaidxArgs {
  std::string fasta, output, region_file, index;
  std::vector<std::string> regions;
  std::uint64_t width = 60;
  bool rc = false;
  bool keep_going = false;
  std::string pos_mark, neg_mark = "/rc";
  bool colon_names = true;  // false: no record name holds a colon
};

// 0: parsed; 1: error (reported); 2: help shown.
int parse_faidx_args(Args& args, FaidxArgs& a) {
  bool options = true;
  auto usage_error = [&](const std::string& text) {
    say("faidx", text);
    (void)!::write(2, kFaidxUsage, sizeof kFaidxUsage - 1);
    return 1;
  };
  std::string bundle, current;  // the rest of grouped short flags such as "-ic"
  while (!bundle.empty() || !args.done()) {
    current = bundle.empty() ? std::string(args.take()) : std::move(bundle);
    bundle.clear();
    const std::string_view arg = current;
    if (options && arg.size() > 2 && arg[0] == '-' && (arg[1] == 'i' || arg[1] == 'c')) {
      // Flags without values may be grouped, as getopt allows: "-ic" is "-i -c".
      if (arg[1] == 'i') a.rc = true;
      if (arg[1] == 'c') a.keep_going = true;
      bundle = "-" + std::string(arg.substr(2));
      continue;
    }
    if (!options || arg.size() < 2 || arg[0] != '-') {
      if (a.fasta.empty()) {
        a.fasta.assign(arg);
      } else {
        a.regions.emplace_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      options = false;
      continue;
    }
    std::string_view name = arg, inline_value;
    if (arg.starts_with("--")) {
      if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        inline_value = arg.substr(eq + 1);
        if (inline_value.empty()) return usage_error("option " + std::string(name) + " needs a value");
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      inline_value = arg.substr(2);
    }
    std::string v;
    auto need = [&](std::string& out) {
      if (!args.value(inline_value, out)) {
        usage_error("option " + std::string(name) + " needs a value");
        return false;
      }
      return true;
    };
    if (name == "-h" || name == "--help") {
      (void)!::write(1, kFaidxUsage, sizeof kFaidxUsage - 1);
      return 2;
    } else if (name == "-o" || name == "--output") {
      if (!need(a.output)) return 1;
    } else if (name == "-r" || name == "--region-file") {
      if (!need(a.region_file)) return 1;
    } else if (name == "--fai-idx") {
      if (!need(a.index)) return 1;
    } else if (name == "-n" || name == "--length") {
      if (!need(v)) return 1;
      long long n = 0;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || end != v.data() + v.size()) {
        return usage_error("line length " + quoted(v) + " is not a number");
      }
      if (n < 0) {
        say("faidx", "bad line length " + quoted(v) + ", using the default of 60");
        n = 60;
      }
      a.width = static_cast<std::uint64_t>(n);
    } else if (name == "-i" || name == "--reverse-complement") {
      if (!inline_value.empty()) return usage_error("unknown option " + quoted(arg));
      a.rc = true;
    } else if (name == "-c" || name == "--continue") {
      if (!inline_value.empty()) return usage_error("unknown option " + quoted(arg));
      a.keep_going = true;
    } else if (name == "--mark-strand") {
      if (!need(v)) return 1;
      if (v == "rc") {
        a.pos_mark.clear();
        a.neg_mark = "/rc";
      } else if (v == "no") {
        a.pos_mark.clear();
        a.neg_mark.clear();
      } else if (v == "sign") {
        a.pos_mark = "(+)";
        a.neg_mark = "(-)";
      } else if (v.starts_with("custom,")) {
        // "custom,<pos>,<neg>": the positive mark ends at the first comma after "custom,".
        const std::string rest = v.substr(7);
        const std::size_t comma = rest.find(',');
        a.pos_mark = rest.substr(0, comma);
        a.neg_mark = comma == std::string::npos ? "" : rest.substr(comma + 1);
      } else {
        return usage_error("unknown --mark-strand option " + quoted(v));
      }
    } else {
      return usage_error("unknown option " + quoted(arg));
    }
  }
  if (a.fasta.empty()) return usage_error("no FASTA file given");
  return 0;
}

// Starts a region of tavlo faidx with its header line: ">" + the region as given + the strand mark.
bool begin_with_header(Emitter& em, std::string_view text, const std::string& mark) {
  if (!em.begin_region()) return false;
  std::string& p = em.prefixes();
  p.push_back('>');
  p.append(text);
  p.append(mark);
  p.push_back('\n');
  return true;
}

// Resolves one region text and adds it; false ends the run with status 1.
bool faidx_region(Emitter& em, const Faidx& fx, const FaidxArgs& a, std::string_view text,
                  const Where& where) {
  if (text.size() > kMaxHeader) {
    say("faidx", "region text too long at " + where.text());
    return false;
  }
  ParsedRegion r = parse_region(text, fx.names(), a.colon_names);
  if (r.status == RegionStatus::Malformed) {
    say("faidx", "malformed region " + quoted(text) + " (" + r.message + ") at " + where.text());
    return false;
  }
  const std::string& mark = a.rc ? a.neg_mark : a.pos_mark;
  if (r.status == RegionStatus::NotFound) {
    say("faidx", "sequence " + quoted(text) + " not found, at " + where.text());
    if (!a.keep_going) return false;
    // As samtools does: the header of the missing region, with no residues.
    return begin_with_header(em, text, mark) && em.end_region(false);
  }
  const ClampedRegion c = clamp_region(r.beg, r.end, r.entry->rlen);
  if (c.last < c.first) {
    say("faidx", "zero-length sequence: " + std::string(text));
  } else if (c.truncated) {
    say("faidx", "truncated sequence: " + std::string(text) + " (the sequence has " +
                     std::to_string(r.entry->rlen) + " residues)");
  }
  if (!begin_with_header(em, text, mark)) return false;
  if (!em.add(*r.entry, c.first, c.last, a.rc)) return false;
  return em.end_region(c.last >= c.first);
}

int run_faidx(int argc, char** argv) {
  Args args(argc, argv, 2);
  FaidxArgs a;
  if (const int rc = parse_faidx_args(args, a); rc != 0) return rc == 2 ? 0 : 1;

  auto opened = open_fasta(a.fasta, a.index);
  if (!opened) {
    say("faidx", opened.error().display());
    return 1;
  }
  const Faidx& fx = **opened;
  if (a.region_file.empty() && a.regions.empty()) return 0;  // the index is all that was asked

  LineReader reader;
  std::string error;
  if (!a.region_file.empty() && !reader.open(a.region_file, error)) {
    say("faidx", error);
    return 1;
  }
  // Worth a pass over the names only for a file of regions.
  if (!a.region_file.empty()) a.colon_names = any_name_has_colon(fx.names());
  Output out;
  if (!out.open(a.output, error)) {
    say("faidx", error);
    return 1;
  }
  Layout layout;
  layout.width = a.width;
  Emitter em(fx, layout, out, "faidx");
  bool ok = true;
  if (!a.region_file.empty()) {
    em.set_reader(&reader);
    std::string_view line;
    while (ok && reader.next(line)) {
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ok = faidx_region(em, fx, a, line, Where{&a.region_file, reader.line_number()});
    }
    if (ok && !reader.error().empty()) {
      say("faidx", a.region_file + ": " + reader.error());
      ok = false;
    }
    em.set_reader(nullptr);
  }
  for (std::size_t i = 0; ok && i < a.regions.size(); ++i) {
    ok = faidx_region(em, fx, a, a.regions[i], Where{nullptr, i + 1});
  }
  return em.finish(ok);
}

// --- tavlo getfasta --------------------------------------------------------------------------

const char kGetfastaUsage[] =
    "Usage: tavlo getfasta [OPTIONS] -fi <fasta> -bed <bed>\n"
    "Writes the sequences of the intervals of a BED file (0-based, half-open).\n"
    "Options:\n"
    " -fi FILE   FASTA file (its index is built or refreshed when needed).\n"
    " -bed FILE  BED file of intervals (- for standard input).\n"
    " -fo FILE   Output file (replaced only when all went well); default standard output.\n"
    " -name      Use the name column for the FASTA header (name::chrom:start-end).\n"
    " -nameOnly  Use only the name column for the FASTA header.\n"
    " -tab       Write \"header<TAB>sequence\" lines instead of FASTA.\n"
    " -bedOut    Write the BED row, a tab and the sequence.\n"
    " -s         Reverse complement intervals on the - strand (column 6); adds (strand).\n"
    " -split     Join the blocks of BED12 rows.\n"
    " -h         This message.\n";

int run_getfasta(int argc, char** argv) {
  std::string fasta, bed, output;
  bool strand = false, name = false, name_only = false, tab = false, bed_out = false,
       split = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        say("getfasta", "option " + std::string(arg) + " needs a value");
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "-fi") {
      if (!value(fasta)) return 1;
    } else if (arg == "-bed") {
      if (!value(bed)) return 1;
    } else if (arg == "-fo") {
      if (!value(output)) return 1;
    } else if (arg == "-s") {
      strand = true;
    } else if (arg == "-name") {
      name = true;
    } else if (arg == "-nameOnly") {
      name_only = true;
    } else if (arg == "-tab") {
      tab = true;
    } else if (arg == "-bedOut") {
      bed_out = true;
    } else if (arg == "-split") {
      split = true;
    } else if (arg == "-h" || arg == "-help" || arg == "--help") {
      (void)!::write(1, kGetfastaUsage, sizeof kGetfastaUsage - 1);
      return 0;
    } else {
      say("getfasta", "unknown option " + quoted(arg));
      (void)!::write(2, kGetfastaUsage, sizeof kGetfastaUsage - 1);
      return 1;
    }
  }
  if (fasta.empty() || bed.empty()) {
    say("getfasta", "both -fi and -bed are needed");
    (void)!::write(2, kGetfastaUsage, sizeof kGetfastaUsage - 1);
    return 1;
  }

  auto opened = open_fasta(fasta, "");
  if (!opened) {
    say("getfasta", opened.error().display());
    return 1;
  }
  const Faidx& fx = **opened;
  LineReader reader;
  std::string error;
  if (!reader.open(bed, error)) {
    say("getfasta", error);
    return 1;
  }
  Output out;
  if (!out.open(output, error)) {
    say("getfasta", error);
    return 1;
  }
  Layout layout;
  layout.width = 0;
  layout.line_per_region = tab || bed_out;
  Emitter em(fx, layout, out, "getfasta");
  em.set_reader(&reader);

  bool ok = true;
  std::size_t fields = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
  std::string_view line;
  while (ok && reader.next(line)) {
    const Where at{&bed, reader.line_number()};
    const auto where = [&] { return at.text(); };
    const BedLine parsed = parse_bed_line(line);
    if (parsed.kind == BedLineKind::Skip) continue;
    if (parsed.kind == BedLineKind::Error) {
      say("getfasta", "malformed BED row (" + parsed.message + ") at " + where());
      ok = false;
      break;
    }
    const BedRow& row = parsed.row;
    // bedtools refuses a file whose rows differ in their number of columns.
    if (fields == 0) fields = row.fields;
    if (row.fields != fields) {
      say("getfasta", "a different number of BED columns (" + std::to_string(row.fields) +
                          " instead of " + std::to_string(fields) + ") at " + where());
      ok = false;
      break;
    }
    const auto region = [&] {
      return std::string(row.chrom) + ":" + std::to_string(row.start) + "-" +
             std::to_string(row.end);
    };
    const std::optional<EntryNumbers> e = fx.names().lookup(row.chrom);
    if (!e) {
      say("getfasta", "chromosome (" + std::string(row.chrom) +
                          ") was not found in the FASTA file; skipping " + where());
      continue;
    }
    if (row.start == row.end) {
      say("getfasta", "feature (" + region() + ") has length 0; skipping " + where());
      continue;
    }
    if (row.end > e->rlen) {
      say("getfasta", "feature (" + region() + ") reaches beyond the length of " +
                          std::string(row.chrom) + " (" + std::to_string(e->rlen) +
                          " residues); skipping " + where());
      continue;
    }
    if (split && !bed_blocks(row, blocks, error)) {
      say("getfasta", "malformed BED12 blocks (" + error + ") at " + where());
      ok = false;
      break;
    }
    if (!split) {
      blocks.assign(1, {row.start, row.end});
    }
    if (row.line.size() > kMaxHeader) {
      say("getfasta", "row too long at " + where());
      ok = false;
      break;
    }
    const bool rc = strand && row.strand == "-";
    if (!em.begin_region()) {
      ok = false;
      break;
    }
    std::string& p = em.prefixes();
    if (bed_out) {
      p.append(row.line);
      p.push_back('\t');
    } else {
      if (!tab) p.push_back('>');
      if (name_only) {
        p.append(row.name);
      } else if (name) {
        p.append(row.name);
        p.append("::");
      }
      if (!name_only) {
        p.append(row.chrom);
        p.push_back(':');
        append_number(p, row.start);
        p.push_back('-');
        append_number(p, row.end);
      }
      if (strand) {
        p.push_back('(');
        p.append(row.strand);
        p.push_back(')');
      }
      p.push_back(tab ? '\t' : '\n');
    }
    bool has_residues = false;
    for (std::size_t k = 0; ok && k < blocks.size(); ++k) {
      const auto& [b, end] = blocks[rc ? blocks.size() - 1 - k : k];
      const std::uint64_t first = std::min(b, e->rlen) + 1;
      const std::uint64_t last = std::min(end, e->rlen);
      if (last >= first) has_residues = true;
      ok = em.add(*e, first, last, rc);
    }
    ok = ok && em.end_region(has_residues);
  }
  if (ok && !reader.error().empty()) {
    say("getfasta", bed + ": " + reader.error());
    ok = false;
  }
  return em.finish(ok);
}

const char kUsage[] =
    "Usage: tavlo <command> [options]\n"
    "Fast extraction of FASTA regions through a .fai index.\n"
    "Commands:\n"
    "  faidx     regions in samtools faidx syntax (tavlo faidx --help)\n"
    "  getfasta  intervals of a BED file, as bedtools getfasta (tavlo getfasta -h)\n"
    "Options:\n"
    "  -h, --help     This message.\n"
    "  --version      The version.\n";

int run(int argc, char** argv) {
  // A closed pipe ends the program at once and quietly, whatever the parent left in place.
  ::signal(SIGPIPE, SIG_DFL);
  // The chunk buffers and the fetched residues are freed and allocated again chunk after chunk:
  // keeping freed memory (instead of returning it to the kernel and getting zeroed pages back)
  // saves a good part of the run. Memory stays bounded by the chunk size either way.
  ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
  if (argc < 2) {
    (void)!::write(2, kUsage, sizeof kUsage - 1);
    return 1;
  }
  const std::string_view command = argv[1];
  if (command == "faidx") return run_faidx(argc, argv);
  if (command == "getfasta") return run_getfasta(argc, argv);
  if (command == "-h" || command == "--help" || command == "help") {
    (void)!::write(1, kUsage, sizeof kUsage - 1);
    return 0;
  }
  if (command == "--version" || command == "-V") {
    static const char kVersion[] = "tavlo " TAVLO_VERSION "\n";
    (void)!::write(1, kVersion, sizeof kVersion - 1);
    return 0;
  }
  say(command, "unknown command");
  (void)!::write(2, kUsage, sizeof kUsage - 1);
  return 1;
}

}  // namespace

}  // namespace tavlo::cli

int main(int argc, char** argv) {
  try {
    return tavlo::cli::run(argc, argv);
  } catch (const std::bad_alloc&) {
    static const char kText[] = "tavlo: out of memory\n";
    (void)!::write(2, kText, sizeof kText - 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavlo: %s\n", e.what());
  }
  return 1;
}
