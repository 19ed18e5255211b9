#include "core/remote/http.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "core/base/fork_safety.hpp"
#include "core/remote/curl_api.hpp"
#include "core/remote/network_wait.hpp"

namespace kelpa::core {

void Exchange::clear_answer() {
    status = 0;
    received = 0;
    body.clear();
    has_range = false;
    range_first = range_last = 0;
    total.reset();
    etag.clear();
    last_modified.clear();
    content_encoding.clear();
    overflow = false;
}

TimeLimits TimeLimits::from_environment() {
    TimeLimits limits;
    const std::string text = environment("KELPA_TEST_NETWORK_TIME_SCALE");
    if (text.empty()) return limits;
    char* end = nullptr;
    const double scale = std::strtod(text.c_str(), &end);
    if (end != nullptr && *end == '\0' && scale > 0 && scale <= 1) limits.scale = scale;
    return limits;
}

std::chrono::milliseconds TimeLimits::connect() const {
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(CONNECT.count()) * scale));
}

std::chrono::seconds TimeLimits::rate_window() const {
    const double seconds = static_cast<double>(RATE_WINDOW.count()) * scale / 1000;
    return std::chrono::seconds(std::max<long long>(1, std::llround(seconds)));
}

std::chrono::milliseconds TimeLimits::deadline(std::uint64_t bytes) const {
    const double ms = static_cast<double>(RANGE_DEADLINE.count()) +
                      static_cast<double>(bytes) * 1000 / static_cast<double>(DEADLINE_BYTES_PER_SECOND);
    return std::chrono::milliseconds(static_cast<long long>(ms * scale));
}

namespace {

// ---- sessions: a multi handle (whose connections stay open) and its easy handles

// TLS sessions and name lookups, shared by every handle of the process.
class SharedState {
public:
    explicit SharedState(const curl::Api& api) : share_(api.share_init()) {
        if (share_ == nullptr) return;
        api.share_setopt(share_, curl::SHOPT_LOCKFUNC, &SharedState::lock);
        api.share_setopt(share_, curl::SHOPT_UNLOCKFUNC, &SharedState::unlock);
        api.share_setopt(share_, curl::SHOPT_SHARE, curl::LOCK_DATA_DNS);
        api.share_setopt(share_, curl::SHOPT_SHARE, curl::LOCK_DATA_SSL_SESSION);
    }
    curl::Share* get() const { return share_; }

private:
    static ForkSafeMutex& mutex_of(int data) {
        static ForkSafeMutex mutexes[curl::LOCK_DATA_LAST + 1];
        return mutexes[data >= 0 && data <= curl::LOCK_DATA_LAST ? data : 0];
    }
    static void lock(curl::Easy*, int data, int, void*) { mutex_of(data).lock(); }
    static void unlock(curl::Easy*, int data, void*) { mutex_of(data).unlock(); }

    curl::Share* share_;  // lives as long as the process
};

struct Session {
    curl::Multi* multi = nullptr;
    std::vector<curl::Easy*> easies;  // idle, reused: each keeps what it learnt
    // The process that made it: a child of fork() shares its parent's
    // connections, so it leaves them alone (and makes its own).
    std::uint32_t generation = fork_generation();
};

// Idle sessions; a call takes one (or makes one) and gives it back.
class Sessions {
public:
    explicit Sessions(const curl::Api& api) : api_(api), shared_(api) {}

    std::unique_ptr<Session> take() {
        {
            std::lock_guard<ForkSafeMutex> hold(lock_);
            while (!idle_.empty()) {
                std::unique_ptr<Session> session = std::move(idle_.back());
                idle_.pop_back();
                if (session->generation == fork_generation()) return session;
                (void)session.release();  // the parent's: left as they are
            }
        }
        auto session = std::make_unique<Session>();
        session->multi = api_.multi_init();
        return session;
    }

    void give_back(std::unique_ptr<Session> session) {
        if (session->generation != fork_generation()) {
            (void)session.release();  // a parent's, taken before a fork
            return;
        }
        std::lock_guard<ForkSafeMutex> hold(lock_);
        if (idle_.size() < MAX_IDLE) {
            idle_.push_back(std::move(session));
            return;
        }
        for (curl::Easy* easy : session->easies) api_.easy_cleanup(easy);
        api_.multi_cleanup(session->multi);
    }

    curl::Share* share() const { return shared_.get(); }

private:
    static constexpr std::size_t MAX_IDLE = 16;
    const curl::Api& api_;
    SharedState shared_;
    ForkSafeMutex lock_;
    std::vector<std::unique_ptr<Session>> idle_;
};

struct Library {
    const curl::Api* api = nullptr;
    std::string why;
    std::unique_ptr<Sessions> sessions;
};

Library& library() {
    static Library loaded = [] {
        Library library;
        library.api = curl::api(library.why);
        if (library.api != nullptr) library.sessions = std::make_unique<Sessions>(*library.api);
        return library;
    }();
    return loaded;
}

// ---- one transfer

struct Transfer {
    Exchange* exchange = nullptr;
    int attempt = 0;
    std::chrono::steady_clock::time_point not_before{};
    std::chrono::steady_clock::time_point deadline{};  // of all the attempts, set by the first
    curl::Slist* headers = nullptr;
    char error[curl::ERROR_SIZE] = {};
    std::string range;
    const std::string* origin = nullptr;  // credentials go nowhere else; nullptr: none sent
    std::string refused_redirect;         // where a redirect would have taken them
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The origin of an absolute URL: its scheme and host in lower case and its
// port spelt out ("http://example.org:80"); empty when it has no authority.
std::string origin_of(std::string_view url) {
    const std::size_t colon = url.find("://");
    if (colon == std::string_view::npos || colon == 0) return {};
    const std::string scheme = lower(url.substr(0, colon));
    std::string_view authority = url.substr(colon + 3);
    authority = authority.substr(0, authority.find_first_of("/?#\\"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view port;
    const std::size_t bracket = authority.rfind(']');  // an IPv6 address holds colons of its own
    const std::size_t port_colon = authority.rfind(':');
    if (port_colon != std::string_view::npos && (bracket == std::string_view::npos || port_colon > bracket)) {
        host = authority.substr(0, port_colon);
        port = authority.substr(port_colon + 1);
    }
    if (host.empty()) return {};
    const std::string given(port);
    const std::string spelt = !given.empty() ? given : scheme == "https" ? "443" : scheme == "http" ? "80" : "";
    return scheme + "://" + lower(host) + ":" + spelt;
}

// The origin that a redirect from `origin` to `target` (a Location) leads
// to. A reference within the server ("/b/k", "k?x") keeps it; one with a
// scheme but no authority ("http:k") is taken as another, to be safe.
std::string redirect_origin(std::string_view target, const std::string& origin) {
    if (target.starts_with("//")) return origin_of(origin.substr(0, origin.find(':') + 1) + std::string(target));
    const std::size_t colon = target.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(target[0])) ||
        colon > target.find_first_of("/?#"))
        return origin;
    for (const char c : target.substr(0, colon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return origin;
    }
    return origin_of(target);
}

bool iequals_prefix(std::string_view line, std::string_view name) {
    if (line.size() < name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    return true;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    Exchange& exchange = *transfer->exchange;
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {  // a new answer (after a redirect, say): forget the last one's
        exchange.clear_answer();
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos)
            exchange.status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
        return line.size();
    }
    const auto value = [&](std::size_t skip) { return trim_ascii(line.substr(skip)); };
    if (transfer->origin != nullptr && exchange.status >= 300 && exchange.status <= 399 &&
        iequals_prefix(line, "location:")) {
        std::string target = value(9);
        if (redirect_origin(target, *transfer->origin) != *transfer->origin) {
            transfer->refused_redirect = std::move(target);
            return 0;  // the transfer ends here, before libcurl follows
        }
    } else if (iequals_prefix(line, "content-encoding:")) {
        exchange.content_encoding = lower(value(17));
        if (exchange.content_encoding == "identity") exchange.content_encoding.clear();
    } else if (iequals_prefix(line, "etag:")) {
        exchange.etag = value(5);
    } else if (iequals_prefix(line, "last-modified:")) {
        exchange.last_modified = value(14);
    } else if (iequals_prefix(line, "content-range:")) {
        const std::string text = value(14);  // "bytes a-b/total" or "bytes */total"
        unsigned long long first = 0;
        unsigned long long last = 0;
        unsigned long long total = 0;
        if (std::sscanf(text.c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) == 3) {
            exchange.has_range = true;
            exchange.range_first = first;
            exchange.range_last = last;
            exchange.total = total;
        } else if (std::sscanf(text.c_str(), "bytes */%llu", &total) == 1) {
            exchange.total = total;
        }
    }
    return line.size();
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    Exchange& exchange = *transfer->exchange;
    const std::size_t bytes = size * count;
    if (exchange.status < 200 || exchange.status > 299) {
        // An error's text, for its message: the first few KiB.
        if (exchange.body.size() < 16384) exchange.body.append(data, std::min<std::size_t>(bytes, 16384));
        return bytes;
    }
    if (exchange.out == nullptr) {
        if (exchange.status == 200 && exchange.body.size() + bytes > (std::size_t{1} << 30)) {
            exchange.overflow = true;
            return 0;
        }
        exchange.body.append(data, bytes);
        exchange.received += bytes;
        return bytes;
    }
    const std::uint64_t room = exchange.end - exchange.begin;
    if (exchange.received + bytes > room) {  // more than asked for: refused, and the transfer ends
        exchange.overflow = true;
        return 0;
    }
    std::memcpy(exchange.out + exchange.received, data, bytes);
    exchange.received += bytes;
    return bytes;
}

bool transient_code(curl::Code code) {
    switch (code) {
        case curl::E_COULDNT_CONNECT:
        case curl::E_HTTP2:
        case curl::E_PARTIAL_FILE:
        case curl::E_OPERATION_TIMEDOUT:
        case curl::E_GOT_NOTHING:
        case curl::E_SEND_ERROR:
        case curl::E_RECV_ERROR:
        case curl::E_HTTP2_STREAM: return true;
        default: return false;
    }
}

bool transient_status(long status) {
    return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// A 206 whose body is shorter than its Content-Range says.
bool short_body(const Exchange& exchange) {
    return exchange.status == 206 && exchange.has_range && !exchange.overflow &&
           exchange.received < exchange.range_last - exchange.range_first + 1;
}

std::chrono::milliseconds backoff(int attempt) { return std::chrono::milliseconds(100 << std::min(attempt, 6)); }

std::string range_text(const Exchange& exchange) {
    return "bytes " + std::to_string(exchange.begin) + "-" + std::to_string(exchange.end - 1);
}

// "124 s", "6.2 s"
std::string seconds_text(std::chrono::milliseconds duration) {
    const long long tenths = (duration.count() + 50) / 100;
    return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

class Runner {
public:
    Runner(const curl::Api& api, Sessions& sessions, const RemoteLocation& location, const Pin* pin)
        : api_(api),
          sessions_(sessions),
          location_(location),
          pin_(pin),
          session_(sessions.take()),
          limits_(TimeLimits::from_environment()) {
        const std::string ca =
            !environment("SSL_CERT_FILE").empty() ? environment("SSL_CERT_FILE") : environment("CURL_CA_BUNDLE");
        ca_ = ca;
        if (location_.auth != RemoteLocation::Auth::None) origin_ = origin_of(location_.request_url);
    }
    ~Runner() {
        for (auto& [easy, transfer] : active_) {
            api_.multi_remove_handle(session_->multi, easy);
            release(easy, *transfer);
        }
        sessions_.give_back(std::move(session_));
    }

    Status run(std::span<Exchange* const> exchanges, std::size_t in_flight) {
        if (session_->multi == nullptr)
            return FaidxError::about(location_.url, location_.url + ": libcurl failed to start");
        std::deque<std::unique_ptr<Transfer>> waiting;
        for (Exchange* exchange : exchanges) {
            auto transfer = std::make_unique<Transfer>();
            transfer->exchange = exchange;
            waiting.push_back(std::move(transfer));
        }
        NetworkWait wait;
        while (!waiting.empty() || !active_.empty()) {
            const auto now = std::chrono::steady_clock::now();
            // Start what may start; a retry waits out its backoff.
            for (std::size_t n = waiting.size(); n > 0 && active_.size() < in_flight; --n) {
                std::unique_ptr<Transfer> transfer = std::move(waiting.front());
                waiting.pop_front();
                if (transfer->not_before > now) {
                    waiting.push_back(std::move(transfer));
                    continue;
                }
                if (Status started = start(std::move(transfer)); !started) return started;
            }
            int running = 0;
            api_.multi_perform(session_->multi, &running);
            int left = 0;
            while (curl::Message* message = api_.multi_info_read(session_->multi, &left)) {
                if (message->msg != curl::MSG_DONE) continue;
                curl::Easy* easy = message->easy;
                const curl::Code code = message->data.result;
                auto found = std::find_if(active_.begin(), active_.end(),
                                          [easy](const auto& item) { return item.first == easy; });
                if (found == active_.end()) continue;
                std::unique_ptr<Transfer> transfer = std::move(found->second);
                active_.erase(found);
                api_.multi_remove_handle(session_->multi, easy);
                long status = 0;
                api_.easy_getinfo(easy, curl::INFO_RESPONSE_CODE, &status);
                Exchange& exchange = *transfer->exchange;
                if (status != 0) exchange.status = status;
                if (!transfer->refused_redirect.empty()) {
                    const char* from = nullptr;
                    api_.easy_getinfo(easy, curl::INFO_EFFECTIVE_URL, &from);
                    const std::string redirected = from != nullptr ? from : location_.request_url;
                    release(easy, *transfer);
                    return FaidxError::about(location_.url, location_.url + ": the server redirected " + redirected +
                                                                " to " + transfer->refused_redirect +
                                                                "; a redirect to another host is refused with "
                                                                "credentials");
                }
                const std::string curl_error = transfer->error[0] != '\0' ? transfer->error : api_.easy_strerror(code);
                release(easy, *transfer);
                if (!exchange.content_encoding.empty() && exchange.status >= 200 && exchange.status <= 299) {
                    return FaidxError::about(location_.url, location_.url + ": the server compressed its answer to " +
                                                                range_text(exchange) +
                                                                " (Content-Encoding: " + exchange.content_encoding +
                                                                "), which a range read cannot use");
                }
                const bool overflowed = code == curl::E_WRITE_ERROR && exchange.overflow;
                const bool transient =
                    (code != curl::E_OK && !overflowed && transient_code(code)) ||
                    (code == curl::E_OK && (transient_status(exchange.status) || short_body(exchange)));
                if (transient) {
                    const auto retry_at = std::chrono::steady_clock::now() + backoff(transfer->attempt);
                    const bool in_time = retry_at < transfer->deadline;
                    if (++transfer->attempt < MAX_ATTEMPTS && in_time) {
                        transfer->not_before = retry_at;
                        exchange.clear_answer();
                        waiting.push_back(std::move(transfer));
                        continue;
                    }
                    std::string what = code != curl::E_OK     ? curl_error
                                       : short_body(exchange) ? "the answer was cut short"
                                                              : "HTTP " + std::to_string(exchange.status);
                    const std::string within =
                        in_time ? std::string()
                                : " in the " + seconds_text(limits_.deadline(exchange.end - exchange.begin)) +
                                      " allowed for one range";
                    return FaidxError::about(location_.url, location_.url + ": " + range_text(exchange) +
                                                                " failed after " + std::to_string(transfer->attempt) +
                                                                " attempts" + within + "; the last: " + what);
                }
                if (code != curl::E_OK && !overflowed) {
                    if (code == curl::E_ABORTED_BY_CALLBACK) return FaidxError::io("interrupted");
                    return FaidxError::about(location_.url, location_.url + ": " + curl_error);
                }
            }
            if (waiting.empty() && active_.empty()) break;
            if (wait.interrupted()) return FaidxError::io("interrupted");
            int ready = 0;
            int timeout = 100;
            if (active_.empty() && !waiting.empty()) {  // only retries, waiting out their backoff
                const auto until = waiting.front()->not_before - std::chrono::steady_clock::now();
                timeout = static_cast<int>(std::clamp<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(until).count(), 0, 100));
                std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
                continue;
            }
            api_.multi_poll(session_->multi, nullptr, 0, timeout, &ready);
        }
        return {};
    }

private:
    Status start(std::unique_ptr<Transfer> transfer) {
        curl::Easy* easy = nullptr;
        if (!session_->easies.empty()) {
            easy = session_->easies.back();
            session_->easies.pop_back();
        } else {
            easy = api_.easy_init();
        }
        if (easy == nullptr) return FaidxError::about(location_.url, location_.url + ": libcurl failed to start");
        Exchange& exchange = *transfer->exchange;
        exchange.clear_answer();
        const auto now = std::chrono::steady_clock::now();
        if (transfer->attempt == 0) transfer->deadline = now + limits_.deadline(exchange.end - exchange.begin);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(transfer->deadline - now);
        const auto set = [&](int option, auto value) { api_.easy_setopt(easy, option, value); };
        set(curl::OPT_URL, location_.request_url.c_str());
        set(curl::OPT_NOSIGNAL, 1L);
        set(curl::OPT_FOLLOWLOCATION, 1L);
        set(curl::OPT_MAXREDIRS, 5L);
        set(curl::OPT_CONNECTTIMEOUT_MS, static_cast<long>(limits_.connect().count()));
        // A trickle is timed out as a stall is; a slow link still clears the floor.
        set(curl::OPT_LOW_SPEED_LIMIT, TimeLimits::RATE_FLOOR);
        set(curl::OPT_LOW_SPEED_TIME, static_cast<long>(limits_.rate_window().count()));
        set(curl::OPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(left.count(), 1)));
        set(curl::OPT_TCP_KEEPALIVE, 1L);
        set(curl::OPT_ERRORBUFFER, transfer->error);
        set(curl::OPT_HEADERFUNCTION, &on_header);
        set(curl::OPT_HEADERDATA, static_cast<void*>(transfer.get()));
        set(curl::OPT_WRITEFUNCTION, &on_body);
        set(curl::OPT_WRITEDATA, static_cast<void*>(transfer.get()));
        if (sessions_.share() != nullptr) set(curl::OPT_SHARE, sessions_.share());
        if (!ca_.empty()) set(curl::OPT_CAINFO, ca_.c_str());
        transfer->origin = origin_.empty() ? nullptr : &origin_;
        transfer->range = std::to_string(exchange.begin) + "-" + std::to_string(exchange.end - 1);
        set(curl::OPT_RANGE, transfer->range.c_str());
        curl::Slist* headers = nullptr;
        const auto add = [&](const std::string& header) { headers = api_.slist_append(headers, header.c_str()); };
        if (pin_ != nullptr) {
            if (!pin_->etag.empty()) add("If-Match: " + pin_->etag);
            else if (!pin_->last_modified.empty()) add("If-Unmodified-Since: " + pin_->last_modified);
        }
        switch (location_.auth) {
            case RemoteLocation::Auth::None: break;
            case RemoteLocation::Auth::Bearer: add("Authorization: Bearer " + location_.bearer); break;
            case RemoteLocation::Auth::SigV4:
                // libcurl signs but does not add the payload's hash, which
                // S3 wants: that of an empty body, for a GET.
                add("x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
                if (!location_.session_token.empty()) add("x-amz-security-token: " + location_.session_token);
                signing_ = "aws:amz:" + location_.region + ":s3";
                set(curl::OPT_AWS_SIGV4, signing_.c_str());
                set(curl::OPT_USERNAME, location_.key_id.c_str());
                set(curl::OPT_PASSWORD, location_.secret.c_str());
                break;
        }
        transfer->headers = headers;
        if (headers != nullptr) set(curl::OPT_HTTPHEADER, headers);
        if (api_.multi_add_handle(session_->multi, easy) != 0) {
            release(easy, *transfer);
            return FaidxError::about(location_.url, location_.url + ": libcurl failed to start a request");
        }
        active_.emplace_back(easy, std::move(transfer));
        return {};
    }

    void release(curl::Easy* easy, Transfer& transfer) {
        if (transfer.headers != nullptr) api_.slist_free_all(transfer.headers);
        transfer.headers = nullptr;
        api_.easy_reset(easy);  // forgets this transfer's buffers; keeps what it learnt
        session_->easies.push_back(easy);
    }

    const curl::Api& api_;
    Sessions& sessions_;
    const RemoteLocation& location_;
    const Pin* pin_;
    std::unique_ptr<Session> session_;
    TimeLimits limits_;
    std::string ca_;
    std::string origin_;  // of a request with credentials, which stay there
    std::string signing_;
    std::vector<std::pair<curl::Easy*, std::unique_ptr<Transfer>>> active_;
};

// The <Code> of an S3-style error body, when it has one.
std::string error_code(const std::string& body) {
    const std::size_t open = body.find("<Code>");
    if (open == std::string::npos) return {};
    const std::size_t close = body.find("</Code>", open);
    if (close == std::string::npos || close - open > 80) return {};
    return body.substr(open + 6, close - open - 6);
}

}  // namespace

Status run_exchanges(const RemoteLocation& location, const Pin* pin, std::span<Exchange* const> exchanges,
                     std::size_t in_flight) {
    if (exchanges.empty()) return {};
    Library& loaded = library();
    if (loaded.api == nullptr) return FaidxError::about(location.url, location.url + ": " + loaded.why);
    Runner runner(*loaded.api, *loaded.sessions, location, pin);
    return runner.run(exchanges, std::max<std::size_t>(in_flight, 1));
}

FaidxError answer_error(const RemoteLocation& location, const Exchange& exchange) {
    const std::string& url = location.url;
    const long status = exchange.status;
    std::string code = error_code(exchange.body);
    const std::string detail = code.empty() ? std::string() : " " + code;
    if (status == 401 || status == 403) {
        return FaidxError::about(
            url, url + ": access refused (HTTP " + std::to_string(status) + detail + ") with " + location.credentials);
    }
    if (status == 200) {
        return FaidxError::about(url, url + ": the server ignores Range requests (it answered a request for " +
                                          range_text(exchange) + " with the whole file); it cannot be read in place");
    }
    if (exchange.overflow) {
        return FaidxError::about(url, url + ": the server answered " + range_text(exchange) + " with more bytes");
    }
    if (status == 416 && exchange.total && exchange.begin < *exchange.total) {
        return FaidxError::about(url, url + ": the server refused " + range_text(exchange) +
                                          " (HTTP 416), a range that begins inside the size it gave (" +
                                          std::to_string(*exchange.total) + " bytes)");
    }
    return FaidxError::about(url, url + ": HTTP " + std::to_string(status) + detail + " for " + range_text(exchange));
}

Result<std::string> download(const std::string& url) {
    Result<RemoteLocation> located = locate(url);
    if (!located) return located.take_error();
    const RemoteLocation& location = *located;
    constexpr std::uint64_t FIRST = std::uint64_t{16} << 20;
    constexpr std::uint64_t PIECE = std::uint64_t{4} << 20;
    Exchange first{0, FIRST};
    Exchange* one[] = {&first};
    if (Status ran = run_exchanges(location, nullptr, one); !ran) return ran.take_error();
    if (first.status == 404) return FaidxError::index_not_found(url);
    if (first.status == 416 && first.total == 0) return std::string();  // an empty file
    if (first.status == 200) return std::move(first.body);  // the whole file, Range or not
    if (first.status != 206 || !first.has_range || first.range_first != 0 || !first.total)
        return answer_error(location, first);
    const std::uint64_t total = *first.total;
    std::string whole = std::move(first.body);
    if (whole.size() >= total) {
        whole.resize(total);
        return whole;
    }
    const std::uint64_t have = whole.size();
    whole.resize(total);
    std::vector<Exchange> rest;
    for (std::uint64_t at = have; at < total; at += PIECE)
        rest.push_back(Exchange{at, std::min(total, at + PIECE), whole.data() + at});
    std::vector<Exchange*> pointers;
    for (Exchange& exchange : rest) pointers.push_back(&exchange);
    const Pin pin{first.etag, first.last_modified, total};
    if (Status ran = run_exchanges(location, &pin, pointers); !ran) return ran.take_error();
    for (const Exchange& exchange : rest) {
        if (exchange.status == 412) return changed_while_open_error(url);
        if (exchange.status != 206 || exchange.received != exchange.end - exchange.begin)
            return answer_error(location, exchange);
    }
    return whole;
}

}  // namespace kelpa::core
