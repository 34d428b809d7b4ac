#include "platform/windows/ChooseWindowSystem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QImage>
#include <QtGlobal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/LinuxPlatform.h"
#include "platform/UniqueFd.h"
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/OnDemandWindowSystem.h"
#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalWindowSystem.h"
#include "platform/windows/WindowPlugin.h"
#include "tests/TempFolder.h"
#include "tests/prompts/FormTestSupport.h"
#include "util/RuntimeError.h"

namespace postwarden::testing {
namespace {

// Each test starts with no display named and gets the environment back afterwards
// (the runtime folder too, which one test changes).
class DisplayTest : public ::testing::Test {
  protected:
    DisplayTest() {
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"}) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            Set(name, std::nullopt);
        }
    }
    ~DisplayTest() override {
        for (const auto& [name, value] : saved_) Set(name.c_str(), value);
    }
    static void Set(const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A listening Unix socket, at a path or (abstract) in Linux's abstract namespace.
class Listener {
  public:
    Listener(const std::string& name, bool abstractName) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const size_t offset = abstractName ? 1 : 0;
        std::memcpy(address.sun_path + offset, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                   name.size() + (abstractName ? 0 : 1));
        if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_.Get(), 4) != 0) {
            ADD_FAILURE() << "cannot listen on " << name;
        }
        if (!abstractName) path_ = name;
    }
    ~Listener() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }

  private:
    UniqueFd fd_;
    std::string path_;
};

TEST_F(DisplayTest, AnswersGiveScriptedWindowsAPlatformThatShowsNothingGivesNone) {
    WindowSystemChoice scripted = ChooseWindowSystemExplained("yes,no");
    EXPECT_NE(dynamic_cast<ScriptedWindowSystem*>(scripted.windows.get()), nullptr);
    EXPECT_EQ(scripted.why, "scripted answers: yes,no");
    EXPECT_THROW(ChooseWindowSystem("yes,perhaps"), std::invalid_argument);
    // A platform that draws nowhere is no display: its window would wait unseen.
    for (const char* platform : {"offscreen", "minimal:x", "offscreen;xcb"}) {
        Set("QT_QPA_PLATFORM", platform);
        WindowSystemChoice none = ChooseWindowSystemExplained("");
        EXPECT_EQ(dynamic_cast<OnDemandWindowSystem*>(none.windows.get()), nullptr) << platform;
        EXPECT_NE(none.why.find("shows nothing"), std::string::npos) << none.why;
    }
}

TEST_F(DisplayTest, WithoutADisplayTheTerminalOrNothing) {
    if (QCoreApplication::instance()) GTEST_SKIP() << "a Qt application already runs here";
    Set("DISPLAY", ":9871");  // set, but nothing listens
    EXPECT_FALSE(QtWindowSystem::Available());
    // Qt would end the process on a display that is not there; the window
    // system refuses instead, so that the forms take their failure path.
    NoEvents none;
    QtWindowSystem qt;
    EXPECT_THROW(qt.CreateWindow(frmSimpleYesNoPrompt::Design(), none), RuntimeError);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    const WindowSystemChoice chosen = ChooseWindowSystemExplained("");
    // Which of the two depends on where the test runs; the reach tests tell them apart.
    if (auto* nobody = dynamic_cast<NoWindowSystem*>(chosen.windows.get())) {
        EXPECT_EQ(RefusalOf(*nobody), chosen.why);
        EXPECT_TRUE(
            chosen.why.starts_with("nobody can be asked: no display answers (DISPLAY=:9871); "))
            << chosen.why;
    } else {
        EXPECT_NE(dynamic_cast<TerminalWindowSystem*>(chosen.windows.get()), nullptr);
        EXPECT_TRUE(chosen.why.starts_with("terminal ")) << chosen.why;
    }
}

TEST_F(DisplayTest, ADisplayGetsQtWhenTheFirstWindowIsShownOrTheFallbackWithTheReason) {
    Listener x("/tmp/.X11-unix/X9873", true);
    Set("DISPLAY", ":9873");
    WindowSystemChoice chosen = ChooseWindowSystemExplained("");
    EXPECT_EQ(chosen.why, "Qt on display :9873");
    auto* onDemand = dynamic_cast<OnDemandWindowSystem*>(chosen.windows.get());
    ASSERT_NE(onDemand, nullptr);
    EXPECT_FALSE(onDemand->Made());
    // This test program's folder has no window plugin: as if no display answered.
    WindowSystem& used = onDemand->Ready();
    EXPECT_TRUE(onDemand->Failure().starts_with("the window plugin libpostwarden-qt.so is not in "))
        << onDemand->Failure();
    if (auto* nobody = dynamic_cast<NoWindowSystem*>(&used)) {
        EXPECT_TRUE(RefusalOf(*nobody).starts_with(
            "nobody can be asked: no windows on display :9873 (the window plugin "))
            << RefusalOf(*nobody);
    } else {
        EXPECT_NE(dynamic_cast<TerminalWindowSystem*>(&used), nullptr);
    }
}

TEST_F(DisplayTest, TheXDisplaysSocketIsTriedLocallyOrOverTcp) {
    EXPECT_FALSE(X11DisplayReachable());
    Set("DISPLAY", ":9871.0");
    EXPECT_FALSE(X11DisplayReachable());
    {
        Listener x("/tmp/.X11-unix/X9871", true);
        EXPECT_TRUE(X11DisplayReachable());
        Set("DISPLAY", "unix:9871");
        EXPECT_TRUE(X11DisplayReachable());
    }
    Set("DISPLAY", "not a display");
    EXPECT_FALSE(X11DisplayReachable());

    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int number = 3400;
    for (; number < 3500; ++number) {
        address.sin_port = htons(static_cast<uint16_t>(6000 + number));
        if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    }
    ASSERT_LT(number, 3500);
    Set("DISPLAY", "127.0.0.1:" + std::to_string(number));
    EXPECT_FALSE(X11DisplayReachable());  // bound, not yet listening
    ASSERT_EQ(::listen(fd.Get(), 4), 0);
    EXPECT_TRUE(X11DisplayReachable());
}

TEST_F(DisplayTest, TheWaylandSocketIsTried) {
    const std::string runtime = ::testing::TempDir();
    Set("XDG_RUNTIME_DIR", runtime);
    Set("WAYLAND_DISPLAY", "pw-wayland-test");
    EXPECT_FALSE(WaylandDisplayReachable());
    Listener wayland(runtime + "/pw-wayland-test", false);
    EXPECT_TRUE(WaylandDisplayReachable());
    Set("WAYLAND_DISPLAY", runtime + "/pw-wayland-test");
    EXPECT_TRUE(WaylandDisplayReachable());
    Set("XDG_RUNTIME_DIR", std::nullopt);
    Set("WAYLAND_DISPLAY", "pw-wayland-test");
    EXPECT_FALSE(WaylandDisplayReachable());
}

// The Qt windows as a plugin: made only when a window is wanted, and a plugin
// that cannot be had stands aside for the fallback with its reason.
// Counts what an OnDemandWindowSystem asks for; each window system it makes
// refuses windows with a text that says which one it is.
struct Counted {
    int made = 0;
    int fellBack = 0;
    std::string fallbackReason;

    OnDemandWindowSystem Windows(bool works) {
        return OnDemandWindowSystem(
            [this, works](std::string& failure) -> std::unique_ptr<WindowSystem> {
                ++made;
                if (works) return std::make_unique<NoWindowSystem>("made");
                failure = "the plugin is gone";
                return nullptr;
            },
            [this](const std::string& failure) {
                ++fellBack;
                fallbackReason = failure;
                return std::make_unique<NoWindowSystem>("fallback");
            });
    }
};

TEST(OnDemandWindowSystemTest, MadeOnceWhenFirstWantedOrTheFallbackWithItsReason) {
    Counted counted;
    OnDemandWindowSystem windows = counted.Windows(true);
    windows.ProcessPendingEvents();
    EXPECT_FALSE(windows.Made());
    EXPECT_EQ(counted.made, 0);
    EXPECT_EQ(RefusalOf(windows), "made");
    EXPECT_EQ(RefusalOf(windows), "made");
    windows.MessageBox("text", "title");
    EXPECT_EQ(counted.made, 1);  // once, however often it is used
    EXPECT_EQ(counted.fellBack, 0);
    EXPECT_EQ(windows.Failure(), "");

    Counted boxFirst;
    OnDemandWindowSystem box = boxFirst.Windows(true);
    box.MessageBox("text", "title");
    EXPECT_TRUE(box.Made());

    Counted failing;
    OnDemandWindowSystem fallback = failing.Windows(false);
    EXPECT_EQ(RefusalOf(fallback), "fallback");
    EXPECT_EQ(RefusalOf(fallback), "fallback");
    EXPECT_EQ(failing.made, 1);  // not tried again for every window
    EXPECT_EQ(failing.fellBack, 1);
    EXPECT_EQ(failing.fallbackReason, "the plugin is gone");
    EXPECT_EQ(fallback.Failure(), "the plugin is gone");
}

TEST(WindowPluginTest, TheBuiltPluginDrawsTheForms) {
    // The test runs under QT_QPA_PLATFORM=offscreen.
    std::string failure;
    std::unique_ptr<PluginWindowSystem> windows =
        LoadQtWindowSystem(failure, POSTWARDEN_BINARY_DIR "/libpostwarden-qt.so");
    ASSERT_NE(windows, nullptr) << failure;
    NoEvents none;
    auto window = windows->CreateWindow(frmYesNoPrompt::Design(), none);
    const std::string path = ::testing::TempDir() + "/plugin-frmYesNoPrompt.png";
    windows->SavePng(*window, path);
    const QImage image(QString::fromStdString(path));  // the window under a title bar
    EXPECT_EQ(image.width(), 367);
    EXPECT_GT(image.height(), 276);
    // Its errors are this program's errors, though its code is a copy of its own.
    EXPECT_THROW(windows->SavePng(*window, "/nonexistent/folder/x.png"), RuntimeError);
}

// Qt's own messages (such as the warning of a session without
// XDG_RUNTIME_DIR) go into the log of the platform that stands, never to
// standard error, where a mail client shows them to the person.
TEST(WindowPluginTest, QtsOwnMessagesGoToTheLog) {
    const TempFolder home;
    std::string failure;
    const std::unique_ptr<PluginWindowSystem> windows =
        LoadQtWindowSystem(failure, POSTWARDEN_BINARY_DIR "/libpostwarden-qt.so");
    ASSERT_NE(windows, nullptr) << failure;
    {
        LinuxPlatform platform(
            {home.Path() + "/postwarden.log", home.Path() + "/registry.db", home.Path() + "/mail"},
            std::make_unique<NoWindowSystem>());
        ::testing::internal::CaptureStderr();
        qWarning("QStandardPaths: XDG_RUNTIME_DIR not set");
        qDebug("a line for developers");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
    const std::string log = ReadFile(home.Path() + "/postwarden.log");
    EXPECT_THAT(log, ::testing::HasSubstr("\tevent\t1\t\tQt\tQStandardPaths: XDG_RUNTIME_DIR "
                                          "not set\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("\tevent\t0\t\tQt\ta line for developers\n"));
    // With no platform left, a message has nowhere else to go.
    ::testing::internal::CaptureStderr();
    qWarning("no log now");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "no log now\n");
}

// Scripted answers, as tests and scripts give them instead of a person.
using Answer = ScriptedWindowSystem::Answer;

TEST(ScriptedAnswersText, ParsesWordsInOrderAndRejectsOthersByName) {
    const struct {
        const char* text;
        std::vector<Answer> answers;  // empty: refused, naming `refused`
        const char* refused;
    } cases[] = {
        {"yes,no,close", {Answer::kYes, Answer::kNo, Answer::kClose}, ""},
        {" Yes , NO,close ", {Answer::kYes, Answer::kNo, Answer::kClose}, ""},
        {"", {}, "an empty answer"},
        {"yes,,no", {}, "an empty answer"},
        {"yes,", {}, "an empty answer"},
        {"y", {}, "\"y\""},
        {"yes;no", {}, "\"yes;no\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            EXPECT_EQ(ScriptedWindowSystem::ParseAnswers(c.text), c.answers);
            EXPECT_FALSE(c.answers.empty()) << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.refused), std::string::npos) << error.what();
            EXPECT_TRUE(c.answers.empty()) << "refused";
        }
    }
}

class ScriptedFormsTest : public FormsTest {
  protected:
    ScriptedWindowSystem& Use(std::vector<Answer> answers) {
        auto windows = std::make_unique<ScriptedWindowSystem>(std::move(answers));
        ScriptedWindowSystem& system = *windows;
        platform.windows = std::move(windows);
        return system;
    }
};

TEST_F(ScriptedFormsTest, AnswersAreUsedInOrderTheLastRepeatsAndNoneCloses) {
    ScriptedWindowSystem& windows = Use({Answer::kNo, Answer::kYes, Answer::kClose, Answer::kYes});
    ThreadGlobals().KeywordsViolated = true;
    ThreadGlobals().AnySendViolated = true;
    EXPECT_EQ(AskSimple(platform, "First?"), 7);
    EXPECT_EQ(AskSimple(platform, "Second?", true), 6);
    EXPECT_EQ(AskMulti(platform), 7);
    EXPECT_EQ(AskMulti(platform), 6);  // Yes ticks the enabled boxes through the form's clicks
    EXPECT_EQ(AskSimple(platform, "Fifth?"), 6);
    ASSERT_EQ(windows.shown().size(), 5u);
    EXPECT_EQ(windows.shown()[1].form, "frmSimpleYesNoPrompt");
    EXPECT_FALSE(windows.shown()[1].modal);
    EXPECT_EQ(windows.shown()[1].Control("lblConfirmationMessage").caption, "Second?");
    const ShownWindow& multi = windows.shown()[3];
    EXPECT_EQ(multi.form, "frmYesNoPrompt");
    EXPECT_EQ(multi.caption, "Post Warden");
    EXPECT_TRUE(multi.modal);
    EXPECT_TRUE(multi.Control("chkValidateKeywords").enabled);
    EXPECT_TRUE(multi.Control("chkValidateAnySend").enabled);
    EXPECT_FALSE(multi.Control("chkValidateOutsideDomains").enabled);
    EXPECT_FALSE(multi.Control("cmdYes").enabled);  // recorded as shown, before the ticks
    Use({});
    EXPECT_EQ(AskSimple(platform, "Send?"), 7);
    EXPECT_EQ(AskMulti(platform, true), 7);
}

// Records what reaches the form's logic.
struct RecordingEvents final : WindowEvents {
    std::vector<std::string> clicks;
    int closes = 0;
    void Click(std::string_view control) override { clicks.emplace_back(control); }
    void CloseRequested() override { ++closes; }
};

TEST(ScriptedWindows, AYesThatStaysDisabledClosesTheWindowInstead) {
    ScriptedWindowSystem scripted({Answer::kYes});
    RecordingEvents events;  // never enables Yes, whatever is ticked
    auto window = scripted.CreateWindow(frmYesNoPrompt::Design(), events);
    window->SetEnabled("cmdYes", false);
    window->SetEnabled("chkValidateKeywords", false);
    window->ShowModal();
    EXPECT_FALSE(window->Loaded());
    EXPECT_EQ(events.clicks.size(), 9u);  // the nine enabled boxes, not Yes
    EXPECT_EQ(events.closes, 1);
    EXPECT_EQ(window->CheckValue("chkValidateKeywords"), kUnchecked);
    EXPECT_EQ(window->CheckValue("chkValidateAnySend"), kChecked);
}

TEST(ScriptedWindows, ModelessWindowsAreAnsweredOnTheNextPassUnlessDestroyed) {
    ScriptedWindowSystem scripted({Answer::kNo});
    RecordingEvents events, gone;
    auto window = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    auto destroyed = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), gone);
    window->ShowModeless();
    destroyed->ShowModeless();
    destroyed.reset();
    EXPECT_TRUE(events.clicks.empty());
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks, std::vector<std::string>{"cmdNo"});
    EXPECT_EQ(events.closes, 1);  // the form did not unload it on No
    EXPECT_TRUE(gone.clicks.empty());
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks.size(), 1u);
}

TEST(ScriptedWindows, AModelessShowWhileAModalOneIsOpenIsRefusedWith401) {
    // A modal show is answered inside ShowModal; a rule that prompts from
    // inside it (another send) finds a modal window open.
    ScriptedWindowSystem scripted({Answer::kYes});
    struct Nested final : WindowEvents {
        Window* other = nullptr;
        int refused = 0;
        void Click(std::string_view) override {
            try {
                other->ShowModeless();
            } catch (const RuntimeError& error) {
                if (error.Number() == errors::kModalFormDisplayed) ++refused;
            }
        }
        void CloseRequested() override {}
    } events;
    auto modal = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    auto other = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    events.other = other.get();
    modal->ShowModal();
    EXPECT_EQ(events.refused, 1);
    EXPECT_NO_THROW(other->ShowModeless());
}

}  // namespace
}  // namespace postwarden::testing
