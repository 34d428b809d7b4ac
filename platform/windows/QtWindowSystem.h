#pragma once

#include <string>

#include "platform/windows/WindowPlugin.h"

namespace postwarden {

// Real windows on the desktop, built with Qt Widgets from the forms' designs
// (15 twips to a pixel). The application object is created when the first
// window or message box is needed, so a run that shows nothing never connects to
// the display; one that already exists (a Qt host, a test) is used as it is.
//
// Closing a window by its close box or by Escape is reported as
// WindowEvents::CloseRequested. Y and N press Yes and No (also with Alt); Enter
// presses the default button unless another push button has the focus.
class QtWindowSystem final : public PluginWindowSystem {
  public:
    QtWindowSystem();
    ~QtWindowSystem() override;

    // Whether windows can be shown: QT_QPA_PLATFORM names a platform, or a
    // display accepts a connection (Wayland only where Qt has its plugin).
    // Qt itself ends the process when its display is missing, so no window is
    // tried without this.
    static bool Available();
    // Where the windows would go, in words ("display :0", "Wayland display
    // wayland-0", "platform offscreen"); empty when !Available().
    static std::string Where();

    // Throws "Can't create object" (429) when no Qt application can be made, for
    // instance when nothing is Available().
    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    // Handles the waiting events; when there are none, sleeps until one arrives
    // or a twentieth of a second has passed, so that a wait loop does not spin.
    void ProcessPendingEvents() override;
    // On standard error when no window can be shown.
    void MessageBox(std::string_view text, std::string_view title) override;

    void SavePng(Window& window, const std::string& path) override;
};

}  // namespace postwarden
