// Region strings resolved as samtools 1.16 resolves them, with saturating numbers.
#include "cli/region.hpp"

#include <algorithm>

namespace tavlo::cli {

namespace {

constexpr std::int64_t kMax = INT64_MAX;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::int64_t push_digit(std::int64_t n, char c) {
  const int d = c - '0';
  return n > (kMax - d) / 10 ? kMax : n * 10 + d;
}

// A decimal number from position `at` of `s`: optional white space and sign, digits with
// thousands separators, an optional fraction (discarded) and an exponent (e<n>, k, M or G).
// `stop` receives the position after the number, or `at` itself when there are no digits.
std::int64_t parse_decimal(std::string_view s, std::size_t at, std::size_t& stop) {
  const std::size_t orig = at;
  while (at < s.size() && is_space(s[at])) ++at;
  char sign = '+';
  if (at < s.size() && (s[at] == '+' || s[at] == '-')) sign = s[at++];
  std::int64_t n = 0;
  int digits = 0, decimals = 0;
  std::int64_t e = 0;
  for (; at < s.size() && (is_digit(s[at]) || s[at] == ','); ++at) {
    if (is_digit(s[at])) {
      ++digits;
      n = push_digit(n, s[at]);
    }
  }
  if (at < s.size() && s[at] == '.') {
    for (++at; at < s.size() && is_digit(s[at]); ++at, ++decimals) n = push_digit(n, s[at]);
    digits += decimals;
  }
  // ASCII letters differ from their capitals in bit 0x20 alone.
  const char unit = at < s.size() ? static_cast<char>(s[at] | 0x20) : '\0';
  if (unit == 'e') {
    ++at;
    char esign = '+';
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) esign = s[at++];
    while (at < s.size() && is_digit(s[at])) {
      e = std::min<std::int64_t>(e * 10 + (s[at++] - '0'), 1000);
    }
    if (esign == '-') e = -e;
  } else if (unit == 'k' || unit == 'm' || unit == 'g') {
    e += unit == 'k' ? 3 : unit == 'm' ? 6 : 9;
    ++at;
  }
  e -= decimals;
  for (; e > 0 && n != 0; --e) n = n > kMax / 10 ? kMax : n * 10;
  for (; e < 0; ++e) n /= 10;
  stop = digits > 0 ? at : orig;
  return sign == '+' ? n : -n;
}

ParsedRegion refuse(RegionStatus status, std::string message) {
  ParsedRegion r;
  r.status = status;
  r.message = std::move(message);
  return r;
}

ParsedRegion unexpected(std::string_view rest) {
  return refuse(RegionStatus::Malformed,
                "unexpected text \"" + std::string(rest) + "\" after the region");
}

ParsedRegion whole(std::string_view name, const EntryNumbers& entry, std::int64_t beg = 0,
                   std::int64_t end = kToEnd) {
  ParsedRegion r;
  r.status = RegionStatus::Ok;
  r.name = name;
  r.entry = entry;
  r.beg = beg;
  r.end = end;
  return r;
}

}  // namespace

bool any_name_has_colon(const NameTable& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names.name_at(i).find(':') != std::string_view::npos) return true;
  }
  return false;
}

ParsedRegion parse_region(std::string_view text, const NameTable& names, bool colon_names) {
  std::string_view s = text;
  std::size_t colon = std::string_view::npos;  // position in s
  bool quoted = false;
  if (!s.empty() && s.front() == '{') {
    const std::size_t close = s.find('}');
    if (close == std::string_view::npos) {
      return refuse(RegionStatus::Malformed, "mismatching braces");
    }
    s.remove_prefix(1);
    if (close + 1 < text.size() && text[close + 1] == ':') colon = close;  // in s: after '}'
    quoted = true;
  } else {
    colon = s.rfind(':');
  }

  if (colon == std::string_view::npos) {
    const std::string_view name = quoted ? s.substr(0, s.size() - 1) : s;
    const std::optional<EntryNumbers> e = names.lookup(name);
    if (!e) return refuse(RegionStatus::NotFound, "sequence not found");
    return whole(name, *e);
  }

  if (!quoted && colon_names) {
    if (const std::optional<EntryNumbers> e = names.lookup(s)) {
      // Both "a:1-2" and "a" naming records leaves the reader no way to tell which is meant.
      if (names.find_index(s.substr(0, colon)) != NameTable::npos) {
        return refuse(RegionStatus::Malformed, "region is ambiguous: use {" + std::string(s) +
                                                   "} or {" + std::string(s.substr(0, colon)) +
                                                   "}" + std::string(s.substr(colon)));
      }
      return whole(s, *e);
    }
  }

  const std::string_view name = s.substr(0, colon - (quoted ? 1 : 0));
  const std::optional<EntryNumbers> entry = names.lookup(name);
  if (!entry) return refuse(RegionStatus::NotFound, "sequence not found");

  std::size_t hyphen = 0;
  std::int64_t beg = parse_decimal(s, colon + 1, hyphen);
  beg = beg == -kMax ? -kMax : beg - 1;
  std::int64_t end = kToEnd;
  const auto at = [&](std::size_t i) { return i < s.size() ? s[i] : '\0'; };
  if (beg < 0) {
    if (beg != -1 && at(hyphen) == '-' && colon + 1 < s.size()) {
      return refuse(RegionStatus::Malformed, "coordinates must be > 0");
    }
    const char c = at(hyphen);
    if (is_digit(c) || hyphen >= s.size() || c == ',') {
      // "name:-100" means "name:1-100".
      return whole(name, *entry, 0, beg == -1 ? kToEnd : -(beg + 1));
    }
    if (beg < -1) return unexpected(s.substr(hyphen));
  }
  if (hyphen < s.size()) {
    if (s[hyphen] != '-') return unexpected(s.substr(hyphen));
    std::size_t stop = 0;
    end = parse_decimal(s, hyphen + 1, stop);
    if (stop < s.size() && s[stop] != ',') return unexpected(s.substr(stop));
  }
  if (end == 0) end = kToEnd;  // "name:100-" runs to the end of the record
  if (beg >= end) return refuse(RegionStatus::Malformed, "end before start");
  // A start of 0 before an end: 1-based coordinates have no residue 0 (rather than an empty
  // result that looks like a success).
  if (beg < 0) return refuse(RegionStatus::Malformed, "coordinates must be > 0");
  return whole(name, *entry, beg, end);
}

ClampedRegion clamp_region(std::int64_t beg, std::int64_t end, std::uint64_t length) {
  const std::uint64_t len = std::min<std::uint64_t>(length, kMax);
  const auto e = static_cast<std::uint64_t>(std::max<std::int64_t>(end, 0));
  const std::uint64_t last = std::min(e, len);
  const auto b = static_cast<std::uint64_t>(std::max<std::int64_t>(beg, 0));
  return {std::min(b, last) + 1, last, end != kToEnd && e > len};
}

}  // namespace tavlo::cli
