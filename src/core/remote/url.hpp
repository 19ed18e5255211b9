// Which names are URLs, and where and with which credentials a URL's bytes
// are requested.
//
// A name that begins with http://, https://, s3:// or gs:// is a URL:
//
//   http(s)://...   requested as it is
//   s3://b/k        <AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL>/b/k (path
//                   style, as S3-compatible stores expect), else
//                   https://b.s3.<region>.amazonaws.com/k; signed with
//                   Signature V4 (libcurl's own) when credentials are found:
//                   AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY /
//                   AWS_SESSION_TOKEN, else the profile AWS_PROFILE
//                   ("default") of the shared credentials file
//                   (AWS_SHARED_CREDENTIALS_FILE, ~/.aws/credentials);
//                   anonymous otherwise. Region: AWS_REGION,
//                   AWS_DEFAULT_REGION, else us-east-1.
//   gs://b/k        <GCS_ENDPOINT_URL or https://storage.googleapis.com>/b/k,
//                   with the bearer token GCS_OAUTH_TOKEN when it is set
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/error.hpp"

namespace kelpa::core {

// Whether `name` is a URL (see above) rather than a path.
bool is_url(std::string_view name);

// Where a URL's bytes are requested, and how.
struct RemoteLocation {
    enum class Auth : std::uint8_t { None, SigV4, Bearer };
    std::string url;          // as given, for messages
    std::string request_url;  // the http(s) address requested
    Auth auth = Auth::None;
    std::string key_id;       // SigV4
    std::string secret;
    std::string session_token;
    std::string region;
    std::string bearer;       // Bearer
    std::string credentials;  // which credentials, in words, never the secret
};

// The location of `url` under the current environment. IO when the URL
// names no object.
Result<RemoteLocation> locate(const std::string& url);

// The value of the environment variable `name`, or "" when it is unset.
std::string environment(const char* name);

// `text` without the ASCII whitespace at its ends.
std::string trim_ascii(std::string_view text);

}  // namespace kelpa::core
