#include <gtest/gtest.h>

#include "platform/TerminalText.h"

namespace postwarden {
namespace {

TEST(TerminalTextTest, ShowsEveryTerminalControlAsAVisibleEscape) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain Grüße, 日本", "plain Grüße, 日本"},
        {"\x1b]0;TITLE\x07", "\\x1B]0;TITLE\\x07"},
        {"a\tb\r\nc\x7f", "a\\tb\\r\\nc\\x7F"},
        {"csi \xc2\x9b"
         "2J",
         "csi \\u{009B}2J"},  // C1 CSI
        {"evil\xe2\x80\xae"
         "txt.exe",
         "evil\\u{202E}txt.exe"},  // right-to-left override
        {"\xe2\x81\xa6isolate\xe2\x81\xa9", "\\u{2066}isolate\\u{2069}"},
        {"bad \xff\xfe utf8", "bad \\xFF\\xFE utf8"},
        {"truncated \xe2\x80", "truncated \\xE2\\x80"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeForTerminal(text), shown) << shown;
}

}  // namespace
}  // namespace postwarden
