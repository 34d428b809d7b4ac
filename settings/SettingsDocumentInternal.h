#pragma once

// What reading a settings document (SettingsDocument.cpp) and reading its
// encoding (SettingsDocumentText.cpp) share.

#include <cstddef>
#include <string>
#include <string_view>

namespace postwarden {

// A name from the document as an error reason shows it: a document may hold a
// name of megabytes, and the reason goes into the log on every send.
std::string Shown(std::string_view name);

// The offset of the first byte of `text` that is not part of well-formed UTF-8
// (a stray or missing continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF); npos when there is none.
size_t FirstInvalidUtf8(std::string_view text);

}  // namespace postwarden
