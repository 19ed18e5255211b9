#include "core/remote/curl_api.hpp"

#include <dlfcn.h>

#include <mutex>

namespace kelpa::core::curl {

namespace {

struct Loaded {
    Api api{};
    std::string why;  // empty: loaded
};

template <class F>
bool resolve(void* library, const char* name, F& slot, std::string& why) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        why = "libcurl.so.4 lacks " + std::string(name) + " (libcurl 7.75 or later is needed to read URLs)";
        return false;
    }
    slot = reinterpret_cast<F>(symbol);
    return true;
}

Loaded load() {
    Loaded loaded;
    // Kept loaded for the life of the process: connections and the TLS
    // library's state outlive any one file.
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        loaded.why = "reading URLs needs libcurl (libcurl.so.4), which could not be loaded: " +
                     std::string(error != nullptr ? error : "not found");
        return loaded;
    }
    Api& a = loaded.api;
    std::string& why = loaded.why;
    const bool all = resolve(library, "curl_global_init", a.global_init, why) &&
                     resolve(library, "curl_easy_init", a.easy_init, why) &&
                     resolve(library, "curl_easy_setopt", a.easy_setopt, why) &&
                     resolve(library, "curl_easy_getinfo", a.easy_getinfo, why) &&
                     resolve(library, "curl_easy_cleanup", a.easy_cleanup, why) &&
                     resolve(library, "curl_easy_reset", a.easy_reset, why) &&
                     resolve(library, "curl_easy_strerror", a.easy_strerror, why) &&
                     resolve(library, "curl_multi_init", a.multi_init, why) &&
                     resolve(library, "curl_multi_add_handle", a.multi_add_handle, why) &&
                     resolve(library, "curl_multi_remove_handle", a.multi_remove_handle, why) &&
                     resolve(library, "curl_multi_perform", a.multi_perform, why) &&
                     resolve(library, "curl_multi_poll", a.multi_poll, why) &&
                     resolve(library, "curl_multi_info_read", a.multi_info_read, why) &&
                     resolve(library, "curl_multi_cleanup", a.multi_cleanup, why) &&
                     resolve(library, "curl_slist_append", a.slist_append, why) &&
                     resolve(library, "curl_slist_free_all", a.slist_free_all, why) &&
                     resolve(library, "curl_share_init", a.share_init, why) &&
                     resolve(library, "curl_share_setopt", a.share_setopt, why) &&
                     resolve(library, "curl_version", a.version, why);
    if (!all) return loaded;
    if (a.global_init(GLOBAL_ALL) != E_OK) {
        why = "libcurl.so.4 could not be initialised";
        return loaded;
    }
    // The Signature V4 option came last of what is used: a library that
    // does not know it refuses it with CURLE_UNKNOWN_OPTION (48).
    Easy* probe = a.easy_init();
    if (probe == nullptr || a.easy_setopt(probe, OPT_AWS_SIGV4, "aws:amz:us-east-1:s3") != E_OK) {
        why =
            std::string("libcurl.so.4 (") + a.version() + ") is too old to read URLs: libcurl 7.75 or later is needed";
    }
    if (probe != nullptr) a.easy_cleanup(probe);
    return loaded;
}

}  // namespace

const Api* api(std::string& why) {
    static const Loaded loaded = load();  // once, thread-safe
    if (!loaded.why.empty()) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace kelpa::core::curl
