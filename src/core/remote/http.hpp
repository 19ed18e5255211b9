// The range requests of files read over the network (where their bytes are
// requested, and with which credentials: url.hpp).
//
// Requests go through libcurl, loaded at run time (curl_api.hpp). Every
// request asks for a bounded range. Transient failures (connection reset,
// timeout, 429, 500, 502, 503, 504, a body shorter than its Content-Range)
// are retried with backoff, MAX_ATTEMPTS in all, within the range's
// deadline (TimeLimits); connections are kept alive and reused, TLS
// sessions too. SSL_CERT_FILE and CURL_CA_BUNDLE name the certificates to
// trust when set. Every wait calls the front end's hooks (network_wait.hpp).
//
// A request with credentials (SigV4, Bearer) follows a redirect only within
// its origin (scheme, host and port): one to another origin is an IO error
// before anything is sent there. An answer with a Content-Encoding (other
// than identity) is an IO error at once: its bytes are not the range's.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/remote/url.hpp"

namespace kelpa::core {

// The version of a file that every range request asks for: the ETag, or
// when the server gives none, the Last-Modified date (and the size).
struct Pin {
    std::string etag;
    std::string last_modified;
    std::uint64_t size = 0;
};

// One range request and its answer.
struct Exchange {
    Exchange(std::uint64_t from, std::uint64_t to, char* into = nullptr) : begin(from), end(to), out(into) {}

    std::uint64_t begin = 0;  // bytes [begin, end) asked for
    std::uint64_t end = 0;
    char* out = nullptr;      // room for end - begin bytes; nullptr: into `body`

    long status = 0;
    std::uint64_t received = 0;  // bytes of a 2xx answer
    std::string body;            // a 2xx answer when out is nullptr; else an error's text
    bool has_range = false;      // Content-Range: bytes first-last/total (or */total)
    std::uint64_t range_first = 0;
    std::uint64_t range_last = 0;
    std::optional<std::uint64_t> total;
    std::string etag;
    std::string last_modified;
    std::string content_encoding;  // lower case; empty when none was given
    bool overflow = false;  // more bytes than asked for came, and were refused

    void clear_answer();
};

inline constexpr int MAX_ATTEMPTS = 5;

// How long a request may take. An attempt that has no connection within
// connect, or that moves fewer than RATE_FLOOR bytes a second for
// rate_window, is timed out (and retried); all the attempts of one range
// end by deadline(its size) after the first began: RANGE_DEADLINE, plus a
// second for every DEADLINE_BYTES_PER_SECOND bytes asked for.
//
// For tests only: KELPA_TEST_NETWORK_TIME_SCALE, a number in (0, 1],
// multiplies all three durations (the rate window stays a whole number of
// seconds, at least one).
struct TimeLimits {
    static constexpr long RATE_FLOOR = 1024;
    static constexpr std::chrono::milliseconds CONNECT{15'000};
    static constexpr std::chrono::milliseconds RATE_WINDOW{30'000};
    static constexpr std::chrono::milliseconds RANGE_DEADLINE{120'000};
    static constexpr std::uint64_t DEADLINE_BYTES_PER_SECOND = 16 * 1024;

    double scale = 1;

    // The limits under the current environment.
    static TimeLimits from_environment();
    std::chrono::milliseconds connect() const;
    std::chrono::seconds rate_window() const;
    std::chrono::milliseconds deadline(std::uint64_t bytes) const;
};

// Requests in flight at once for one call of run(): many more than cores,
// since the time goes in waiting on the network.
inline constexpr std::size_t REQUESTS_IN_FLIGHT = 32;

// Runs the exchanges against `location`, at most `in_flight` at a time,
// each asking for the version `pin` (when given), retrying transient
// failures; each answer is left in its exchange for the caller to judge.
// An error only when an exchange got no answer worth judging: it could not
// connect or read (after the retries, or by its deadline), TLS failed, a
// redirect would take credentials to another origin, the answer was
// compressed, the wait was interrupted, or libcurl is missing.
Status run_exchanges(const RemoteLocation& location, const Pin* pin, std::span<Exchange* const> exchanges,
                     std::size_t in_flight = REQUESTS_IN_FLIGHT);

// The IO error of an answer that is not what was asked for: "<url>: access
// refused (HTTP 403 ...) with <credentials>", "...: HTTP 500 ..." and so on.
// A 416 means an empty object only when its Content-Range gives the size
// 0; with another size it is this error too.
FaidxError answer_error(const RemoteLocation& location, const Exchange& exchange);

// The whole of a small remote file (an index), in bounded requests. A file
// that is not there (404) is IndexNotFound naming the URL.
Result<std::string> download(const std::string& url);

}  // namespace kelpa::core
