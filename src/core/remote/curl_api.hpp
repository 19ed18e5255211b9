// The few entry points and constants of libcurl that remote reading uses,
// declared here so that neither building nor installing kelpa needs libcurl
// or its headers: the library is loaded at run time (dlopen of
// "libcurl.so.4", the soname libcurl has kept since 2006) the first time a
// URL is opened.
//
// Everything below is libcurl's stable ABI: the option numbers are
// type-base + number as curl.h defines them (CURLOPTTYPE_LONG 0,
// OBJECTPOINT 10000, FUNCTIONPOINT 20000), and they never change once
// released. The newest used is CURLOPT_AWS_SIGV4 (libcurl 7.75); the
// newest function is curl_multi_poll (7.66). A library older than that is
// refused when it is loaded, naming what is missing.
#pragma once

#include <string>

namespace kelpa::core::curl {

using Easy = void;   // CURL
using Multi = void;  // CURLM
using Share = void;  // CURLSH
using Code = int;    // CURLcode
using MultiCode = int;

struct Slist {
    char* data;
    Slist* next;
};

struct Message {  // CURLMsg
    int msg;
    Easy* easy;
    union {
        void* whatever;
        Code result;
    } data;
};

inline constexpr int MSG_DONE = 1;
inline constexpr long GLOBAL_ALL = 3;

// Easy options.
inline constexpr int OPT_WRITEDATA = 10001;
inline constexpr int OPT_URL = 10002;
inline constexpr int OPT_RANGE = 10007;
inline constexpr int OPT_ERRORBUFFER = 10010;
inline constexpr int OPT_WRITEFUNCTION = 20011;
inline constexpr int OPT_LOW_SPEED_LIMIT = 19;
inline constexpr int OPT_LOW_SPEED_TIME = 20;
inline constexpr int OPT_HTTPHEADER = 10023;
inline constexpr int OPT_HEADERDATA = 10029;
inline constexpr int OPT_FOLLOWLOCATION = 52;
inline constexpr int OPT_CAINFO = 10065;
inline constexpr int OPT_MAXREDIRS = 68;
inline constexpr int OPT_HEADERFUNCTION = 20079;
inline constexpr int OPT_NOSIGNAL = 99;
inline constexpr int OPT_SHARE = 10100;
inline constexpr int OPT_TIMEOUT_MS = 155;
inline constexpr int OPT_CONNECTTIMEOUT_MS = 156;
inline constexpr int OPT_USERNAME = 10173;
inline constexpr int OPT_PASSWORD = 10174;
inline constexpr int OPT_TCP_KEEPALIVE = 213;
inline constexpr int OPT_AWS_SIGV4 = 10305;

inline constexpr int INFO_EFFECTIVE_URL = 0x100000 + 1;  // CURLINFO_STRING + 1
inline constexpr int INFO_RESPONSE_CODE = 0x200000 + 2;  // CURLINFO_LONG + 2

// Share options and the data shared.
inline constexpr int SHOPT_SHARE = 1;
inline constexpr int SHOPT_LOCKFUNC = 3;
inline constexpr int SHOPT_UNLOCKFUNC = 4;
inline constexpr int LOCK_DATA_DNS = 3;
inline constexpr int LOCK_DATA_SSL_SESSION = 4;
inline constexpr int LOCK_DATA_LAST = 7;

// Result codes that remote reading tells apart.
inline constexpr Code E_OK = 0;
inline constexpr Code E_COULDNT_CONNECT = 7;
inline constexpr Code E_HTTP2 = 16;
inline constexpr Code E_PARTIAL_FILE = 18;
inline constexpr Code E_WRITE_ERROR = 23;
inline constexpr Code E_OPERATION_TIMEDOUT = 28;
inline constexpr Code E_ABORTED_BY_CALLBACK = 42;
inline constexpr Code E_GOT_NOTHING = 52;
inline constexpr Code E_SEND_ERROR = 55;
inline constexpr Code E_RECV_ERROR = 56;
inline constexpr Code E_HTTP2_STREAM = 92;

inline constexpr std::size_t ERROR_SIZE = 256;  // CURL_ERROR_SIZE

// The entry points, resolved from the loaded library.
struct Api {
    Code (*global_init)(long);
    Easy* (*easy_init)();
    Code (*easy_setopt)(Easy*, int, ...);
    Code (*easy_getinfo)(Easy*, int, ...);
    void (*easy_cleanup)(Easy*);
    void (*easy_reset)(Easy*);
    const char* (*easy_strerror)(Code);
    Multi* (*multi_init)();
    MultiCode (*multi_add_handle)(Multi*, Easy*);
    MultiCode (*multi_remove_handle)(Multi*, Easy*);
    MultiCode (*multi_perform)(Multi*, int*);
    MultiCode (*multi_poll)(Multi*, void*, unsigned, int, int*);
    Message* (*multi_info_read)(Multi*, int*);
    MultiCode (*multi_cleanup)(Multi*);
    Slist* (*slist_append)(Slist*, const char*);
    void (*slist_free_all)(Slist*);
    Share* (*share_init)();
    int (*share_setopt)(Share*, int, ...);
    char* (*version)();
};

// The library, loaded and initialised once; nullptr with `why` set (the
// library's name and what failed) when it cannot be.
const Api* api(std::string& why);

}  // namespace kelpa::core::curl
