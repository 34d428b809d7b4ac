// The native host as Thunderbird runs it: a separate process, requests on a
// pipe in, answers on a pipe out, nothing else on that pipe.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "host/ThunderbirdHost.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

using nlohmann::json;

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
        EXPECT_NE(run.answers[0].value("reason", "").find(c.reason), std::string::npos)
            << run.answers[0];
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
            EXPECT_NE(run.answers[0]["reason"].get<std::string>().find(fired), std::string::npos)
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
    EXPECT_NE(first.answers[0]["reason"].get<std::string>().find("again within 10 minutes"),
              std::string::npos)
        << first.answers[0];
    const HostRun again = Run({Frame(Request())});
    ASSERT_EQ(again.answers.size(), 1u) << again.err;
    EXPECT_EQ(again.answers[0]["outcome"], "approved by resend");
    EXPECT_EQ(again.answers[0]["allowed"], true);
}

TEST_F(NativeHostTest, AnUnreadableRequestIsRefusedAndTheNextOneAnswered) {
    const HostRun run =
        Run({Frame("{\"to\": [\"a@x\""), Frame(R"({"to": "a@x"})"), Frame(Request())},
            {"POSTWARDEN_ANSWERS=yes"});
    ASSERT_EQ(run.answers.size(), 3u) << run.err;
    for (int i : {0, 1}) {
        EXPECT_EQ(run.answers[i]["allowed"], false);
        EXPECT_EQ(run.answers[i]["outcome"], "error");
    }
    EXPECT_NE(run.answers[1]["reason"].get<std::string>().find("\"to\""), std::string::npos);
    EXPECT_EQ(run.answers[2]["allowed"], true);
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
        EXPECT_NE(run.answers[0]["reason"].get<std::string>().find(reason), std::string::npos)
            << run.answers[0];
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST_F(NativeHostTest, StartedOtherwiseThanByThunderbirdItAnswersNothing) {
    const HostRun run = Run({Frame(Request())}, {}, {});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.answers.empty());
}

}  // namespace
}  // namespace postwarden::testing
