#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

// A form's design: what the window system builds a window from. Lengths are in
// twips (15 twips = 1 pixel at 96 dots per inch).
enum class ControlKind { kFrame, kCheckBox, kLabel, kPushButton };

struct ControlDesign {
    std::string name;  // e.g. "chkValidateKeywords"
    ControlKind kind;
    std::string caption;    // "&" marks the access key
    std::string container;  // name of the enclosing frame, or empty for the form
    int32_t left, top, width, height;
    int32_t tabIndex;
};

struct FormDesign {
    std::string name;  // e.g. "frmYesNoPrompt"
    std::string caption;
    int32_t clientWidth, clientHeight;
    std::string fontName;
    double fontPoints;
    std::vector<ControlDesign> controls;
};

// Check box states.
inline constexpr int32_t kUnchecked = 0;
inline constexpr int32_t kChecked = 1;

// How a window tells the form's logic what the person did. Called on the thread
// that shows the window, from inside ShowModal() or ProcessPendingEvents().
class WindowEvents {
  public:
    virtual ~WindowEvents() = default;
    // A push button was pressed, or a check box changed state (already changed
    // when this is called).
    virtual void Click(std::string_view control) = 0;
    // The window is being closed without a button (close box, Escape, the window
    // system taking it away). The window is unloaded after this returns.
    virtual void CloseRequested() = 0;
};

// A loaded window. Every call may throw RuntimeError.
class Window {
  public:
    virtual ~Window() = default;
    virtual void SetCaption(std::string_view text) = 0;
    virtual void SetControlCaption(std::string_view control, std::string_view text) = 0;
    virtual std::string ControlCaption(std::string_view control) = 0;
    virtual void SetEnabled(std::string_view control, bool enabled) = 0;
    virtual bool Enabled(std::string_view control) = 0;
    virtual int32_t CheckValue(std::string_view control) = 0;
    virtual void SetCheckValue(std::string_view control, int32_t value) = 0;
    // Enter presses this button while no other push button has the focus.
    virtual void SetDefaultButton(std::string_view control) = 0;
    // Shows `lines` under the form's questions, one line of plain text each, in
    // an area the window grows to hold; the controls keep their places, only
    // the push buttons move down below it. Every line is shown whole: one too
    // long for the window goes on under it, and where the window would grow
    // past the screen the area scrolls. Control characters are shown escaped.
    // An empty list takes the area away. A window never given details looks as
    // designed.
    virtual void SetDetails(const std::vector<std::string>& lines) = 0;
    // Shows the window modal; returns once it has been unloaded.
    virtual void ShowModal() = 0;
    // Shows the window without blocking; throws error 401 while a modal window
    // is displayed.
    virtual void ShowModeless() = 0;
    // Makes the window the active window.
    virtual void Activate() = 0;
    // Hides the window and ends a modal show. The object stays valid (it may be
    // called from inside one of its own events); its owner destroys it later.
    virtual void Unload() = 0;
    virtual bool Loaded() = 0;
};

class WindowSystem {
  public:
    virtual ~WindowSystem() = default;
    // Loads a window from `design`; `events` must outlive the window.
    virtual std::unique_ptr<Window> CreateWindow(const FormDesign& design,
                                                 WindowEvents& events) = 0;
    // Handles the window events that are waiting, then returns. When none is
    // waiting it may sleep briefly (a twentieth of a second at most) for one, so
    // that a loop over it does not keep a processor busy.
    virtual void ProcessPendingEvents() = 0;
    // A message box with an OK button and no icon; returns when it is dismissed.
    virtual void MessageBox(std::string_view text, std::string_view title) = 0;
};

}  // namespace postwarden
