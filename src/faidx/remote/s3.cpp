// Resolving s3:// names: endpoint, region and credentials from the environment and the AWS files.
#include "faidx/remote/s3.hpp"

#include <cstdlib>
#include <fstream>
#include <map>

namespace tavlo {

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string trim(std::string s) {
  const auto not_space = [](char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; };
  std::size_t b = 0, e = s.size();
  while (b < e && !not_space(s[b])) ++b;
  while (e > b && !not_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The keys of section `section` of an INI-style AWS file, or nothing when it cannot be read.
std::map<std::string, std::string> read_section(const std::string& path,
                                                const std::string& section) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  std::string line, current;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      current = trim(line.substr(1, line.size() - 2));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (current != section || eq == std::string::npos) continue;
    out[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  return out;
}

std::string home_file(const char* override_var, const char* relative) {
  if (std::string p = env(override_var); !p.empty()) return p;
  const std::string home = env("HOME");
  return home.empty() ? std::string() : home + "/" + relative;
}

// Endpoint text as given ("http://127.0.0.1:9000", maybe with a trailing slash).
std::string strip_slash(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

Result<S3Access> resolve_s3(const Url& url) {
  if (url.host.empty() || url.path.size() <= 1) {
    return FaidxError::io("an s3:// URL names a bucket and a key: s3://bucket/key");
  }
  S3Access a;
  std::string profile = env("AWS_PROFILE");
  if (profile.empty()) profile = "default";
  const std::string config_path = home_file("AWS_CONFIG_FILE", ".aws/config");
  const auto config =
      read_section(config_path, profile == "default" ? profile : "profile " + profile);

  a.region = env("AWS_REGION");
  if (a.region.empty()) a.region = env("AWS_DEFAULT_REGION");
  if (a.region.empty() && config.count("region")) a.region = config.at("region");
  if (a.region.empty()) a.region = "us-east-1";

  a.access_key = env("AWS_ACCESS_KEY_ID");
  a.secret_key = env("AWS_SECRET_ACCESS_KEY");
  a.session_token = env("AWS_SESSION_TOKEN");
  if (a.access_key.empty() || a.secret_key.empty()) {
    a.session_token.clear();
    auto creds = read_section(home_file("AWS_SHARED_CREDENTIALS_FILE", ".aws/credentials"),
                              profile);
    if (!creds.count("aws_access_key_id")) creds = config;
    if (creds.count("aws_access_key_id") && creds.count("aws_secret_access_key")) {
      a.access_key = creds.at("aws_access_key_id");
      a.secret_key = creds.at("aws_secret_access_key");
      if (creds.count("aws_session_token")) a.session_token = creds.at("aws_session_token");
    } else {
      a.access_key.clear();
      a.secret_key.clear();
    }
  }

  std::string endpoint = env("AWS_ENDPOINT_URL_S3");
  if (endpoint.empty()) endpoint = env("AWS_ENDPOINT_URL");
  const std::string key_and_query = url.path + (url.query.empty() ? "" : "?" + url.query);
  if (!endpoint.empty()) {
    // S3-compatible stores (MinIO, Ceph, test servers) are addressed path style.
    auto e = parse_url(endpoint);
    if (!e || e->scheme == "s3") {
      return FaidxError::io("AWS_ENDPOINT_URL(_S3) is not an http(s) URL: " +
                            redact_url(endpoint));
    }
    a.url = strip_slash(e->text()) + "/" + url.host + key_and_query;
  } else if (url.host.find('.') != std::string::npos) {
    // A bucket with dots does not match the wildcard certificate of virtual-host names.
    a.url = "https://s3." + a.region + ".amazonaws.com/" + url.host + key_and_query;
  } else {
    a.url = "https://" + url.host + ".s3." + a.region + ".amazonaws.com" + key_and_query;
  }
  return a;
}

}  // namespace tavlo
