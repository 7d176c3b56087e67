// URLs of remote FASTA files: which names are URLs, their parts, and their redacted form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavlo {

struct Url {
  std::string scheme;    // "http", "https" or "s3", lower case
  std::string userinfo;  // "user:password" before the host, or empty
  std::string host;      // for s3: the bucket
  std::string port;      // digits, or empty
  std::string path;      // from its '/', or empty
  std::string query;     // after '?', without it; the fragment is dropped

  // The URL again, without its userinfo (credentials travel in an option of their own).
  std::string text() const;
  // The same with `suffix` appended to the path, before the query string: "x.fa" -> "x.fa.fai".
  std::string with_path_suffix(std::string_view suffix) const;
};

// True for a name that starts with http://, https:// or s3:// (any case).
bool looks_like_url(std::string_view name);

// The parts of `text`, or nothing when it is not an http, https or s3 URL with a host.
std::optional<Url> parse_url(std::string_view text);

// `text` fit to be shown: userinfo dropped, and the value of every query parameter that may
// carry a secret (signatures, credentials, tokens, keys) replaced by "REDACTED". Text that is
// not a URL comes back as it is.
std::string redact_url(std::string_view text);

}  // namespace tavlo
