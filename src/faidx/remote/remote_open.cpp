// Opening a URL: the object checked, its index found (given, beside it, or in the local cache) or
// built in one streamed pass, and the source of range requests.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "faidx/bgzf.hpp"
#include "faidx/fai_file.hpp"
#include "faidx/faidx.hpp"
#include "faidx/file_io.hpp"
#include "faidx/remote/http.hpp"
#include "faidx/remote/remote_source.hpp"
#include "faidx/remote/s3.hpp"
#include "faidx/remote/url.hpp"
#include "faidx/scan.hpp"

namespace tavlo {

namespace {

// An index of a remote file is text of a few bytes a record: even a million records fit.
constexpr std::uint64_t kMaxIndexBytes = 1ULL << 30;

// The folder of cached indexes: $XDG_CACHE_HOME/tavlo, else ~/.cache/tavlo. Made when missing.
Result<std::string> cache_folder() {
  std::string base;
  if (const char* x = std::getenv("XDG_CACHE_HOME"); x != nullptr && *x == '/') {
    base = x;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = std::string(home) + "/.cache";
  } else {
    return FaidxError::io("no folder for the index of a URL: set XDG_CACHE_HOME or HOME, or give "
                          "indexname");
  }
  for (const std::string& dir : {base, base + "/tavlo"}) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      return FaidxError::io("cannot make " + dir + ", the cache of the indexes of URLs (" +
                            std::strerror(errno) + "): set XDG_CACHE_HOME, or give indexname");
    }
  }
  return base + "/tavlo";
}

// A file name for the index of `shown` (the URL without its secrets, so that a presigned URL
// signed again maps to the same file): a hash of it, plus its last path part for people.
std::string cache_key(const std::string& shown) {
  std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  for (const char c : shown) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  static const char kHex[] = "0123456789abcdef";
  std::string key(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) key[static_cast<std::size_t>(i)] = kHex[h & 15];
  std::string base = shown.substr(0, shown.find('?'));
  base = base.substr(base.rfind('/') + 1);
  std::string safe;
  for (const char c : base.substr(0, 64)) {
    safe += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')
                ? c
                : '_';
  }
  return key + "-" + safe;
}

// What a cached index was built from; it serves while the object is this version.
std::string version_text(const std::string& shown, const ObjectVersion& v) {
  return shown + "\n" + std::to_string(v.size) + "\n" + v.etag + "\n" + v.last_modified + "\n";
}

}  // namespace

Status Faidx::open_url() {
  FaidxOptions& opt = options_;
  auto url = parse_url(opt.filename);
  const std::string shown = redact_url(opt.filename);
  if (!url) return FaidxError::of(ErrorKind::FastaNotFound, shown);
  std::optional<S3Access> s3;
  std::string target = opt.filename;
  if (url->scheme == "s3") {
    auto access = resolve_s3(*url);
    if (!access) return std::move(access).error();
    target = access->url;
    s3 = std::move(*access);
  }
  auto client = std::make_unique<HttpClient>(target, shown, s3);
  std::string first;
  auto version = client->probe(kRemoteBlock, first);
  if (!version) return std::move(version).error();
  if (tavlo::is_gzip(first)) {
    return FaidxError::io(shown + " is gzip-compressed: compressed files are read from local "
                                  "paths only for now; serve the uncompressed file");
  }

  // Messages, repr and pickles show the URL without its secrets from here on.
  opt.filename = shown;
  // The index beside the object: the URL requested (with its userinfo and query string, so
  // that it is authorised alike) with the suffix appended to its path.
  const auto sibling = [&](std::string_view suffix) {
    std::string u = target.substr(0, target.find('#'));
    const std::size_t query = u.find('?');
    u.insert(query == std::string::npos ? u.size() : query, suffix);
    return u;
  };

  std::optional<FaidxError> folder_error;
  std::string cached;  // the cache file that serves or will serve as the index, when any
  std::string cached_meta;
  if (opt.indexname && !looks_like_url(*opt.indexname)) {
    index_path_ = *opt.indexname;
    struct stat st;
    if (::stat(index_path_.c_str(), &st) == 0) {
      names_.set_keep_first(opt.first_duplicate_wins);
      if (Status r = read_fai(index_path_, names_, opt.bytewise_names); !r) {
        return in_file(std::move(r).error(), index_path_);
      }
      source_ = make_remote_source(std::move(client), std::move(*version), std::move(first));
      return Ok{};
    }
  } else {
    // Without a cache folder an index served beside the object still serves, and one built here
    // is kept in memory under index_in_memory; otherwise the folder's error is the outcome.
    auto folder = cache_folder();
    if (!folder && !opt.index_in_memory) folder_error = std::move(folder).error();
    if (folder) {
      cached = *folder + "/" + cache_key(shown) + ".fai";
      cached_meta = cached + ".version";
    }
    index_path_ = folder ? cached : std::string();
    std::string meta;
    if (FileDescriptor fd(folder ? ::open(cached_meta.c_str(), O_RDONLY | O_CLOEXEC) : -1); fd) {
      names_.set_keep_first(opt.first_duplicate_wins);
      if (read_all(fd.get(), meta) && meta == version_text(shown, *version) &&
          read_fai(cached, names_, opt.bytewise_names)) {
        source_ = make_remote_source(std::move(client), std::move(*version), std::move(first));
        return Ok{};
      }
      names_ = NameTable();
    }
    // The index served beside the object (or at indexname), copied into the cache.
    std::string index_url = opt.indexname ? *opt.indexname : sibling(".fai");
    if (opt.indexname) {
      auto iu = parse_url(index_url);
      if (iu && iu->scheme == "s3") {
        auto access = resolve_s3(*iu);
        if (!access) return std::move(access).error();
        index_url = access->url;
      }
    }
    auto remote_index = client->get_small(index_url, redact_url(index_url), kMaxIndexBytes);
    if (!remote_index) return std::move(remote_index).error();
    if (*remote_index) {
      names_.set_keep_first(opt.first_duplicate_wins);
      if (Status r = parse_fai(**remote_index, names_, opt.bytewise_names); !r) {
        return in_file(std::move(r).error(), redact_url(index_url));
      }
      // The cache is a convenience: a folder that cannot be written only costs a later download.
      if (folder && write_file_atomically(cached, **remote_index)) {
        (void)write_file_atomically(cached_meta, version_text(shown, *version));
      }
      source_ = make_remote_source(std::move(client), std::move(*version), std::move(first));
      return Ok{};
    }
  }
  if (!opt.build_index) return FaidxError::of(ErrorKind::IndexNotFound, index_path_);
  if (folder_error) return std::move(*folder_error);

  // No index anywhere: one pass over the object builds it, fed to the scanner as it arrives.
  FastaScanner scanner(0, opt.bytewise_names);
  std::string pending;
  FaidxError scan_error = FaidxError::io("");
  bool failed = false;
  Status streamed = client->stream(*version, [&](const char* data, std::size_t n) {
    pending.append(data, n);
    if (pending.size() < (4u << 20)) return true;
    auto used = scanner.feed(pending, false);
    if (!used) {
      scan_error = std::move(used).error();
      failed = true;
      return false;
    }
    pending.erase(0, *used);
    return true;
  });
  if (failed) return in_file(std::move(scan_error), shown);
  if (!streamed) return streamed;
  if (auto used = scanner.feed(pending, true); !used) {
    return in_file(std::move(used).error(), shown);
  }
  if (index_path_.empty()) {
    // No cache folder, under index_in_memory: nothing to write the index to.
    NameTable listing = scanner.take_listing();
    listing.set_keep_first(opt.first_duplicate_wins);
    const bool distinct = listing.index_distinct();
    names_ = std::move(listing);
    if (!distinct) names_.merge_repeats();
    warnings_.push_back("no cache folder for the index of " + shown +
                        ": using an index built in memory");
  } else if (Status a = adopt_listing(scanner.take_listing()); !a) {
    return a;
  }
  if (!cached_meta.empty()) {
    (void)write_file_atomically(cached_meta, version_text(shown, *version));
  }
  source_ = make_remote_source(std::move(client), std::move(*version), std::move(first));
  return Ok{};
}

}  // namespace tavlo
