// Range requests over HTTP(S) on libcurl: kept-alive connections shared by threads, retries with
// backoff, and the checks that keep a misbehaving server or a changed object from giving wrong
// bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "errors/errors.hpp"
#include "faidx/remote/s3.hpp"
#include "faidx/source.hpp"

namespace tavlo {

// What identifies one version of an object: a later response that differs means it changed.
struct ObjectVersion {
  std::uint64_t size = 0;
  std::string etag;           // as the server sent it, quotes included; may be empty
  std::string last_modified;  // may be empty
};

class HttpClient {
 public:
  // A client for the object at `url` (sent as given: userinfo, query string and all), named
  // `shown` in every message; S3 requests are signed with `s3`'s credentials when it holds any.
  HttpClient(std::string url, std::string shown, std::optional<S3Access> s3);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  const std::string& shown() const { return shown_; }
  const std::string& url() const { return url_; }

  // Reads the object's first `length` bytes into `out` and learns its size, ETag and
  // Last-Modified. A missing or forbidden object is a FastaNotFound error that says what the
  // server answered; a server that ignores Range an IOError.
  Result<ObjectVersion> probe(std::uint64_t length, std::string& out);
  // Reads bytes `r` of the version `v` of the object into `out` (exactly r.length bytes, or an
  // error). Retries connection errors, timeouts, 429 and 5xx with backoff.
  Status get_range(const ObjectVersion& v, ByteRange r, std::string& out) const;
  // Reads every range of `ranges` with up to `in_flight` requests at once, handing each body to
  // `done` (called on this thread). A range that fails is left out: its later read reports it.
  void get_ranges(const ObjectVersion& v, const std::vector<ByteRange>& ranges, int in_flight,
                  const std::function<void(std::size_t, std::string&&)>& done) const;
  // The whole of another object, `url` (named `shown`): its body, or nothing when the server
  // says it is missing or forbidden (404, 403, 410). Bounded by `max_bytes`.
  Result<std::optional<std::string>> get_small(const std::string& url, const std::string& shown,
                                               std::uint64_t max_bytes) const;
  // The whole object, streamed to `sink` in pieces (false from the sink stops it with an error).
  Status stream(const ObjectVersion& v, const std::function<bool(const char*, std::size_t)>& sink)
      const;

  struct Shared;  // connections, handles and the signing data, shared by every request

 private:
  std::string url_;
  std::string shown_;
  std::unique_ptr<Shared> shared_;
};

// True when this build reads URLs (it was built with libcurl).
bool remote_supported();

}  // namespace tavlo
