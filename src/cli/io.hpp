// Input lines, the output file (written beside its target and renamed at the end) and the
// progress line of the command-line tool.
#pragma once

#include <sys/uio.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo::cli {

// Lines of a file or of standard input, read in large blocks. A view returned by next() stays
// valid until the following call.
class LineReader {
 public:
  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // Opens `path` ("-" or "stdin": standard input); false with `error` set on failure.
  bool open(const std::string& path, std::string& error);
  // The next line without its LF; false at the end of the input or on a read error (see error()).
  bool next(std::string_view& line);
  std::uint64_t line_number() const { return line_number_; }
  // The part of the input consumed so far; 0 when its size is unknown, as for a pipe.
  double share() const { return size_ == 0 ? 0 : static_cast<double>(consumed_) / size_; }
  const std::string& error() const { return error_; }

 private:
  bool fill();

  int fd_ = -1;
  bool owns_fd_ = false;
  bool eof_ = false;
  std::string buf_;
  std::size_t begin_ = 0;  // first unread byte in buf_
  std::size_t end_ = 0;    // end of the bytes read into buf_
  std::uint64_t line_number_ = 0;
  std::uint64_t consumed_ = 0;
  std::uint64_t size_ = 0;
  std::string error_;
};

// Where the output goes. A path naming a regular file (or nothing yet) is written to a
// temporary file in the same directory, renamed over the path by commit(); any other existing
// path (/dev/null, a FIFO, a terminal) is written in place. No path: standard output.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output();  // removes an uncommitted temporary file

  bool open(const std::string& path, std::string& error);
  // Writes every buffer in order. A closed pipe on standard output ends the process quietly.
  bool write(const std::vector<std::string>& buffers, std::size_t count, std::string& error);
  // Closes the output and moves the temporary file into place.
  bool commit(std::string& error);

 private:
  int fd_ = 1;
  bool owns_fd_ = false;
  bool preallocate_ = false;  // reserve the blocks of each write first (our own new file)
  std::uint64_t written_ = 0;
  std::string path_;
  std::string temp_;  // empty unless writing through a temporary file
};

// "N regions, R/s, T left" on standard error, redrawn at most a few times a second, when standard
// error is a terminal and the run is large enough to be worth it.
class Progress {
 public:
  Progress();
  // Called between chunks. `share` is the part of the input read so far (0 when unknown).
  void update(std::uint64_t regions, double share);
  // Erases the line.
  void finish();

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace tavlo::cli
