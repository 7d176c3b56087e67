// S3 objects: the HTTP(S) URL of an s3:// name, its region, and the credentials to sign with.
#pragma once

#include <string>

#include "errors/errors.hpp"
#include "faidx/remote/url.hpp"

namespace tavlo {

struct S3Access {
  std::string url;     // the object's http(s) URL, virtual-host or path style
  std::string region;  // for the signature's scope
  // Empty when no credentials were found: the requests go unsigned (public buckets).
  std::string access_key;
  std::string secret_key;
  std::string session_token;  // sent as x-amz-security-token when set
};

// Where and how to reach s3://bucket/key: AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL (path style,
// for S3-compatible stores), else the bucket's AWS endpoint; AWS_REGION, AWS_DEFAULT_REGION or the
// profile's region; credentials from AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY / AWS_SESSION_TOKEN,
// else the profile (AWS_PROFILE, default "default") of the shared credentials and config files.
Result<S3Access> resolve_s3(const Url& url);

}  // namespace tavlo
