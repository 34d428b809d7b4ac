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
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalWindowSystem.h"
#include "prompts/frmSimpleYesNoPrompt.h"

namespace postwarden {
namespace {

// Sets environment variables for one test and puts them back afterwards.
class Environment {
  public:
    void Set(const char* name, std::optional<std::string> value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    void NoDisplay() {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            Set(name, std::nullopt);
        }
    }
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A listening Unix socket, at a path or (abstract) in Linux's abstract namespace.
class Listener {
  public:
    Listener(const std::string& name, bool abstractName) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const size_t offset = abstractName ? 1 : 0;
        std::memcpy(address.sun_path + offset, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                                   name.size() + (abstractName ? 0 : 1));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 4) != 0) {
            ADD_FAILURE() << "cannot listen on " << name;
        }
        if (!abstractName) path_ = name;
    }
    ~Listener() {
        ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

  private:
    int fd_;
    std::string path_;
};

TEST(ChooseWindowSystem, AnswersGiveScriptedWindows) {
    EXPECT_NE(dynamic_cast<ScriptedWindowSystem*>(ChooseWindowSystem("yes,no").get()), nullptr);
    EXPECT_THROW(ChooseWindowSystem("yes,perhaps"), std::invalid_argument);
}

TEST(ChooseWindowSystem, AChosenQtPlatformGivesQtWindows) {
    Environment environment;
    environment.NoDisplay();
    environment.Set("QT_QPA_PLATFORM", "offscreen");
    EXPECT_NE(dynamic_cast<QtWindowSystem*>(ChooseWindowSystem("").get()), nullptr);
}

TEST(ChooseWindowSystem, WithoutADisplayTheTerminalOrNothing) {
    if (QCoreApplication::instance()) GTEST_SKIP() << "a Qt application already runs here";
    Environment environment;
    environment.NoDisplay();
    environment.Set("DISPLAY", ":9871");  // set, but nothing listens
    EXPECT_FALSE(QtWindowSystem::Available());
    // Qt would end the process on a display that is not there; the window
    // system refuses instead, so that the forms take their failure path.
    struct : WindowEvents {
        void Click(std::string_view) override {}
        void CloseRequested() override {}
    } none;
    QtWindowSystem qt;
    EXPECT_THROW(qt.CreateWindow(frmSimpleYesNoPrompt::Design(), none), RuntimeError);
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
    const auto chosen = ChooseWindowSystem("");
    if (TerminalWindowSystem::Available()) {
        EXPECT_NE(dynamic_cast<TerminalWindowSystem*>(chosen.get()), nullptr);
    } else {
        EXPECT_NE(dynamic_cast<NoWindowSystem*>(chosen.get()), nullptr);
    }
}

TEST(DisplayProbe, TriesTheXDisplaysSocket) {
    Environment environment;
    environment.NoDisplay();
    EXPECT_FALSE(X11DisplayReachable());
    environment.Set("DISPLAY", ":9871.0");
    EXPECT_FALSE(X11DisplayReachable());
    {
        Listener x("/tmp/.X11-unix/X9871", true);
        EXPECT_TRUE(X11DisplayReachable());
        environment.Set("DISPLAY", "unix:9871");
        EXPECT_TRUE(X11DisplayReachable());
    }
    environment.Set("DISPLAY", "not a display");
    EXPECT_FALSE(X11DisplayReachable());
}

TEST(DisplayProbe, TriesTheWaylandSocket) {
    Environment environment;
    environment.NoDisplay();
    const std::string runtime = ::testing::TempDir();
    environment.Set("XDG_RUNTIME_DIR", runtime);
    environment.Set("WAYLAND_DISPLAY", "pw-wayland-test");
    EXPECT_FALSE(WaylandDisplayReachable());
    Listener wayland(runtime + "/pw-wayland-test", false);
    EXPECT_TRUE(WaylandDisplayReachable());
    environment.Set("WAYLAND_DISPLAY", runtime + "/pw-wayland-test");
    EXPECT_TRUE(WaylandDisplayReachable());
    environment.Set("XDG_RUNTIME_DIR", std::nullopt);
    environment.Set("WAYLAND_DISPLAY", "pw-wayland-test");
    EXPECT_FALSE(WaylandDisplayReachable());
}

TEST(DisplayProbe, ARemoteXDisplayIsTriedOverTcp) {
    Environment environment;
    environment.NoDisplay();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int number = -1;
    for (int candidate = 3400; candidate < 3500 && number < 0; ++candidate) {
        address.sin_port = htons(static_cast<uint16_t>(6000 + candidate));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            number = candidate;
        }
    }
    ASSERT_GE(number, 0);
    environment.Set("DISPLAY", "127.0.0.1:" + std::to_string(number));
    EXPECT_FALSE(X11DisplayReachable());  // bound, not yet listening
    ASSERT_EQ(::listen(fd, 4), 0);
    EXPECT_TRUE(X11DisplayReachable());
    ::close(fd);
}

}  // namespace
}  // namespace postwarden
