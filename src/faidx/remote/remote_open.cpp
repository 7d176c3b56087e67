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
  // Compression is told by content, as for a local file.
  format_ = !tavlo::is_gzip(first) ? FileFormat::plain
            : tavlo::is_bgzf(first) ? FileFormat::bgzf
                                    : FileFormat::gzip;
  const bool compressed = format_ != FileFormat::plain, bgzf = format_ == FileFormat::bgzf;
  const auto bytes =
      std::make_shared<RemoteBytes>(std::move(client), std::move(*version), std::move(first));
  HttpClient& http = bytes->client();
  const std::string stamp = version_text(shown, bytes->version());

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
  // An index named by a URL, as it is requested (an s3:// one through its endpoint).
  const auto request_url = [&](const std::string& u) -> Result<std::string> {
    auto parsed = parse_url(u);
    if (!parsed || parsed->scheme != "s3") return u;
    auto access = resolve_s3(*parsed);
    if (!access) return std::move(access).error();
    return access->url;
  };
  // A served index (nothing when the server has none) and the name its messages give it.
  const auto fetch_index = [&](const std::string& given, std::string& name)
      -> Result<std::optional<std::string>> {
    auto u = request_url(given);
    if (!u) return std::move(u).error();
    name = redact_url(*u);
    return http.get_small(*u, name, kMaxIndexBytes);
  };

  // The .fai, and for a compressed object its .gzi (a local gziname is read or built there) or
  // checkpoint index: each from a local path given, the cache, or beside the object.
  const bool fai_local = opt.indexname && !looks_like_url(*opt.indexname);
  const std::string suffix = bgzf ? ".gzi" : ".gzidx";
  const std::optional<std::string> aux_given = bgzf ? opt.gziname : std::nullopt;
  const bool aux_local = aux_given && !looks_like_url(*aux_given);
  // Without a cache folder an index served beside the object still serves, and one built here
  // is kept in memory under index_in_memory; otherwise the folder's error is the outcome.
  std::string key;  // the cache files' path without their suffix, when there is a folder
  std::optional<FaidxError> folder_error;
  if (!fai_local || (compressed && !aux_local)) {
    auto folder = cache_folder();
    if (folder) {
      key = *folder + "/" + cache_key(shown);
    } else if (!opt.index_in_memory) {
      folder_error = std::move(folder).error();
    }
  }
  // A cached file that serves while the object is this version: its bytes, or nothing.
  const auto cached = [&](const std::string& ext) -> std::optional<std::string> {
    if (key.empty()) return std::nullopt;
    FileDescriptor meta_fd(::open((key + ext + ".version").c_str(), O_RDONLY | O_CLOEXEC));
    FileDescriptor fd(::open((key + ext).c_str(), O_RDONLY | O_CLOEXEC));
    std::string meta, body;
    if (!meta_fd || !fd || !read_all(meta_fd.get(), meta) || meta != stamp ||
        !read_all(fd.get(), body)) {
      return std::nullopt;
    }
    return body;
  };
  // The cache is a convenience: a folder that cannot be written only costs a later download.
  const auto keep = [&](const std::string& ext, std::string_view body) {
    if (!key.empty() && write_file_atomically(key + ext, body)) {
      (void)write_file_atomically(key + ext + ".version", stamp);
    }
  };

  bool have_fai = false;
  names_.set_keep_first(opt.first_duplicate_wins);
  if (fai_local) {
    index_path_ = *opt.indexname;
    struct stat st;
    if (::stat(index_path_.c_str(), &st) == 0) {
      if (Status r = read_fai(index_path_, names_, opt.bytewise_names); !r) {
        return in_file(std::move(r).error(), index_path_);
      }
      have_fai = true;
    }
  } else {
    index_path_ = key.empty() ? std::string() : key + ".fai";
    if (auto body = cached(".fai"); body && parse_fai(*body, names_, opt.bytewise_names)) {
      have_fai = true;
    } else {
      names_ = NameTable();
      names_.set_keep_first(opt.first_duplicate_wins);
      std::string name;
      auto served = fetch_index(opt.indexname ? *opt.indexname : sibling(".fai"), name);
      if (!served) return std::move(served).error();
      if (*served) {
        if (Status r = parse_fai(**served, names_, opt.bytewise_names); !r) {
          return in_file(std::move(r).error(), name);
        }
        keep(".fai", **served);
        have_fai = true;
      }
    }
  }

  std::optional<std::string> aux;  // the bytes of the .gzi or checkpoint index
  std::string aux_name;            // what messages call it
  bool aux_served = false;         // fetched from the server: kept in the cache once it serves
  bool aux_ours = false;           // built here, or cached once it served
  if (compressed) {
    aux_name = aux_local ? *aux_given : key + suffix;
    if (aux_local) {
      if (FileDescriptor fd(::open(aux_name.c_str(), O_RDONLY | O_CLOEXEC)); fd) {
        std::string body;
        if (Status r = read_all(fd.get(), body); !r) return in_file(std::move(r).error(), aux_name);
        aux = std::move(body);
      }
    } else if ((aux = cached(suffix))) {
      aux_ours = true;
    } else {
      auto served = fetch_index(aux_given ? *aux_given : sibling(suffix), aux_name);
      if (!served) return std::move(served).error();
      aux = std::move(*served);
      aux_served = aux.has_value();
    }
  }

  if (!have_fai) {
    if (!opt.build_index) return FaidxError::of(ErrorKind::IndexNotFound, index_path_);
    if (!fai_local && folder_error) return std::move(*folder_error);
  }
  // No index anywhere: one pass over the object builds it. A compressed object is read through
  // the block cache (a run of blocks a request), which builds its other index in the same pass.
  std::optional<NameTable> listing;
  if (compressed && (!have_fai || !aux)) {
    if (!aux_local && opt.build_index && folder_error) return std::move(*folder_error);
    auto built = build_remote_index(*bytes, bgzf, !have_fai, opt.bytewise_names);
    if (!built) return in_file(std::move(built).error(), shown);
    aux = std::move(built->index);
    aux_served = false;
    aux_ours = true;
    if (!have_fai) listing = std::move(built->listing);
    // Without build_index nothing is written: the index serves this Faidx only.
    if (opt.build_index && aux_local) {
      Status w = index_written(write_file_atomically(aux_name, *aux), aux_name);
      if (!w) return w;
    } else if (opt.build_index && key.empty() && have_fai) {
      warnings_.push_back("no cache folder for the index of " + shown +
                          ": using an index built in memory");
    } else if (opt.build_index) {
      keep(suffix, *aux);
    }
  } else if (!have_fai) {
    FastaScanner scanner(0, opt.bytewise_names);
    std::string pending;
    FaidxError scan_error = FaidxError::io("");
    bool failed = false;
    Status streamed = http.stream(bytes->version(), [&](const char* data, std::size_t n) {
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
    listing = scanner.take_listing();
  }
  if (listing && index_path_.empty()) {
    // No cache folder, under index_in_memory: nothing to write the index to.
    listing->set_keep_first(opt.first_duplicate_wins);
    const bool distinct = listing->index_distinct();
    names_ = std::move(*listing);
    if (!distinct) names_.merge_repeats();
    warnings_.push_back("no cache folder for the index of " + shown +
                        ": using an index built in memory");
  } else if (listing) {
    if (Status a = adopt_listing(std::move(*listing)); !a) return a;
    if (!fai_local) (void)write_file_atomically(index_path_ + ".version", stamp);
  }

  if (!compressed) {
    source_ = make_remote_source(bytes);
    return Ok{};
  }
  auto source = make_remote_compressed_source(bytes, bgzf, *aux, aux_name, !aux_ours);
  if (!source) return in_file(std::move(source).error(), shown);
  if (aux_served) keep(suffix, *aux);
  source_ = std::move(*source);
  return Ok{};
}

}  // namespace tavlo
