// BED rows and BED12 blocks.
#include "cli/bed.hpp"

namespace tavlo::cli {

namespace {

// A whole-field unsigned decimal; false on anything else or on overflow.
bool parse_uint(std::string_view s, std::uint64_t& out) {
  if (s.empty()) return false;
  std::uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(n, 10u, &n) || __builtin_add_overflow(n, unsigned(c - '0'), &n)) {
      return false;
    }
  }
  out = n;
  return true;
}

// Splits a comma-separated list of numbers (a trailing comma allowed).
bool parse_list(std::string_view s, std::vector<std::uint64_t>& out) {
  out.clear();
  while (!s.empty()) {
    const std::size_t comma = s.find(',');
    std::uint64_t v = 0;
    if (!parse_uint(s.substr(0, comma), v)) return false;
    out.push_back(v);
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  return true;
}

}  // namespace

BedLine parse_bed_line(std::string_view line) {
  BedLine out;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() == '#' || line.starts_with("track") ||
      line.starts_with("browser")) {
    return out;
  }
  BedRow& row = out.row;
  row.line = line;
  std::string_view start_text, end_text;
  // Where each column goes: the first three, the name, the strand and the BED12 blocks.
  std::string_view* const columns[] = {
      &row.chrom, &start_text, &end_text, &row.name,        nullptr,          &row.strand,
      nullptr,    nullptr,     nullptr,   &row.block_count, &row.block_sizes, &row.block_starts};
  std::string_view rest = line;
  std::size_t n = 0;
  for (;; ++n) {
    const std::size_t tab = rest.find('\t');
    if (n < std::size(columns) && columns[n] != nullptr) *columns[n] = rest.substr(0, tab);
    if (tab == std::string_view::npos) break;
    rest.remove_prefix(tab + 1);
  }
  // A trailing tab does not make another column.
  row.fields = line.back() == '\t' ? n : n + 1;
  if (row.fields < 3) {
    out.message = "fewer than 3 tab-separated columns";
  } else if (!parse_uint(start_text, row.start) || !parse_uint(end_text, row.end)) {
    out.message = "start and end must be non-negative integers";
  } else if (row.end < row.start) {
    out.message = "end before start";
  }
  out.kind = out.message.empty() ? BedLineKind::Row : BedLineKind::Error;
  return out;
}

bool bed_blocks(const BedRow& row, std::vector<std::pair<std::uint64_t, std::uint64_t>>& blocks,
                std::string& message) {
  blocks.clear();
  std::uint64_t count = 0;
  if (row.fields < 12 || (parse_uint(row.block_count, count) && count == 0)) {
    blocks.emplace_back(row.start, row.end);
    return true;
  }
  std::vector<std::uint64_t> sizes, starts;
  if (!parse_uint(row.block_count, count) || !parse_list(row.block_sizes, sizes) ||
      !parse_list(row.block_starts, starts)) {
    message = "block count, sizes and starts must be non-negative integers";
    return false;
  }
  if (sizes.size() != count || starts.size() != count) {
    message = "block count does not match the block sizes and starts";
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t b = 0, e = 0;
    if (__builtin_add_overflow(row.start, starts[i], &b) ||
        __builtin_add_overflow(b, sizes[i], &e)) {
      message = "block beyond the coordinate range";
      return false;
    }
    blocks.emplace_back(b, e);
  }
  return true;
}

}  // namespace tavlo::cli
