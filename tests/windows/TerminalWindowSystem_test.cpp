#include "platform/windows/TerminalWindowSystem.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/fakes/FakePlatform.h"
#include "validation/Globals.h"

namespace postwarden {
namespace {

std::string WithoutEscapes(const std::string& text) {
    static const std::regex escape("\x1b\\[[0-9;?]*[A-Za-z]");
    return std::regex_replace(text, escape, "");
}

// A pseudo-terminal of 80 x 24 standing in for the person's terminal.
class Pty {
  public:
    Pty() {
        winsize size{};
        size.ws_col = 80;
        size.ws_row = 24;
        char name[256];
        if (openpty(&master_, &slave_, name, nullptr, &size) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        path_ = name;
    }
    ~Pty() {
        CloseMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }

    void Type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Reads what the program drew until the last screen contains `text`; the
    // screen without escape sequences, or empty after five seconds.
    std::string WaitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            const size_t screenStart = output_.rfind("\x1b[2J");
            if (screenStart != std::string::npos) {
                const std::string screen = WithoutEscapes(output_.substr(screenStart));
                if (screen.find(text) != std::string::npos) {
                    output_.erase(0, screenStart + 1);  // the next wait needs a newer screen
                    return screen;
                }
            }
            pollfd poll{master_, POLLIN, 0};
            if (::poll(&poll, 1, 50) == 1) {
                char buffer[4096];
                const ssize_t got = ::read(master_, buffer, sizeof buffer);
                if (got > 0) all_.append(buffer, static_cast<size_t>(got));
                if (got > 0) output_.append(buffer, static_cast<size_t>(got));
            }
        }
        ADD_FAILURE() << "never drawn: " << text << "\nlast output:\n" << WithoutEscapes(output_);
        return "";
    }
    // Everything the program wrote so far, escapes included.
    std::string Drained() {
        pollfd poll{master_, POLLIN, 0};
        while (::poll(&poll, 1, 100) == 1) {
            char buffer[4096];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) break;
            all_.append(buffer, static_cast<size_t>(got));
        }
        return all_;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::string output_, all_;
};

class TerminalFormsTest : public ::testing::Test {
  protected:
    TerminalFormsTest() { platform.windows = std::make_unique<TerminalWindowSystem>(pty.path()); }
    // Runs `ask` on a thread of its own, as the module runs on the host's thread
    // while the person types.
    template <typename Ask>
    void Start(Ask ask) {
        asker = std::thread([this, ask] {
            result = ask();
            ThreadObjects::ReleaseFor(platform);
        });
    }
    int32_t Finish() {
        asker.join();
        return result;
    }
    ~TerminalFormsTest() override {
        if (asker.joinable()) asker.join();
    }

    Pty pty;
    fakes::FakePlatform platform;
    std::thread asker;
    int32_t result = -1;
};

int32_t AskMulti(Platform& platform, Globals fired, bool manualModal) {
    ThreadGlobals() = fired;
    return ThreadObjects::For(platform).YesNoPrompt().Ask(65540, "Post Warden", manualModal);
}

int32_t AskSimple(Platform& platform, const std::string& question, bool manualModal) {
    frmSimpleYesNoPrompt& form = ThreadObjects::For(platform).SimpleYesNoPrompt();
    form.SetConfirmationMessage(question);
    return form.Ask(65540, "Post Warden", manualModal);
}

TEST_F(TerminalFormsTest, NumberedBoxesMustAllBeTickedBeforeYes) {
    Start([this] { return AskMulti(platform, {false, false, true, false, false, true}, false); });
    const std::string screen = pty.WaitFor("Enter = the marked button");
    EXPECT_NE(screen.find("+- Post Warden -"), std::string::npos);
    EXPECT_NE(screen.find("| 3 [ ] Are you sure you want to send this email with these"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("| 6 [ ] Are you sure you want to send this email?"), std::string::npos);
    // Greyed boxes have no number to tick them by.
    EXPECT_NE(screen.find("|   [ ] Are you sure you want to send this email outside the"),
              std::string::npos);
    EXPECT_NE(screen.find("[ Yes ]   < No >"), std::string::npos);

    pty.Type("y");
    pty.WaitFor("Yes cannot be pressed yet.");
    pty.Type("1");  // greyed
    pty.WaitFor("That question cannot be ticked.");
    pty.Type("3");
    const std::string ticked = pty.WaitFor("3 [x]");
    EXPECT_NE(ticked.find("6 [ ]"), std::string::npos);
    pty.Type("6y");
    EXPECT_EQ(Finish(), 6);
}

TEST_F(TerminalFormsTest, EnterPressesTheMarkedButtonWhichStartsOnNo) {
    Start([this] { return AskSimple(platform, "Send to everyone?", false); });
    pty.WaitFor("< No >");
    pty.Type("\r");
    EXPECT_EQ(Finish(), 7);

    Start([this] { return AskSimple(platform, "Send to everyone?", false); });
    pty.WaitFor("< No >");
    pty.Type("\x1b[D");  // left arrow
    pty.WaitFor("< Yes >");
    pty.Type("\r");
    EXPECT_EQ(Finish(), 6);
}

TEST_F(TerminalFormsTest, EscapeCtrlCAndNAnswerNo) {
    for (const std::string keys : {"\x1b", "\x03", "n", "q"}) {
        Start([this] { return AskSimple(platform, "Blank subject?", false); });
        pty.WaitFor("Blank subject?");
        pty.Type(keys);
        EXPECT_EQ(Finish(), 7) << static_cast<int>(keys[0]);
    }
}

TEST_F(TerminalFormsTest, ManualModalWaitTakesKeysBetweenPasses) {
    Start([this] { return AskSimple(platform, "Any send?", true); });
    pty.WaitFor("Any send?");
    pty.Type("y");
    EXPECT_EQ(Finish(), 6);
    Start([this] { return AskMulti(platform, {true, false, false, false, false, false}, true); });
    pty.WaitFor("1 [ ]");
    pty.Type("\x1b");
    EXPECT_EQ(Finish(), 7);
}

TEST_F(TerminalFormsTest, TheTerminalIsGivenBackAsItWas) {
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    Start([this] { return AskSimple(platform, "Send?", false); });
    pty.WaitFor("Send?");
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
    EXPECT_FALSE(during.c_lflag & ICANON);
    EXPECT_FALSE(during.c_lflag & ECHO);
    pty.Type("n");
    EXPECT_EQ(Finish(), 7);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    const std::string output = pty.Drained();
    EXPECT_EQ(output.substr(0, 8), "\x1b[?1049h");
    EXPECT_EQ(output.substr(output.size() - 8), "\x1b[?1049l");
}

TEST_F(TerminalFormsTest, AHungUpTerminalAnswersNo) {
    Start([this] { return AskSimple(platform, "Send?", true); });
    pty.WaitFor("Send?");
    pty.CloseMaster();
    EXPECT_EQ(Finish(), 7);
}

TEST_F(TerminalFormsTest, AFailureIsShownInAMessageBoxUntilAKey) {
    Start([this] {
        platform.windows->MessageBox("Error occurred.  Reason: x Error Number: {5}",
                                     "Postwarden.Ask");
        return 0;
    });
    const std::string screen = pty.WaitFor("Error Number: {5}");
    EXPECT_NE(screen.find("+- Postwarden.Ask -"), std::string::npos);
    pty.Type("\r");
    EXPECT_EQ(Finish(), 0);
}

TEST(TerminalDrawing, FitsEightyByTwentyFourWhateverTheQuestions) {
    struct : WindowEvents {
        void Click(std::string_view) override {}
        void CloseRequested() override {}
    } none;
    TerminalWindowSystem terminal("/nonexistent");
    auto created = terminal.CreateWindow(frmYesNoPrompt::Design(), none);
    auto* window = dynamic_cast<ModelWindow*>(created.get());
    ASSERT_NE(window, nullptr);
    const std::string longQuestion(400, 'x');
    window->SetControlCaption("chkValidateKeywords", longQuestion);
    window->SetControlCaption("chkValidateAnySend", "Wide \xe5\x8f\x91\xe9\x80\x81 text?");
    window->SetControlCaption("chkValidateBlankSubject", "Clears\x1b[2J the\r\nscreen\x07?");
    window->SetCaption(std::string(200, 'T'));
    const auto screen = TerminalWindowSystem::Draw(*window, "cmdNo", "A hint.", 80, 24);
    EXPECT_LE(screen.size(), 24u);
    for (const auto& line : screen) {
        const std::string text = TerminalWindowSystem::PlainText(line);
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
        EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
        EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    }
    std::string all;
    for (const auto& line : screen) all += TerminalWindowSystem::PlainText(line) + "\n";
    EXPECT_NE(all.find("xxx..."), std::string::npos) << all;           // cut, and says so
    EXPECT_NE(all.find("Clears [2J the"), std::string::npos) << all;   // ESC shown as a space
    EXPECT_NE(all.find("       screen ?"), std::string::npos) << all;  // the line break kept
    // Every line is exactly as wide as the box (the wide characters count twice).
    for (size_t i = 0; i + 1 < screen.size(); ++i) {
        const std::string text = TerminalWindowSystem::PlainText(screen[i]);
        if (text.find("Wide") != std::string::npos) {
            EXPECT_EQ(text.size(), 80u + 6u - 4u) << text;  // two 3-byte glyphs, 2 columns each
        } else if (text[0] == '|' || text[0] == '+') {
            EXPECT_EQ(text.size(), 80u) << text;
        }
    }
}

TEST(TerminalAvailability, OnlyATerminalWillDo) {
    Pty pty;
    EXPECT_TRUE(TerminalWindowSystem::Available(pty.path()));
    EXPECT_FALSE(TerminalWindowSystem::Available("/dev/null"));
    EXPECT_FALSE(TerminalWindowSystem::Available("/nonexistent/tty"));
}

}  // namespace
}  // namespace postwarden
