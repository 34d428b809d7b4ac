#pragma once

#include <string>
#include <string_view>

namespace postwarden::mailstore {

// A plain-text rendering of an HTML body, so that an HTML-only message still
// has a Body: tags dropped (the content of script, style and head too), block
// elements and <br> turned into line breaks, other white space collapsed,
// character references decoded. Linear in the input; never fails.
std::string HtmlToText(std::string_view html);

// The same rendering appended to `out`. The text is never longer than the HTML
// it comes from, so `html` may lie in `out` itself: it is rendered in place
// when `out` has room for html.size() bytes more, else by way of a copy.
void HtmlToText(std::string_view html, std::string& out);

}  // namespace postwarden::mailstore
