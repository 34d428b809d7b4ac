// The add-on's request, and the message the module is given for it: whatever
// the person typed must reach the rules as typed.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/ThunderbirdCompose.h"
#include "platform/mailstore/MimeMessage.h"

namespace postwarden::host {
namespace {

using mailstore::ParseMessage;

std::vector<std::string> Addresses(const mailstore::MessageContent& content) {
    std::vector<std::string> addresses;
    for (const auto& r : content.recipients) addresses.push_back(r.address);
    return addresses;
}

TEST(ComposeMessage, RecipientsOfEveryKindComeBackInOrder) {
    ComposeRequest request;
    request.from = "Me <me@corp.example>";
    request.to = {"Ann <ann@corp.example>", "\"Müller, Jörg\" <jm@outside.example>"};
    request.cc = {"cc@corp.example"};
    request.bcc = {"Hidden <hidden@bücher.example>"};
    const auto content = ParseMessage(BuildMessage(request));
    EXPECT_EQ(Addresses(content),
              (std::vector<std::string>{"ann@corp.example", "jm@outside.example", "cc@corp.example",
                                        "hidden@bücher.example"}));
    EXPECT_EQ(content.recipients[1].name, "Müller, Jörg");
}

TEST(ComposeMessage, ALineBreakInARecipientCannotAddAField) {
    ComposeRequest request;
    request.to = {"a@corp.example\nBcc: sneaky@outside.example"};
    const std::string message = BuildMessage(request);
    EXPECT_EQ(mailstore::ParseHeaderValue(message, "Bcc"), "");
}

TEST(ComposeMessage, SubjectsComeBackExactly) {
    const std::string subjects[] = {
        "Hello",
        "  leading and trailing blanks  ",
        "=?utf-8?q?looks_encoded?=",
        "Grüße aus Köln — ein sehr langer Betreff, der über mehrere kodierte Wörter geht, "
        "mit 日本語 dazwischen und noch mehr Text am Ende",
    };
    for (const std::string& subject : subjects) {
        ComposeRequest request;
        request.to = {"a@corp.example"};
        request.subject = subject;
        EXPECT_EQ(ParseMessage(BuildMessage(request)).subject, subject);
    }
    ComposeRequest blank;
    EXPECT_EQ(mailstore::ParseHeaderValue(BuildMessage(blank), "Subject"), "");
}

TEST(ComposeMessage, BodiesAndAttachmentNamesAreReadable) {
    struct Case {
        const char* name;
        bool plain;
        std::string text, html;
        std::vector<std::string> attachments;
        int32_t format;
        std::vector<std::string> found, absent;
    };
    const Case cases[] = {
        {"plain text",
         true,
         "plain words ünïcode",
         "<p>ignored html</p>",
         {},
         1,
         {"plain words ünïcode"},
         {"ignored html"}},
        {"html with its text",
         false,
         "text rendering",
         "<p>html <b>words</b></p>",
         {},
         2,
         {"text rendering", "words"},
         {}},
        {"html alone", false, "", "<p>only html</p>", {}, 2, {"only html"}, {}},
        {"attachments",
         true,
         "see attached",
         "",
         {"plan projectx.pdf", "Über % 100.txt"},
         1,
         {"see attached", "plan projectx.pdf", "Über % 100.txt"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComposeRequest request;
        request.to = {"a@corp.example"};
        request.isPlainText = c.plain;
        request.plainTextBody = c.text;
        request.htmlBody = c.html;
        request.attachments = c.attachments;
        const auto content = ParseMessage(BuildMessage(request));
        EXPECT_EQ(content.bodyFormat, c.format);
        const std::string all = std::string(content.Body()) + std::string(content.HtmlBody());
        for (const std::string& text : c.found)
            EXPECT_NE(all.find(text), std::string::npos) << text;
        for (const std::string& text : c.absent)
            EXPECT_EQ(all.find(text), std::string::npos) << text;
    }
}

TEST(ComposeRequest, RefusesWhatItCannotRead) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "not JSON"},
        {R"({"to":["a@x"])", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {R"({"to":"a@x"})", "\"to\" is not a list"},
        {R"({"bcc":["a@x",7]})", "\"bcc\" is not a list"},
        {R"({"subject":["s"]})", "\"subject\" is not a text"},
        {R"({"isPlainText":"yes"})", "\"isPlainText\""},
        {"{\"subject\":\"\xff\"}", "not JSON"},
    };
    for (const auto& [json, reason] : cases) {
        try {
            ParseComposeRequest(json);
            ADD_FAILURE() << "accepted " << json;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace postwarden::host
