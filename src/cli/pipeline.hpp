// The pipeline of both commands: regions collected into chunks, fetched and formatted on the
// worker pool, written by a thread of their own; and opening the FASTA file for the tool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.hpp"
#include "cli/format.hpp"
#include "cli/io.hpp"
#include "faidx/faidx.hpp"

namespace tavlo::cli {

// The longest header or region text taken.
inline constexpr std::size_t kMaxHeader = 1u << 30;

// The files a run reads, which no output may replace.
struct Inputs {
  std::string fasta, fai, gzi;
};

// Opens `in.fasta` as the tool does (the rules of samtools rather than the module's: bytes for
// names, the first of repeated names, an index kept in memory when it cannot be written) and
// says its warnings; null after saying why it failed. Fills in the index paths of `in`.
std::unique_ptr<Faidx> open_fasta(std::string_view command, Inputs& in);

// Opens the file of input lines `lines` (unless empty) and the output, once sure that `output`
// is none of the files of `in` (the same file, or the same path once resolved): writing it would
// destroy the input. False after saying why not.
bool open_files(std::string_view command, const Inputs& in, const std::string& lines,
                LineReader& reader, const std::string& output, Output& out);

class Stage;

// Collects regions into chunks. A full chunk goes to the formatter thread, which fetches and
// formats it on the worker pool and passes the text on to the writer thread, while this thread
// parses the next chunk.
class Emitter {
 public:
  Emitter(const Faidx& fx, Layout layout, Output& out, const char* command);
  ~Emitter();

  void set_reader(const LineReader* reader) { reader_ = reader; }

  // Calls `take(line, where)` on each line of `reader` (the file `path`), which the progress line
  // then follows, while it returns true. False when a call did, or after saying a read error.
  template <typename Take>
  bool each_line(LineReader& reader, const std::string& path, Take take) {
    reader_ = &reader;
    std::string_view line;
    while (reader.next(line)) {
      if (!take(line, Where{&path, reader.line_number()})) return false;
    }
    if (reader.error().empty()) return true;
    say(command_, path + ": " + reader.error());
    return false;
  }

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
  bool add(const EntryNumbers& e, std::uint64_t first, std::uint64_t last, bool rc);

  bool end_region(bool has_residues) {
    if (pending_) (void)new_piece();
    Piece& p = chunk().pieces.back();
    p.ends = true;
    p.region_has_residues = has_residues;
    ++chunk().regions;
    return true;
  }

  // Ends a run and returns its exit status. What was fetched before a failure is still written,
  // as samtools does; a file named by -o is only put in place after a complete run.
  int finish(bool ok);

 private:
  Chunk& chunk() { return chunks_[current_]; }
  // Hands the chunk over to be formatted and written; `last` also waits for every write.
  bool flush(bool last = false);
  bool fail(const std::string& error);
  // On the formatter thread: formats chunk `c` into the free set of buffers, waits for the
  // writer to finish the other set and hands this one over.
  bool format_and_write(int c, std::string& error);
  bool flush_if_full();
  Piece& new_piece();

  const Faidx& fx_;
  Layout layout_;
  Output& out_;
  // One chunk is parsed while the other is formatted, and one set of buffers is formatted while
  // the other is written. Declared before the threads, so that the threads (which may still be
  // at work on them) stop before they go; the formatter, which feeds the writer, stops first.
  Chunk chunks_[2];
  std::vector<std::string> buffers_[2];
  std::unique_ptr<Stage> writer_;
  std::unique_ptr<Stage> formatter_;
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

// The commands: each returns the exit status.
int run_faidx(int argc, char** argv);
int run_getfasta(int argc, char** argv);

}  // namespace tavlo::cli
