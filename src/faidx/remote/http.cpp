// HTTP(S) range requests on libcurl.
#include "faidx/remote/http.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace tavlo {

namespace {

// Attempts of a request before its error is reported, and the first pause between two (doubled
// each time): a server that restarts or sheds load gets about a second to come back.
constexpr int kAttempts = 4;
constexpr int kFirstBackoffMs = 100;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' ||
                        s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

// One request's response as it arrives.
struct Transfer {
  std::string body;
  std::uint64_t cap = 0;  // bytes kept at most; more ends the transfer (a server ignoring Range)
  bool overflow = false;
  const std::function<bool(const char*, std::size_t)>* sink = nullptr;
  bool sink_stopped = false;
  std::string content_range, etag, last_modified;
  curl_slist* headers = nullptr;
  std::string range;

  ~Transfer() { curl_slist_free_all(headers); }
};

std::size_t on_body(char* data, std::size_t size, std::size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * n;
  if (t->sink != nullptr) {
    if (!(*t->sink)(data, bytes)) {
      t->sink_stopped = true;
      return 0;
    }
    return bytes;
  }
  if (t->body.size() + bytes > t->cap) {
    t->overflow = true;
    return 0;
  }
  t->body.append(data, bytes);
  return bytes;
}

std::size_t on_header(char* data, std::size_t size, std::size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::string_view line(data, size * n);
  if (starts_with_nocase(line, "HTTP/")) {
    // A new response (after a redirect or a 100 Continue): forget the last one's headers.
    t->content_range.clear();
    t->etag.clear();
    t->last_modified.clear();
  } else if (starts_with_nocase(line, "content-range:")) {
    t->content_range = trim(line.substr(14));
  } else if (starts_with_nocase(line, "etag:")) {
    t->etag = trim(line.substr(5));
  } else if (starts_with_nocase(line, "last-modified:")) {
    t->last_modified = trim(line.substr(14));
  }
  return size * n;
}

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL"; false when it is neither.
bool parse_content_range(std::string_view s, std::uint64_t* first, std::uint64_t* last,
                         std::uint64_t* total) {
  if (!starts_with_nocase(s, "bytes ")) return false;
  s.remove_prefix(6);
  const std::size_t slash = s.find('/');
  if (slash == std::string_view::npos) return false;
  const auto number = [](std::string_view d, std::uint64_t* out) {
    if (d.empty() || d.size() > 19) return false;
    std::uint64_t v = 0;
    for (char c : d) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    *out = v;
    return true;
  };
  if (!number(s.substr(slash + 1), total)) return false;
  const std::string_view span = s.substr(0, slash);
  if (span == "*") {
    *first = 1;
    *last = 0;
    return true;
  }
  const std::size_t dash = span.find('-');
  return dash != std::string_view::npos && number(span.substr(0, dash), first) &&
         number(span.substr(dash + 1), last) && *first <= *last;
}

enum class Outcome { ok, retry, fail };

struct Attempt {
  Outcome outcome;
  FaidxError error;
};

Attempt ok() { return {Outcome::ok, FaidxError::io("")}; }

std::string http_status_text(long status) {
  switch (status) {
    case 403: return "HTTP 403 Forbidden";
    case 404: return "HTTP 404 Not Found";
    case 410: return "HTTP 410 Gone";
    case 412: return "HTTP 412 Precondition Failed";
    case 416: return "HTTP 416 Range Not Satisfiable";
    case 429: return "HTTP 429 Too Many Requests";
    default: return "HTTP " + std::to_string(status);
  }
}

bool retriable(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return true;
    default: return false;
  }
}

}  // namespace

bool remote_supported() { return true; }

struct HttpClient::Shared {
  std::optional<S3Access> s3;
  std::string sigv4;
  std::string ca_file;
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  std::mutex pool_mutex;
  std::vector<CURL*> idle;  // easy handles between requests, each with its live connection
  std::mutex multi_mutex;
  CURLM* multi = nullptr;          // the batch path's, with its own pool of connections
  std::vector<CURL*> multi_idle;   // easy handles of the multi between batches
  pid_t pid = ::getpid();

  ~Shared() {
    // A forked child must not close (or shut TLS down on) connections that its parent uses.
    if (pid != ::getpid()) return;
    for (CURL* h : idle) curl_easy_cleanup(h);
    for (CURL* h : multi_idle) curl_easy_cleanup(h);
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (share != nullptr) curl_share_cleanup(share);
  }

  CURL* acquire() {
    {
      std::lock_guard<std::mutex> lock(pool_mutex);
      if (pid != ::getpid()) {
        // In a forked child the parent's connections are off limits: leave them be.
        idle.clear();
        multi_idle.clear();
        multi = nullptr;
        share = nullptr;
        pid = ::getpid();
        make_share();
      }
      if (!idle.empty()) {
        CURL* h = idle.back();
        idle.pop_back();
        return h;
      }
    }
    return curl_easy_init();
  }

  void release(CURL* h) {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (pid != ::getpid()) return;
    // A handful kept: a thread per core, a few more for the caller's own threads.
    if (idle.size() < 16) {
      idle.push_back(h);
    } else {
      curl_easy_cleanup(h);
    }
  }

  void make_share() {
    // DNS answers and TLS sessions are shared; connections stay with their handle, since
    // libcurl does not support one connection cache used by concurrent threads.
    share = curl_share_init();
    if (share == nullptr) return;
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC,
                      +[](CURL*, curl_lock_data data, curl_lock_access, void* user) {
                        static_cast<Shared*>(user)->locks[data].lock();
                      });
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data data, void* user) {
      static_cast<Shared*>(user)->locks[data].unlock();
    });
  }

  // Sets `h` up for one GET of `url` into `t`.
  void setup(CURL* h, const std::string& url, Transfer& t, const std::string* if_match) {
    curl_easy_reset(h);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (share != nullptr) curl_easy_setopt(h, CURLOPT_SHARE, share);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    // A stalled transfer (under one byte a second for 30 s) is a timeout, retried.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tavlo");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    if (!ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str());
    if (!t.range.empty()) curl_easy_setopt(h, CURLOPT_RANGE, t.range.c_str());
    if (if_match != nullptr && !if_match->empty() && !starts_with_nocase(*if_match, "W/")) {
      t.headers = curl_slist_append(t.headers, ("If-Match: " + *if_match).c_str());
    }
    if (s3 && !s3->access_key.empty()) {
      curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4.c_str());
      curl_easy_setopt(h, CURLOPT_USERNAME, s3->access_key.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, s3->secret_key.c_str());
      // S3 wants the payload's hash; a GET has none to sign.
      t.headers = curl_slist_append(t.headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
      if (!s3->session_token.empty()) {
        t.headers = curl_slist_append(
            t.headers, ("x-amz-security-token: " + s3->session_token).c_str());
      }
    }
    if (t.headers != nullptr) curl_easy_setopt(h, CURLOPT_HTTPHEADER, t.headers);
  }
};

HttpClient::HttpClient(std::string url, std::string shown, std::optional<S3Access> s3)
    : url_(std::move(url)), shown_(std::move(shown)), shared_(std::make_unique<Shared>()) {
  global_init();
  shared_->s3 = std::move(s3);
  if (shared_->s3) shared_->sigv4 = "aws:amz:" + shared_->s3->region + ":s3";
  // SSL_CERT_FILE as OpenSSL reads it; CURL_CA_BUNDLE as the curl tool reads it.
  for (const char* var : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* v = std::getenv(var);
    if (v != nullptr && *v != '\0') {
      shared_->ca_file = v;
      break;
    }
  }
  shared_->make_share();
}

HttpClient::~HttpClient() = default;

namespace {

// Runs `attempt` until it succeeds, fails for good or has been tried kAttempts times, pausing
// with a doubling backoff between tries.
template <class F>
Status with_retries(F&& attempt) {
  int pause = kFirstBackoffMs;
  for (int i = 1;; ++i) {
    Attempt a = attempt();
    if (a.outcome == Outcome::ok) return Ok{};
    if (a.outcome == Outcome::fail || i == kAttempts) return std::move(a.error);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    pause *= 2;
  }
}

// The error of a transfer that failed in libcurl (never its error buffer, which may quote the
// URL).
FaidxError transfer_error(const std::string& shown, CURLcode code) {
  return FaidxError::io(shown + ": " + curl_easy_strerror(code));
}

// Sends a GET of bytes `r` into `t` and settles what every range request meets alike: no handle,
// a failed transfer, a throttled or failing server (retried), and a missing or forbidden object
// (401 too when probing, that is without `if_match`). Nothing when the response, whose HTTP status
// is left in `status`, is the caller's to judge.
std::optional<Attempt> send_range(HttpClient::Shared& shared, const std::string& url,
                                  const std::string& shown, ByteRange r,
                                  const std::string* if_match, Transfer& t, long& status) {
  t.range = std::to_string(r.offset) + "-" + std::to_string(r.offset + r.length - 1);
  t.cap = r.length;
  CURL* h = shared.acquire();
  if (h == nullptr) return Attempt{Outcome::fail, FaidxError::io("out of memory for a request")};
  shared.setup(h, url, t, if_match);
  const CURLcode code = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  shared.release(h);
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && t.overflow)) {
    return Attempt{retriable(code) ? Outcome::retry : Outcome::fail, transfer_error(shown, code)};
  }
  if (status == 429 || status >= 500) {
    return Attempt{Outcome::retry, FaidxError::io(shown + ": " + http_status_text(status))};
  }
  if (status == 404 || status == 403 || status == 410 || (status == 401 && if_match == nullptr)) {
    return Attempt{Outcome::fail, FaidxError::of(ErrorKind::FastaNotFound,
                                                 shown + " (" + http_status_text(status) + ")")};
  }
  return std::nullopt;
}

// Checks a range response for bytes `r` of version `v`. Retry for what may pass (a short body),
// fail for what will not (Range ignored, another object).
Attempt check_range(const std::string& shown, const ObjectVersion& v, ByteRange r, long status,
                    const Transfer& t) {
  const auto changed = [&] {
    return Attempt{Outcome::fail,
                   FaidxError::io(shown + " changed while open: the server holds another "
                                          "version of it now (open it again to read it)")};
  };
  if (status == 412) return changed();
  if (status == 200 || t.overflow) {
    return {Outcome::fail,
            FaidxError::io(shown + ": the server ignores Range requests (it sent the whole "
                                   "object), so it cannot be read at random")};
  }
  if (status != 206) {
    return {Outcome::fail, FaidxError::io(shown + ": unexpected " + http_status_text(status))};
  }
  std::uint64_t first, last, total;
  if (!parse_content_range(t.content_range, &first, &last, &total)) {
    return {Outcome::fail, FaidxError::io(shown + ": a range response without a valid "
                                                  "Content-Range")};
  }
  if (total != v.size || (!v.etag.empty() && !t.etag.empty() && t.etag != v.etag)) {
    return changed();
  }
  if (first != r.offset || last != r.offset + r.length - 1) {
    return {Outcome::fail, FaidxError::io(shown + ": the server answered another range than "
                                                  "the one asked for")};
  }
  if (t.body.size() != r.length) {
    return {Outcome::retry,
            FaidxError::io(shown + ": the server sent " + std::to_string(t.body.size()) +
                           " bytes of a range of " + std::to_string(r.length))};
  }
  return ok();
}

}  // namespace

Result<ObjectVersion> HttpClient::probe(std::uint64_t length, std::string& out) {
  ObjectVersion v;
  Status s = with_retries([&]() -> Attempt {
    Transfer t;
    long status = 0;
    if (auto a = send_range(*shared_, url_, shown_, {0, length}, nullptr, t, status)) {
      return std::move(*a);
    }
    std::uint64_t first = 0, last = 0, total = 0;
    if (status == 416 && parse_content_range(t.content_range, &first, &last, &total) &&
        total == 0) {
      out.clear();  // an empty object
    } else if (status == 200 && !t.overflow) {
      // The whole object fit in the first block: nothing else will ever be asked for.
      total = t.body.size();
      out = std::move(t.body);
    } else if (status == 200) {
      return check_range(shown_, v, {0, length}, status, t);
    } else if (status == 206 && parse_content_range(t.content_range, &first, &last, &total) &&
               first == 0 && last + 1 == t.body.size() &&
               (last + 1 == length || last + 1 == total)) {
      out = std::move(t.body);
    } else if (status == 206) {
      return {Outcome::retry, FaidxError::io(shown_ + ": a short or malformed range response")};
    } else {
      return {Outcome::fail, FaidxError::io(shown_ + ": unexpected " + http_status_text(status))};
    }
    v.size = total;
    v.etag = std::move(t.etag);
    v.last_modified = std::move(t.last_modified);
    return ok();
  });
  if (!s) return std::move(s).error();
  return v;
}

Status HttpClient::get_range(const ObjectVersion& v, ByteRange r, std::string& out) const {
  return with_retries([&]() -> Attempt {
    Transfer t;
    long status = 0;
    if (auto a = send_range(*shared_, url_, shown_, r, &v.etag, t, status)) return std::move(*a);
    Attempt a = check_range(shown_, v, r, status, t);
    if (a.outcome == Outcome::ok) out = std::move(t.body);
    return a;
  });
}

void HttpClient::get_ranges(const ObjectVersion& v, const std::vector<ByteRange>& ranges,
                            int in_flight,
                            const std::function<void(std::size_t, std::string&&)>& done) const {
  Shared& s = *shared_;
  std::lock_guard<std::mutex> batch_lock(s.multi_mutex);
  if (CURL* h = s.acquire()) s.release(h);  // notices a fork before the multi is used
  {
    std::lock_guard<std::mutex> lock(s.pool_mutex);
    if (s.multi == nullptr) s.multi = curl_multi_init();
  }
  CURLM* m = s.multi;
  if (m == nullptr) return;
  struct Active {
    CURL* handle;
    std::size_t index;
    std::unique_ptr<Transfer> transfer;
  };
  std::vector<Active> active;
  std::size_t next = 0;
  while (next < ranges.size() || !active.empty()) {
    while (next < ranges.size() && static_cast<int>(active.size()) < in_flight) {
      CURL* h;
      if (!s.multi_idle.empty()) {
        h = s.multi_idle.back();
        s.multi_idle.pop_back();
      } else if ((h = curl_easy_init()) == nullptr) {
        break;
      }
      auto t = std::make_unique<Transfer>();
      const ByteRange r = ranges[next];
      t->range = std::to_string(r.offset) + "-" + std::to_string(r.offset + r.length - 1);
      t->cap = r.length;
      s.setup(h, url_, *t, &v.etag);
      curl_multi_add_handle(m, h);
      active.push_back({h, next, std::move(t)});
      ++next;
    }
    if (active.empty()) break;
    int running = 0;
    if (curl_multi_perform(m, &running) != CURLM_OK) break;
    if (curl_multi_poll(m, nullptr, 0, 100, nullptr) != CURLM_OK) break;
    curl_multi_perform(m, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* h = msg->easy_handle;
      const CURLcode code = msg->data.result;
      auto it = std::find_if(active.begin(), active.end(),
                             [&](const Active& a) { return a.handle == h; });
      if (it == active.end()) continue;
      long status = 0;
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
      curl_multi_remove_handle(m, h);
      s.multi_idle.push_back(h);
      if (code == CURLE_OK &&
          check_range(shown_, v, ranges[it->index], status, *it->transfer).outcome ==
              Outcome::ok) {
        done(it->index, std::move(it->transfer->body));
      }
      active.erase(it);
    }
  }
  // Only after a failure of the multi itself are transfers still attached.
  for (Active& a : active) {
    curl_multi_remove_handle(m, a.handle);
    s.multi_idle.push_back(a.handle);
  }
}

Result<std::optional<std::string>> HttpClient::get_small(const std::string& url,
                                                         const std::string& shown,
                                                         std::uint64_t max_bytes) const {
  std::optional<std::string> body;
  Status s = with_retries([&]() -> Attempt {
    Transfer t;
    t.cap = max_bytes;
    CURL* h = shared_->acquire();
    if (h == nullptr) return {Outcome::fail, FaidxError::io("out of memory for a request")};
    shared_->setup(h, url, t, nullptr);
    const CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    shared_->release(h);
    if (t.overflow) return {Outcome::fail, FaidxError::io(shown + " is too large")};
    if (code != CURLE_OK) {
      return {retriable(code) ? Outcome::retry : Outcome::fail, transfer_error(shown, code)};
    }
    if (status == 429 || status >= 500) {
      return {Outcome::retry, FaidxError::io(shown + ": " + http_status_text(status))};
    }
    if (status == 404 || status == 403 || status == 410) {
      body.reset();
      return ok();
    }
    if (status != 200) {
      return {Outcome::fail, FaidxError::io(shown + ": unexpected " + http_status_text(status))};
    }
    body = std::move(t.body);
    return ok();
  });
  if (!s) return std::move(s).error();
  return body;
}

Status HttpClient::stream(const ObjectVersion& v,
                          const std::function<bool(const char*, std::size_t)>& sink) const {
  // Not retried: the sink has taken bytes that a second attempt would send again.
  Transfer t;
  t.sink = &sink;
  CURL* h = shared_->acquire();
  if (h == nullptr) return FaidxError::io("out of memory for a request");
  shared_->setup(h, url_, t, &v.etag);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
  const CURLcode code = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t got = 0;
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &got);
  shared_->release(h);
  if (t.sink_stopped) return FaidxError::io(shown_ + ": the index could not be written");
  if (code != CURLE_OK) return transfer_error(shown_, code);
  if (status == 412 || (!v.etag.empty() && !t.etag.empty() && t.etag != v.etag)) {
    return FaidxError::io(shown_ + " changed while it was read to build its index");
  }
  if (status != 200) return FaidxError::io(shown_ + ": unexpected " + http_status_text(status));
  if (static_cast<std::uint64_t>(got) != v.size) {
    return FaidxError::io(shown_ + ": the server sent " + std::to_string(got) + " bytes of " +
                          std::to_string(v.size));
  }
  return Ok{};
}

}  // namespace tavlo
