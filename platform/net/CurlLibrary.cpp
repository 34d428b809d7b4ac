#include "platform/net/CurlLibrary.h"

#include <dlfcn.h>

#include <string>

#include "util/RuntimeError.h"

namespace postwarden::net {

namespace {

// The soname of libcurl's ABI since version 7.16; both Debian builds
// (OpenSSL and GnuTLS) install it.
constexpr const char* kCurlLibrary = "libcurl.so.4";

// The library, or why it could not be had. Its handle is never closed: libcurl
// keeps global state (TLS, connection caches) until the process ends.
struct Loaded {
    CurlLibrary calls{};
    std::string failure;
};

template <typename Function>
bool Resolve(void* library, const char* name, Function& function, std::string& failure) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    if (function == nullptr && failure.empty()) {
        failure = std::string(kCurlLibrary) + " has no " + name;
    }
    return function != nullptr;
}

Loaded Load() {
    Loaded loaded;
    void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        loaded.failure = why ? why : std::string("cannot load ") + kCurlLibrary;
        return loaded;
    }
    CurlLibrary& c = loaded.calls;
    std::string& f = loaded.failure;
    Resolve(library, "curl_global_init", c.global_init, f);
    Resolve(library, "curl_easy_init", c.easy_init, f);
    Resolve(library, "curl_easy_setopt", c.easy_setopt, f);
    Resolve(library, "curl_easy_getinfo", c.easy_getinfo, f);
    Resolve(library, "curl_easy_perform", c.easy_perform, f);
    Resolve(library, "curl_easy_cleanup", c.easy_cleanup, f);
    Resolve(library, "curl_easy_strerror", c.easy_strerror, f);
    Resolve(library, "curl_easy_escape", c.easy_escape, f);
    Resolve(library, "curl_easy_unescape", c.easy_unescape, f);
    Resolve(library, "curl_free", c.free, f);
    Resolve(library, "curl_url", c.url, f);
    Resolve(library, "curl_url_cleanup", c.url_cleanup, f);
    Resolve(library, "curl_url_get", c.url_get, f);
    Resolve(library, "curl_url_set", c.url_set, f);
    Resolve(library, "curl_url_strerror", c.url_strerror, f);
    if (f.empty()) c.global_init(CURL_GLOBAL_DEFAULT);
    return loaded;
}

}  // namespace

const CurlLibrary& Curl() {
    static const Loaded loaded = Load();
    if (!loaded.failure.empty()) {
        throw RuntimeError(errors::kCannotCreateObject,
                           "Can't create object: libcurl cannot be used (" + loaded.failure + ")");
    }
    return loaded.calls;
}

}  // namespace postwarden::net
