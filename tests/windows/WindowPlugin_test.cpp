// The Qt windows as a plugin: made only when a window is wanted, and a plugin
// that cannot be had stands aside for the fallback with its reason.
#include "platform/windows/WindowPlugin.h"

#include <gtest/gtest.h>

#include <QImage>
#include <string>

#include "module/RuntimeError.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/OnDemandWindowSystem.h"
#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

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

}  // namespace
}  // namespace postwarden::testing
