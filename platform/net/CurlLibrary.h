#pragma once

// libcurl, loaded the first time a fetch needs it rather than by every start:
// it brings some twenty libraries (TLS, Kerberos, LDAP, SSH) whose loading
// costs more than a whole check, and only central settings on a server use it.

#include <curl/curl.h>

namespace postwarden::net {

// The libcurl calls this folder makes, from the library loaded at run time.
struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    CURLcode (*easy_perform)(CURL* handle);
    void (*easy_cleanup)(CURL* handle);
    const char* (*easy_strerror)(CURLcode code);
    char* (*easy_escape)(CURL* handle, const char* text, int length);
    char* (*easy_unescape)(CURL* handle, const char* text, int length, int* outLength);
    void (*free)(void* text);
    CURLU* (*url)();
    void (*url_cleanup)(CURLU* url);
    CURLUcode (*url_get)(const CURLU* url, CURLUPart part, char** text, unsigned int flags);
    CURLUcode (*url_set)(CURLU* url, CURLUPart part, const char* text, unsigned int flags);
    const char* (*url_strerror)(CURLUcode code);
};

// libcurl (libcurl.so.4), loaded and initialised once per process, and kept
// until it ends. Throws RuntimeError "Can't create object" (429) naming what is
// missing when it cannot be loaded; a fetch then fails as a fetch does.
const CurlLibrary& Curl();

}  // namespace postwarden::net
