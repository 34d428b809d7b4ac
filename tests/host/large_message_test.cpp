// Messages large enough to wait in a file on disk while they are checked, fed
// through a pipe as mutt, aerc and git send-email do: the real sendmail gets
// the bytes that came, and the rules read the texts they always read.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/SendCheck.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

// An HTML-only message over the size that is kept on disk, with CR LF line
// ends and 8-bit bytes; `ending` is the last paragraph's markup.
std::string LargeHtml(const std::string& ending) {
    std::string message =
        "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: big\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
    while (message.size() < host::kKeepOnDiskFrom + 4096) {
        message += "<p>Quarterly figures, caf\xc3\xa9 &amp; more.</p>\r\n";
    }
    return message + "<p>" + ending + "</p></body></html>\r\n";
}

class LargeMessageTest : public HomeTest {
  protected:
    void SetUp() override { sendmail = WriteFakeSendmail(dir.Path(), "fake-sendmail"); }
    bool Delivered() const { return std::filesystem::exists(dir.File("input")); }

    TempFolder dir;
    std::string sendmail;
};

TEST_F(LargeMessageTest, TheRealSendmailGetsTheBytesThatCame) {
    const std::string message = LargeHtml("the end, no final line end") + "\xff";
    const CommandResult r =
        Pw({"sendmail", "--answers", "yes", "--sendmail", sendmail, "-oi", "--", "x@else.example"},
           message);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir.File("input")) == message) << "the sendmail got other bytes";
    EXPECT_EQ(ReadFile(dir.File("args")), "-oi\n--\nx@else.example\n");
    // The copy on disk had no name, and the draft went with the send.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Home())) {
        EXPECT_FALSE(entry.is_regular_file() && entry.file_size() >= host::kKeepOnDiskFrom)
            << entry.path() << " stayed";
    }
}

// The word stands only in the text the HTML shows, which is rendered after the
// message's own pages went back.
TEST_F(LargeMessageTest, AKeywordInTheShownTextAtTheEndIsAskedAbout) {
    Set("PromptForAnySendWanted", "0");
    Set("PromptForOutsideDomainsWanted", "0");
    Set("PromptForKeywordsWanted", "1");
    Set("ListOfKeywords", "projectx");
    const CommandResult clean =
        Pw({"sendmail", "--answers", "no", "--sendmail", sendmail, "x@corp.example"},
           LargeHtml("nothing to see"));
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    std::filesystem::remove(dir.File("input"));
    const CommandResult r =
        Pw({"sendmail", "--answers", "no", "--sendmail", sendmail, "x@corp.example"},
           LargeHtml("code name: &#112;rojectx"));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("projectx"), std::string::npos) << r.err;
    EXPECT_FALSE(Delivered());
}

}  // namespace
}  // namespace postwarden::testing
