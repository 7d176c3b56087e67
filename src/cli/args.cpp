// Command-line options of the tool's commands, and the form of its parse errors.
#include "cli/args.hpp"

#include <unistd.h>

#include <charconv>

#include "faidx/pool.hpp"

namespace tavlo::cli {

namespace {

// The option of which `name` is one of the '|'-separated spellings.
const OptionSpec* find(const std::vector<OptionSpec>& specs, std::string_view name) {
  for (const OptionSpec& s : specs) {
    for (std::string_view rest = s.names;;) {
      const std::size_t bar = rest.find('|');
      if (rest.substr(0, bar) == name) return &s;
      if (bar == std::string_view::npos) break;
      rest.remove_prefix(bar + 1);
    }
  }
  return nullptr;
}

}  // namespace

std::string parse_args(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
                       std::vector<std::string>& words) {
  bool options = true;
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options || arg.size() < 2 || arg[0] != '-') {
      words.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options = false;
      continue;
    }
    // The whole word, "--long=VALUE", or a one-letter option with its value or more flags after.
    const std::size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    std::string_view name = arg.substr(0, eq);
    const OptionSpec* spec = find(specs, name);
    std::string_view rest = eq == std::string_view::npos ? "" : arg.substr(eq + 1);
    if (spec == nullptr && !arg.starts_with("--")) {
      name = arg.substr(0, 2);
      spec = find(specs, name);
      rest = arg.substr(2);
    }
    if (spec == nullptr) return "unknown option " + quoted(arg);
    if (spec->value != nullptr) {
      if (rest.empty() && (eq != std::string_view::npos || i + 1 >= argc)) {
        return "option " + std::string(name) + " needs a value";
      }
      spec->value->assign(rest.empty() ? std::string_view(argv[++i]) : rest);
      continue;
    }
    if (eq != std::string_view::npos) return "unknown option " + quoted(arg);
    *spec->flag = true;
    // Grouped flags: each letter after the first must be a flag of its own.
    for (const char c : rest) {
      const char letter[] = {'-', c, '\0'};
      const OptionSpec* more = find(specs, letter);
      if (more == nullptr || more->flag == nullptr) return "unknown option " + quoted(arg);
      *more->flag = true;
    }
  }
  return {};
}

bool parse_count(std::string_view text, long long& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string set_threads(const std::string& text) {
  long long threads = 0;
  if (!parse_count(text, threads) || threads < 0 || threads > 4096) {
    return "thread count " + quoted(text) + " is not a number from 0 to 4096";
  }
  set_pool_threads(static_cast<std::size_t>(threads));
  return {};
}

int parse_outcome(std::string_view command, const std::string& error, bool help,
                  std::string_view usage) {
  if (error.empty() && !help) return -1;
  if (!error.empty()) say(command, error);
  (void)!::write(error.empty() ? 1 : 2, usage.data(), usage.size());
  return error.empty() ? 0 : 1;
}

std::string Where::text() const {
  if (file == nullptr) return "argument " + std::to_string(number);
  return "line " + std::to_string(number) + " of " + *file;
}

bool problem(std::string_view command, std::string_view what, std::string_view why,
             const Where& where) {
  std::string text(what);
  if (!why.empty()) text += " (" + std::string(why) + ")";
  say(command, text + " at " + where.text());
  return false;
}

void say(std::string_view command, std::string_view text) {
  const std::string line = "tavlo " + std::string(command) + ": " + std::string(text) + "\n";
  (void)!::write(2, line.data(), line.size());
}

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

}  // namespace tavlo::cli
