// The native host as Thunderbird runs it: a separate process, requests on a
// pipe in, answers on a pipe out, nothing else on that pipe; the message it
// makes of a request; and the command that installs it for Thunderbird.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/thunderbird/ThunderbirdCompose.h"
#include "host/thunderbird/ThunderbirdHost.h"
#include "platform/mailstore/MimeMessage.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string Frame(const std::string& payload, uint32_t length) {
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    return frame + payload;
}
std::string Frame(const std::string& payload) {
    return Frame(payload, static_cast<uint32_t>(payload.size()));
}

struct HostRun {
    int exitCode = -1;
    std::vector<json> answers;
    std::string err;
};

class NativeHostTest : public HomeTest {
  protected:
    // Runs the host with Thunderbird's two arguments (or `args`), writing each
    // of `chunks` with a pause before the next, so that the host sees them in
    // separate reads. Every byte it writes on standard output must be a frame
    // of JSON.
    HostRun Run(const std::vector<std::string>& chunks, std::vector<std::string> env = {},
                const std::vector<std::string>& args = {"/m/postwarden.json", host::kAddonId}) {
        env.push_back("POSTWARDEN_HOME=" + Home());
        const CommandResult result =
            RunProgram(POSTWARDEN_BINARY_DIR "/postwarden-thunderbird-host", args, chunks, env);
        const std::string& output = result.out;
        HostRun run{result.exitCode, {}, result.err};
        for (size_t at = 0; at < output.size();) {
            uint32_t length = 0;
            if (output.size() - at < sizeof length) {
                ADD_FAILURE() << "stray bytes on standard output: " << output.substr(at);
                break;
            }
            std::memcpy(&length, output.data() + at, sizeof length);
            at += sizeof length;
            EXPECT_LE(length, output.size() - at) << "a frame cut short";
            run.answers.push_back(json::parse(output.substr(at, length), nullptr, false));
            EXPECT_FALSE(run.answers.back().is_discarded()) << output.substr(at, length);
            at += length;
        }
        return run;
    }
    static std::string Request(const json& fields = json::object()) {
        json request = {{"from", "Me <me@corp.example>"},
                        {"to", {"Ann <ann@corp.example>"}},
                        {"subject", "Lunch"},
                        {"isPlainText", true},
                        {"plainTextBody", "At noon?"}};
        request.update(fields);
        return request.dump();
    }
};

TEST_F(NativeHostTest, AnswersWhetherTheSendMayGo) {
    // Scripted answers that cannot be read hold the send; the Yes comes in a
    // frame split across reads.
    const std::string frame = Frame(Request());
    const struct {
        const char* answers;
        std::vector<std::string> chunks;
        bool allowed;
        const char* outcome;
        const char* reason;
    } cases[] = {
        {"yes", {frame.substr(0, 2), frame.substr(2, 10), frame.substr(12)}, true, "yes", ""},
        {"no", {frame}, false, "no", "Are you sure"},
        {"maybe", {frame}, false, "error", ""},
    };
    for (const auto& c : cases) {
        const HostRun run = Run(c.chunks, {std::string("POSTWARDEN_ANSWERS=") + c.answers});
        ASSERT_EQ(run.answers.size(), 1u) << c.answers << run.err;
        EXPECT_EQ(run.answers[0]["allowed"], c.allowed) << c.answers;
        EXPECT_EQ(run.answers[0]["outcome"], c.outcome);
        EXPECT_THAT(run.answers[0].value("reason", ""), HasSubstr(c.reason)) << run.answers[0];
        EXPECT_EQ(run.exitCode, 0);
    }
}

TEST_F(NativeHostTest, EveryPartOfTheMessageReachesTheRules) {
    Set("PromptForAnySendWanted", "0");
    Set("PromptForOutsideDomainsWanted", "1");
    Set("ListOfOutsideDomains", "corp.example");
    Set("PromptForKeywordsWanted", "1");
    Set("ListOfKeywords", "projectx");
    Set("MessageForOutsideDomains", "Outside?");
    Set("MessageForKeywords", "Keywords?");
    const std::pair<json, const char*> cases[] = {
        {json::object(), nullptr},
        {{{"bcc", {"x@outside.example"}}}, "Outside?"},
        {{{"cc", {"\"Doe, J\" <j@outside.example>"}}}, "Outside?"},
        {{{"subject", "Über ProjectX"}}, "Keywords?"},
        {{{"isPlainText", false}, {"plainTextBody", ""}, {"htmlBody", "<b>projectx</b>"}},
         "Keywords?"},
        {{{"isPlainText", false}, {"htmlBody", "<b>projectx</b>"}}, "Keywords?"},
        {{{"attachments", {"notes.txt", "projectx plan.pdf"}}}, "Keywords?"},
        // A plain-text message goes out without the HTML Thunderbird keeps.
        {{{"htmlBody", "<b>projectx</b>"}}, nullptr},
    };
    for (const auto& [fields, fired] : cases) {
        const HostRun run = Run({Frame(Request(fields))}, {"POSTWARDEN_ANSWERS=no"});
        ASSERT_EQ(run.answers.size(), 1u) << fields << run.err;
        EXPECT_EQ(run.answers[0]["allowed"], fired == nullptr) << fields;
        if (fired) {
            EXPECT_THAT(run.answers[0]["reason"].get<std::string>(), HasSubstr(fired))
                << run.answers[0];
        }
    }
}

// No display, and the host leaves any terminal it was given: nobody can be
// asked, so the send is held, and the same message sent again goes.
TEST_F(NativeHostTest, NobodyToAskHoldsTheSendUntilItIsSentAgain) {
    const HostRun first = Run({Frame(Request())});
    ASSERT_EQ(first.answers.size(), 1u) << first.err;
    EXPECT_EQ(first.answers[0]["allowed"], false);
    EXPECT_EQ(first.answers[0]["outcome"], "not asked");
    EXPECT_THAT(first.answers[0]["reason"].get<std::string>(), HasSubstr("again within 10 minutes"))
        << first.answers[0];
    const HostRun again = Run({Frame(Request())});
    ASSERT_EQ(again.answers.size(), 1u) << again.err;
    EXPECT_EQ(again.answers[0]["outcome"], "approved by resend");
    EXPECT_EQ(again.answers[0]["allowed"], true);
}

TEST_F(NativeHostTest, AnUnreadableRequestIsRefusedAndTheNextOneAnswered) {
    const HostRun run =
        Run({Frame("{\"to\": [\"a@x\""), Frame(R"({"to": "a@x"})"), Frame(R"({"n": 1e999})"),
             Frame(std::string(host::kMaxRequestDepth * 4, '[')), Frame(Request())},
            {"POSTWARDEN_ANSWERS=yes"});
    ASSERT_EQ(run.answers.size(), 5u) << run.err;
    for (int i : {0, 1, 2, 3}) {
        EXPECT_EQ(run.answers[i]["allowed"], false);
        EXPECT_EQ(run.answers[i]["outcome"], "error");
    }
    EXPECT_THAT(run.answers[1]["reason"].get<std::string>(), HasSubstr("\"to\""));
    EXPECT_EQ(run.answers[4]["allowed"], true);
    EXPECT_EQ(run.exitCode, 0);
}

TEST_F(NativeHostTest, ABrokenStreamIsRefusedOnceAndEndsTheHost) {
    const std::pair<std::string, const char*> cases[] = {
        {Frame("", static_cast<uint32_t>(host::kMaxRequestBytes + 1)), "too large"},
        {std::string("\x10\x00", 2), "cut short"},
        {Frame("{\"to\":[]}", 100), "cut short"},
    };
    for (const auto& [input, reason] : cases) {
        const HostRun run = Run({input}, {"POSTWARDEN_ANSWERS=yes"});
        ASSERT_EQ(run.answers.size(), 1u) << reason << run.err;
        EXPECT_EQ(run.answers[0]["allowed"], false);
        EXPECT_THAT(run.answers[0]["reason"].get<std::string>(), HasSubstr(reason))
            << run.answers[0];
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST_F(NativeHostTest, StartedOtherwiseThanByThunderbirdItAnswersNothing) {
    const HostRun run = Run({Frame(Request())}, {}, {});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.answers.empty());
}

// `postwarden thunderbird install|uninstall` on a throw-away HOME and profile.
class InstallCommandTest : public ::testing::Test {
  protected:
    CommandResult Thunderbird(std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", home.Path() + "/pw", "thunderbird"});
        return RunPostwarden(args, "", {homeVariable});
    }
    std::string ManifestPath() const {
        return home.Path() + "/.mozilla/native-messaging-hosts/" + host::kNativeHostName + ".json";
    }
    std::string AddonPath() const {
        return profile.Path() + "/extensions/" + host::kAddonId + ".xpi";
    }

    TempFolder home, profile;
    std::string homeVariable = "HOME=" + home.Path();
};

TEST_F(InstallCommandTest, InstallLetsTheAddonRunTheHostAndUninstallUndoesIt) {
    // Without a profile it says where the add-on is.
    CommandResult installed = Thunderbird({"install"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    EXPECT_THAT(installed.out, HasSubstr(host::kAddonPackage));
    installed = Thunderbird({"install", "--profile", profile.Path()});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;

    const auto manifest = json::parse(ReadFile(ManifestPath()), nullptr, false);
    ASSERT_TRUE(manifest.is_object()) << ReadFile(ManifestPath());
    EXPECT_EQ(manifest["name"], host::kNativeHostName);
    EXPECT_EQ(manifest["type"], "stdio");
    const std::string program = manifest["path"];
    EXPECT_TRUE(fs::path(program).is_absolute()) << program;
    EXPECT_EQ(access(program.c_str(), X_OK), 0) << program;
    // The add-on as packed must be the one the manifest lets in.
    const auto addon =
        json::parse(ReadFile(POSTWARDEN_SOURCE_DIR "/integrations/thunderbird/manifest.json"));
    EXPECT_EQ(manifest["allowed_extensions"],
              json::array({addon["browser_specific_settings"]["gecko"]["id"]}));
    EXPECT_EQ(ReadFile(AddonPath()),
              ReadFile(std::string(POSTWARDEN_BINARY_DIR "/") + host::kAddonPackage));

    const CommandResult removed = Thunderbird({"uninstall", "--profile", profile.Path()});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_FALSE(fs::exists(ManifestPath()));
    EXPECT_FALSE(fs::exists(AddonPath()));
    EXPECT_EQ(Thunderbird({"uninstall"}).exitCode, 0) << "nothing left to remove is no error";
}

// Thunderbird starts an add-on found in a profile enabled only when the
// profile's bit (1) of extensions.autoDisableScopes is clear: install clears
// it in user.js, keeping the other bits and the person's lines, and uninstall
// takes it out of user.js and of prefs.js, where Thunderbird copies it.
TEST_F(InstallCommandTest, TheProfileStartsTheAddonEnabledUntilUninstalled) {
    const std::string userJs = profile.Path() + "/user.js", prefsJs = profile.Path() + "/prefs.js";
    const std::string mine = "user_pref(\"mail.identity.id1.fullName\", \"Me\");\n";
    const auto pref = [](int value) {
        return "user_pref(\"extensions.autoDisableScopes\", " + std::to_string(value) + ");";
    };
    WriteFile(userJs, mine);
    ASSERT_EQ(Thunderbird({"install", "--profile", profile.Path()}).exitCode, 0);
    ASSERT_EQ(Thunderbird({"install", "--profile", profile.Path()}).exitCode, 0);
    EXPECT_THAT(ReadFile(userJs), ::testing::StartsWith(mine + pref(2)))
        << "Thunderbird's default 3 without the profile's bit, written once";
    EXPECT_EQ(Occurrences(ReadFile(userJs), "autoDisableScopes"), 1u);

    WriteFile(prefsJs, "user_pref(\"a.b\", 1);\n" + pref(13) + "\n");
    ASSERT_EQ(Thunderbird({"install", "--profile", profile.Path()}).exitCode, 0);
    EXPECT_THAT(ReadFile(userJs), HasSubstr(pref(12))) << "the person's own value, bit 1 off";
    WriteFile(prefsJs, "user_pref(\"a.b\", 1);\n" + pref(12) + "\n");  // as Thunderbird saves it
    ::chmod(prefsJs.c_str(), 0600);

    // While Thunderbird holds the profile it would write prefs.js back.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open((profile.Path() + "/.parentlock").c_str(), O_WRONLY | O_CREAT, 0644);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        fcntl(fd, F_SETLK, &lock);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    const CommandResult refused = Thunderbird({"uninstall", "--profile", profile.Path()});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_THAT(refused.err, HasSubstr("quit it"));
    EXPECT_TRUE(fs::exists(AddonPath()));

    ASSERT_EQ(Thunderbird({"uninstall", "--profile", profile.Path()}).exitCode, 0);
    EXPECT_EQ(ReadFile(userJs), mine);
    EXPECT_EQ(ReadFile(prefsJs), "user_pref(\"a.b\", 1);\n");
    EXPECT_EQ(ModeOf(prefsJs), 0600) << "prefs.js stays the owner's";
}

// The usage errors' wording is checked in tests/host/options_test.cpp.
TEST_F(InstallCommandTest, BadUsageChangesNothing) {
    for (const std::string& bad :
         {std::string("--bogus"), "--profile=" + profile.Path() + "/missing"}) {
        const CommandResult r = Thunderbird({"install", bad});
        EXPECT_EQ(r.exitCode, 2) << bad << r.err;
        EXPECT_FALSE(fs::exists(ManifestPath())) << bad;
    }
}

}  // namespace
}  // namespace postwarden::testing

// The add-on's request, and the message the module is given for it: whatever
// the person typed must reach the rules as typed.
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
    const std::pair<std::string, const char*> cases[] = {
        {"", "not JSON"},
        {R"({"to":["a@x"])", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {R"({"to":"a@x"})", "\"to\" is not a list"},
        {R"({"bcc":["a@x",7]})", "\"bcc\" is not a list"},
        {R"({"subject":["s"]})", "\"subject\" is not a text"},
        {R"({"isPlainText":"yes"})", "\"isPlainText\""},
        {"{\"subject\":\"\xff\"}", "not JSON"},
        // Well-formed, yet nothing can hold it.
        {R"({"n":-1e999})", "number overflow"},
        {"{\"n\":" + std::string(400, '9') + "}", "number overflow"},
        {R"({"n":)" + std::string(kMaxRequestDepth + 1, '['), "nested more than 16"},
    };
    for (const auto& [json, reason] : cases) {
        try {
            ParseComposeRequest(json);
            ADD_FAILURE() << "accepted " << json;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
    const std::string deepest =
        std::string(kMaxRequestDepth, '[') + std::string(kMaxRequestDepth, ']');
    EXPECT_NO_THROW(ParseComposeRequest(R"({"n":)" + deepest + "}"));
}

}  // namespace
}  // namespace postwarden::host
