#pragma once

#include <string>
#include <string_view>

#include "module/Platform.h"

namespace postwarden::net {

// The document at an https, http or file URL, as Platform::FetchUrl promises:
// redirects followed a few times (from https only to https), TLS verified,
// the time and size limits of `policy` kept.
std::string FetchUrl(std::string_view url, const FetchPolicy& policy);

}  // namespace postwarden::net
