// Parsing and redacting URLs.
#include "faidx/remote/url.hpp"

#include <algorithm>
#include <cctype>

namespace tavlo {

namespace {

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Query parameter names whose values are secrets: presigned S3 and GCS URLs, Azure SAS tokens,
// and the usual names of API keys and tokens.
bool secret_parameter(std::string_view name) {
  const std::string n = lower(name);
  static constexpr std::string_view kParts[] = {"signature", "credential", "token", "secret",
                                                "password",  "key",        "auth"};
  if (n == "sig") return true;
  return std::any_of(std::begin(kParts), std::end(kParts),
                     [&](std::string_view p) { return n.find(p) != std::string::npos; });
}

std::string redact_query(std::string_view query) {
  std::string out;
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t amp = query.find('&', at);
    if (amp == std::string_view::npos) amp = query.size();
    const std::string_view param = query.substr(at, amp - at);
    const std::size_t eq = param.find('=');
    if (at > 0) out += '&';
    if (eq != std::string_view::npos && secret_parameter(param.substr(0, eq))) {
      out.append(param.substr(0, eq + 1));
      out += "REDACTED";
    } else {
      out.append(param);
    }
    at = amp + 1;
  }
  return out;
}

}  // namespace

bool looks_like_url(std::string_view name) {
  return starts_with_nocase(name, "http://") || starts_with_nocase(name, "https://") ||
         starts_with_nocase(name, "s3://");
}

std::optional<Url> parse_url(std::string_view text) {
  if (!looks_like_url(text)) return std::nullopt;
  // Control characters and spaces would end up in a request line or a header.
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return std::nullopt;
  }
  Url u;
  const std::size_t colon = text.find("://");
  u.scheme = lower(text.substr(0, colon));
  std::string_view rest = text.substr(colon + 3);
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    rest = rest.substr(0, hash);
  }
  const std::size_t authority_end = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, authority_end);
  rest = authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    u.userinfo = std::string(authority.substr(0, at));
    authority = authority.substr(at + 1);
  }
  // A bracketed IPv6 literal keeps its colons; a port follows the last ']' or ':'.
  const std::size_t bracket = authority.rfind(']');
  const std::size_t port_colon = authority.rfind(':');
  if (port_colon != std::string_view::npos &&
      (bracket == std::string_view::npos || port_colon > bracket)) {
    u.port = std::string(authority.substr(port_colon + 1));
    authority = authority.substr(0, port_colon);
    if (u.port.empty() || u.port.size() > 5 ||
        !std::all_of(u.port.begin(), u.port.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      return std::nullopt;
    }
  }
  if (authority.empty()) return std::nullopt;
  u.host = std::string(authority);
  const std::size_t q = rest.find('?');
  u.path = std::string(rest.substr(0, q));
  if (q != std::string_view::npos) u.query = std::string(rest.substr(q + 1));
  return u;
}

std::string Url::text() const {
  std::string out = scheme + "://" + host;
  if (!port.empty()) out += ":" + port;
  out += path;
  if (!query.empty()) out += "?" + query;
  return out;
}

std::string Url::with_path_suffix(std::string_view suffix) const {
  Url u = *this;
  u.path.append(suffix);
  return u.text();
}

std::string redact_url(std::string_view text) {
  auto u = parse_url(text);
  if (!u) return std::string(text);
  u->userinfo.clear();
  u->query = redact_query(u->query);
  return u->text();
}

}  // namespace tavlo
