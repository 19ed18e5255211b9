#include "core/remote/url.hpp"

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace kelpa::core {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string trim_ascii(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

std::string without_trailing_slash(std::string text) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    return text;
}

// A key as a path of a URL: every byte but the unreserved ones and '/' escaped.
std::string escape_key(std::string_view key) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(HEX[byte >> 4]);
            out.push_back(HEX[byte & 15]);
        }
    }
    return out;
}

// The keys of `profile` in the shared credentials file, when it has them.
bool profile_credentials(RemoteLocation& location) {
    std::string path = environment("AWS_SHARED_CREDENTIALS_FILE");
    if (path.empty()) {
        const std::string home = environment("HOME");
        if (home.empty()) return false;
        path = home + "/.aws/credentials";
    }
    std::string profile = environment("AWS_PROFILE");
    if (profile.empty()) profile = "default";
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    bool inside = false;
    std::string key_id;
    std::string secret;
    std::string token;
    while (std::getline(in, line)) {
        const std::string text = trim_ascii(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text.front() == '[' && text.back() == ']') {
            inside = trim_ascii(std::string_view(text).substr(1, text.size() - 2)) == profile;
            continue;
        }
        const std::size_t equals = text.find('=');
        if (!inside || equals == std::string::npos) continue;
        const std::string name = trim_ascii(std::string_view(text).substr(0, equals));
        const std::string value = trim_ascii(std::string_view(text).substr(equals + 1));
        if (name == "aws_access_key_id") key_id = value;
        else if (name == "aws_secret_access_key") secret = value;
        else if (name == "aws_session_token") token = value;
    }
    if (key_id.empty() || secret.empty()) return false;
    location.key_id = key_id;
    location.secret = secret;
    location.session_token = token;
    location.credentials = "the AWS access key " + key_id + " of profile '" + profile + "' in " + path;
    return true;
}

// Splits "<scheme>bucket/key" into bucket and key; false when either is empty.
bool bucket_and_key(std::string_view rest, std::string& bucket, std::string& key) {
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size()) return false;
    bucket.assign(rest.substr(0, slash));
    key.assign(rest.substr(slash + 1));
    return true;
}

}  // namespace

bool is_url(std::string_view name) {
    return starts_with(name, "http://") || starts_with(name, "https://") || starts_with(name, "s3://") ||
           starts_with(name, "gs://");
}

Result<RemoteLocation> locate(const std::string& url) {
    RemoteLocation location;
    location.url = url;
    location.credentials = "no credentials";
    if (starts_with(url, "http://") || starts_with(url, "https://")) {
        location.request_url = url;
        return location;
    }
    const bool s3 = starts_with(url, "s3://");
    std::string bucket;
    std::string key;
    if (!bucket_and_key(std::string_view(url).substr(5), bucket, key))
        return FaidxError::about(url, url + ": not the URL of an object (" + (s3 ? "s3" : "gs") + "://bucket/key)");
    if (!s3) {
        std::string endpoint = without_trailing_slash(environment("GCS_ENDPOINT_URL"));
        if (endpoint.empty()) endpoint = "https://storage.googleapis.com";
        location.request_url = endpoint + "/" + bucket + "/" + escape_key(key);
        location.bearer = environment("GCS_OAUTH_TOKEN");
        if (!location.bearer.empty()) {
            location.auth = RemoteLocation::Auth::Bearer;
            location.credentials = "the bearer token in GCS_OAUTH_TOKEN";
        }
        return location;
    }
    location.region = environment("AWS_REGION");
    if (location.region.empty()) location.region = environment("AWS_DEFAULT_REGION");
    if (location.region.empty()) location.region = "us-east-1";
    std::string endpoint = without_trailing_slash(environment("AWS_ENDPOINT_URL_S3"));
    if (endpoint.empty()) endpoint = without_trailing_slash(environment("AWS_ENDPOINT_URL"));
    location.request_url = endpoint.empty()
                               ? "https://" + bucket + ".s3." + location.region + ".amazonaws.com/" + escape_key(key)
                               : endpoint + "/" + bucket + "/" + escape_key(key);
    location.key_id = environment("AWS_ACCESS_KEY_ID");
    location.secret = environment("AWS_SECRET_ACCESS_KEY");
    if (!location.key_id.empty() && !location.secret.empty()) {
        location.session_token = environment("AWS_SESSION_TOKEN");
        location.credentials = "the AWS access key " + location.key_id + " from the environment";
    } else if (!profile_credentials(location)) {
        location.key_id.clear();
        location.secret.clear();
        return location;  // anonymous: a public bucket
    }
    location.auth = RemoteLocation::Auth::SigV4;
    return location;
}

}  // namespace kelpa::core
