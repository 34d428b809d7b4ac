#include "platform/windows/ChooseWindowSystem.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "module/RuntimeError.h"
#include "platform/UniqueFd.h"
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/OnDemandWindowSystem.h"
#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalWindowSystem.h"
#include "tests/prompts/FormTestSupport.h"

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

}  // namespace
}  // namespace postwarden::testing
