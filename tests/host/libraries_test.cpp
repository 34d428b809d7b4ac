// What the command maps: Qt only when a window is drawn, libcurl only for a
// fetch, GMime only to read a message, libcrypto only for an S/MIME body, the
// window plugin looked up beside the module, and a plugin that cannot be had
// treated as no display.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

const std::string kMessage =
    "From: Me <me@corp.example>\r\nTo: x@corp.example\r\nSubject: hi\r\n\r\nhello\r\n";

bool Mentions(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Copies the command and `libraries` of the build into `bin`, where no window
// plugin stands unless the test puts one there; the copy's path.
std::string CopyCommand(const TempFolder& bin,
                        std::vector<std::string> libraries = {"libpostwarden-module.so",
                                                              "libpostwarden-mime.so"}) {
    libraries.push_back("postwarden");
    for (const std::string& file : libraries) {
        fs::copy_file(fs::path(POSTWARDEN_BINARY_DIR) / file, fs::path(bin.Path()) / file);
    }
    return bin.Path() + "/postwarden";
}

TEST(LibrariesTest, QtIsMappedOnlyToDrawAWindowAndLibcurlOnlyToFetch) {
    TempFolder home;
    TempFolder mail;
    const std::string sendmail = WriteFakeSendmail(mail.Path());
    // What the run did, and the dynamic loader's account of the libraries it
    // loaded (LD_DEBUG=files), the programs it ran included.
    const auto run = [&](std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--home", home.Path()});
        TempFolder trace;
        const CommandResult r = RunPostwarden(
            args, input, {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + trace.Path() + "/ld"});
        std::string text;
        for (const auto& entry : fs::directory_iterator(trace.Path())) {
            text += ReadFile(entry.path().string());
        }
        return std::pair{r, text};
    };

    // A fresh home asks before every send, so this one answers a question.
    const auto [check, checkTrace] = run({"check", "--answers", "yes"}, kMessage);
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_TRUE(Mentions(checkTrace, "libpostwarden-module.so")) << "no trace: " << checkTrace;
    EXPECT_FALSE(Mentions(checkTrace, "libQt6")) << checkTrace;
    EXPECT_FALSE(Mentions(checkTrace, "libpostwarden-qt")) << checkTrace;

    // A send that asks nothing, and a command that needs neither.
    ASSERT_EQ(run({"settings", "set", "PromptForAnySendWanted", "0"}).first.exitCode, 0);
    const struct {
        std::vector<std::string> args;
        std::string input;
        bool readsMail;  // GMime comes with the MIME library, for a message only
    } quiet[] = {
        {{"sendmail", "--sendmail", sendmail, "-oi", "x@corp.example"}, kMessage, true},
        {{"--help"}, "", false},
        {{"settings", "list"}, "", false},
        {{"log"}, "", false},
        {{"version"}, "", false},
    };
    for (const auto& c : quiet) {
        SCOPED_TRACE(c.args.front());
        const auto [r, trace] = run(c.args, c.input);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Mentions(trace, "libc.so")) << "no trace: " << trace;
        EXPECT_FALSE(Mentions(trace, "libQt6")) << trace;
        EXPECT_FALSE(Mentions(trace, "libcurl")) << trace;
        EXPECT_FALSE(Mentions(trace, "libcrypto")) << trace;
        EXPECT_EQ(Mentions(trace, "libpostwarden-mime.so"), c.readsMail) << trace;
        EXPECT_EQ(Mentions(trace, "libgmime"), c.readsMail) << trace;
    }
    EXPECT_EQ(ReadFile(mail.Path() + "/input"), kMessage);

    // libcrypto comes with the first S/MIME body, to open its signed content.
    const auto [smime, smimeTrace] =
        run({"check", "--answers", "yes"},
            ReadFile(POSTWARDEN_SOURCE_DIR
                     "/tests/fixtures/maildir/Inbox/cur/1700000013.M100P10.corpus:2,S"));
    EXPECT_EQ(smime.exitCode, 0) << smime.err;
    EXPECT_TRUE(Mentions(smimeTrace, "libcrypto.so")) << smimeTrace;

    // libcurl comes with the first fetch from a URL, and only then.
    const std::string document = home.Path() + "/central.xml";
    std::ofstream(document) << "<Settings><PromptForAnySendWanted>0</PromptForAnySendWanted>"
                               "</Settings>";
    ASSERT_EQ(run({"settings", "set", "FetchSettingsNetworkLocation", "file://" + document})
                  .first.exitCode,
              0);
    const auto [fetched, fetchTrace] = run({"check", "--answers", "yes"}, kMessage);
    EXPECT_EQ(fetched.exitCode, 0) << fetched.err;
    EXPECT_TRUE(Mentions(fetchTrace, "libcurl.so.4")) << fetchTrace;

    // Drawing the forms is what the plugin is for.
    TempFolder pictures;
    const auto [forms, formsTrace] = run({"forms", "--png", pictures.Path()});
    EXPECT_EQ(forms.exitCode, 0) << forms.err;
    EXPECT_TRUE(Mentions(formsTrace, "libpostwarden-qt.so")) << formsTrace;
    EXPECT_TRUE(Mentions(formsTrace, "libQt6Widgets")) << formsTrace;
    EXPECT_TRUE(fs::exists(pictures.Path() + "/frmYesNoPrompt-1.png"));
    EXPECT_TRUE(fs::exists(pictures.Path() + "/frmCountdown.png"));
}

// An install without its MIME library cannot read a message: nothing is
// checked, so nothing is sent, as with the module missing.
TEST(LibrariesTest, WithoutTheMimeLibraryNothingIsCheckedOrSent) {
    TempFolder bin;
    TempFolder home;
    TempFolder mail;
    const std::string program = CopyCommand(bin, {"libpostwarden-module.so"});
    const std::string sendmail = WriteFakeSendmail(mail.Path());
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"check", "--answers", "yes"}, "not checked: "},
        {{"sendmail", "--sendmail", sendmail, "-oi", "x@corp.example"}, "not sent: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = {"--home", home.Path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r = RunProgram(program, args, {kMessage}, {});
        EXPECT_EQ(r.exitCode, 69) << r.out << r.err;
        EXPECT_TRUE(Mentions(r.err, c.says)) << r.err;
        EXPECT_TRUE(Mentions(r.err, "libpostwarden-mime.so in " + bin.Path() + " or ")) << r.err;
        EXPECT_TRUE(Mentions(r.err, "/lib/postwarden")) << r.err;
    }
    EXPECT_FALSE(fs::exists(mail.Path() + "/input"));
    // The settings need no message, so they work all the same.
    EXPECT_EQ(RunProgram(program, {"--home", home.Path(), "settings", "list"}, {}, {}).exitCode, 0);
}

// Something listening where $DISPLAY points, so that a display seems present;
// nothing answers on it, so Qt must never be started there.
class FakeDisplay {
  public:
    FakeDisplay() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        for (number_ = 4100 + ::getpid() % 500; number_ < 4700; ++number_) {
            const std::string name = "/tmp/.X11-unix/X" + std::to_string(number_);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract
            const auto length =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(fd_.Get(), 8) == 0) {
                return;
            }
        }
        ADD_FAILURE() << "no display number free";
    }
    std::string Variable() const { return "DISPLAY=:" + std::to_string(number_); }

  private:
    UniqueFd fd_;
    int number_ = 0;
};

TEST(LibrariesTest, AWindowPluginThatCannotBeHadIsNoDisplay) {
    const FakeDisplay display;
    const struct {
        const char* name;
        std::optional<std::string> plugin;  // what stands beside the command as the plugin
        std::string says;
    } cases[] = {
        {"missing", std::nullopt, "libpostwarden-qt.so is not in "},
        {"not a library", "not a library", "the window plugin cannot be loaded: "},
        {"another library", ReadFile(POSTWARDEN_BINARY_DIR "/libpostwarden-module.so"),
         "is not the window plugin (it has no PostwardenCreateQtWindowSystem)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder bin;
        TempFolder home;
        const std::string program = CopyCommand(bin);
        if (c.plugin) std::ofstream(bin.Path() + "/libpostwarden-qt.so") << *c.plugin;
        const CommandResult r =
            RunProgram(program, {"--home", home.Path(), "check"}, {kMessage}, {display.Variable()});
        // Held, never sent unasked, and the reason names the plugin.
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_TRUE(Mentions(r.out, "send: cancelled (nobody could be asked")) << r.out;
        EXPECT_TRUE(Mentions(r.out, c.says)) << r.out;

        const CommandResult doctor =
            RunProgram(program, {"--home", home.Path(), "doctor"}, {}, {display.Variable()});
        EXPECT_TRUE(Mentions(doctor.out, "problem windows: Qt on display :")) << doctor.out;
        EXPECT_TRUE(Mentions(doctor.out, c.says)) << doctor.out;
    }
}

// With a terminal of its own, a send whose display has no plugin asks there.
TEST(LibrariesTest, WithoutThePluginTheQuestionIsAskedOnTheTerminal) {
    const FakeDisplay display;
    TempFolder bin;
    TempFolder home;
    const std::string message = home.Path() + "/message.eml";
    std::ofstream(message) << kMessage;
    const Started run = StartProgram(CopyCommand(bin), {"--home", home.Path(), "check", message},
                                     "", {display.Variable()}, true);
    std::string screen;
    EXPECT_TRUE(ReadUntil(run.output.Get(), screen, "Post Warden")) << screen;
    ASSERT_EQ(::write(run.output.Get(), "y", 1), 1);
    EXPECT_TRUE(ReadUntil(run.output.Get(), screen, "send: go ahead")) << screen;
    EXPECT_EQ(run.Wait(), 0) << screen;
}

}  // namespace
}  // namespace postwarden::testing
