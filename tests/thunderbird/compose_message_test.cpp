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

// Which body goes out, and which ignored, is met through the native host's rules.
TEST(ComposeMessage, RecipientsAndAttachmentNamesComeBackAsTyped) {
    ComposeRequest request;
    request.from = "Me <me@corp.example>";
    request.to = {"Ann <ann@corp.example>", "\"Müller, Jörg\" <jm@outside.example>",
                  "a@corp.example\nBcc: sneaky@outside.example"};
    request.cc = {"cc@corp.example"};
    request.bcc = {"Hidden <hidden@bücher.example>"};
    request.attachments = {"plan projectx.pdf", "Über % 100.txt"};
    const auto content = ParseMessage(BuildMessage(request));
    EXPECT_EQ(Addresses(content),
              (std::vector<std::string>{"ann@corp.example", "jm@outside.example",
                                        "sneaky@outside.example", "cc@corp.example",
                                        "hidden@bücher.example"}))
        << "a line break in a recipient cannot add a field: it stays in To";
    EXPECT_EQ(content.recipients[1].name, "Müller, Jörg");
    EXPECT_EQ(content.attachmentNames, request.attachments);
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
