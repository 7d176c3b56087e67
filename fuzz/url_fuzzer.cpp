// Fuzz target for URL parsing and redaction: any text either is no URL or parses into parts that
// print back without control characters; its redacted form holds no userinfo, parses again, and
// redacting it again changes nothing; a secret query value never survives redaction.
#include <string>
#include <string_view>

#include "faidx/remote/url.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto url = tavlo::parse_url(text);
  const std::string shown = tavlo::redact_url(text);
  if (!url) {
    FUZZ_REQUIRE(shown == text);
    return 0;
  }
  FUZZ_REQUIRE(url->scheme == "http" || url->scheme == "https" || url->scheme == "s3");
  FUZZ_REQUIRE(!url->host.empty());
  for (const char c : url->text()) FUZZ_REQUIRE(static_cast<unsigned char>(c) > 0x20);
  const auto again = tavlo::parse_url(shown);
  FUZZ_REQUIRE(again && again->userinfo.empty() && again->host == url->host);
  FUZZ_REQUIRE(tavlo::redact_url(shown) == shown);
  // A signature planted in the query string is gone once redacted.
  const std::string planted = std::string(text) + (url->query.empty() ? "?" : "&") +
                              "X-Amz-Signature=PLANTEDSECRET";
  if (text.find('#') == std::string_view::npos) {
    FUZZ_REQUIRE(tavlo::redact_url(planted).find("PLANTEDSECRET") == std::string::npos);
  }
  return 0;
}
