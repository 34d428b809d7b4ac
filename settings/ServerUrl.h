#pragma once

#include <string>
#include <string_view>

namespace postwarden {

// A central source written as a URL ("https://…", "imaps://…") rather than a
// path: a scheme of letters, digits, "+", "-" or "." followed by "://". The
// platform says which schemes it can fetch; the others fail there, by name.
bool IsServerUrl(std::string_view source);

// `url` with the password of its user information replaced by "****", for
// every text a person may read. When the user information cannot be told
// apart for sure (an "@" further on, a password with a "/" not encoded), more
// is hidden rather than less: everything from the first ":" after the scheme
// up to the last "@".
std::string WithoutPassword(std::string_view url);

}  // namespace postwarden
