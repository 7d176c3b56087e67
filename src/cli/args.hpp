// The argument parser of both commands, and the messages of every parser of the tool.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo::cli {

// One option: its spellings separated by '|' ("-o|--output", "-fi"), and where it goes: `value`
// for an option that takes one, `flag` for one that does not.
struct OptionSpec {
  OptionSpec(std::string_view n, std::string* v) : names(n), value(v) {}
  OptionSpec(std::string_view n, bool* f) : names(n), flag(f) {}
  std::string_view names;
  std::string* value = nullptr;
  bool* flag = nullptr;
};

// Reads argv[first, argc) against `specs`: "-x VALUE", "-xVALUE", "--long VALUE",
// "--long=VALUE", flags grouped as getopt allows ("-ic"), spellings of one dash and several
// letters ("-bed"), and "--" before words that are not options. Other words go to `words` in
// order. Returns an empty text, or the message of the first problem.
std::string parse_args(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
                       std::vector<std::string>& words);

// A decimal number ("-n 60"); false when the text is not one.
bool parse_count(std::string_view text, long long& out);

// Sizes the worker pool from the value of -@; the message when it is not a count up to 4096.
std::string set_threads(const std::string& text);

// How the parsing of a command ends: the usage on standard output for `help`, else `error` (when
// there is one) and the usage on standard error. -1: run; else the exit status.
int parse_outcome(std::string_view command, const std::string& error, bool help,
                  std::string_view usage);

// Where an input item came from, put into words only when a message needs it.
struct Where {
  const std::string* file = nullptr;  // null: a command-line argument
  std::uint64_t number = 0;           // line or argument number, from 1
  std::string text() const;
};

// Says a parse error of the tool in its one form, whatever was parsed (an argument, a region, a
// BED line): "tavlo COMMAND: what (why) at where". Returns false.
bool problem(std::string_view command, std::string_view what, std::string_view why,
             const Where& where);

// Writes "tavlo COMMAND: text" and a line end to standard error.
void say(std::string_view command, std::string_view text);

std::string quoted(std::string_view s);

}  // namespace tavlo::cli
