// The platform's small helpers: the lists the rules read their entries from,
// text made safe for a terminal, and reading a whole file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

TEST(DelimitedListTest, SplitsAtLineEndsAndSemicolonsAndTrims) {
    using V = std::vector<std::string>;
    const std::pair<std::string, V> cases[] = {
        {"corp.example\r\nbranch.example", {"corp.example", "branch.example"}},
        {"a;b\nc\rd", {"a", "b", "c", "d"}},
        {"  spaced.example \t;\tsecret word  ", {"spaced.example", "secret word"}},
        {";;\r\n\r\n ; \t\n", {}},
        {"", {}},
    };
    SplitDelimitedList list;
    for (const auto& [text, entries] : cases) {
        list.SetText(text);
        V found;
        for (int32_t i = 1; i <= list.Count(); ++i) found.push_back(list.Item(i));
        EXPECT_EQ(found, entries) << text;
    }
    list.SetText("a;b");
    EXPECT_THROW(list.Item(0), RuntimeError);
    EXPECT_THROW(list.Item(3), RuntimeError);
}

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

TEST(ReadWholeFileTest, ANamedPipeNobodyWritesToReadsAsEmptyInsteadOfWaiting) {
    testing::TempFolder folder;
    ASSERT_EQ(::mkfifo(folder.File("pipe").c_str(), 0600), 0);
    ::alarm(10);  // a read that waits for a writer ends the program here
    EXPECT_EQ(ReadWholeFile(folder.File("pipe")), "");
    ::alarm(0);
}

}  // namespace
}  // namespace postwarden
