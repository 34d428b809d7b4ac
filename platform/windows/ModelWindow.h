#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/WindowSystem.h"

namespace postwarden {

// What a window showed at one moment: enough to tell which question was asked
// and which boxes could be ticked.
struct ShownControl {
    std::string name;
    ControlKind kind;
    std::string caption;
    bool enabled = true;
    int32_t checkValue = kUnchecked;
};

struct ShownWindow {
    std::string form;     // the design's name, e.g. "frmYesNoPrompt"
    std::string caption;  // the window's caption
    bool modal = false;
    std::string defaultButton;
    std::vector<ShownControl> controls;  // in design order
    std::vector<std::string> details;    // under the questions, as given

    // The control named `name`; throws std::out_of_range when there is none.
    const ShownControl& Control(std::string_view name) const;
};

// A window that keeps its controls' state in memory, for window systems that
// draw it themselves (the terminal) or only pretend to (scripted answers, test
// fakes). The state starts as the design has it. The person's actions go through
// Press() and RequestClose(), so they reach the form's logic the same way a
// click does.
class ModelWindow : public Window {
  public:
    // `design` and `events` must outlive the window.
    ModelWindow(const FormDesign& design, WindowEvents& events);

    void SetCaption(std::string_view text) override;
    void SetControlCaption(std::string_view control, std::string_view text) override;
    std::string ControlCaption(std::string_view control) override;
    void SetEnabled(std::string_view control, bool enabled) override;
    bool Enabled(std::string_view control) override;
    int32_t CheckValue(std::string_view control) override;
    void SetCheckValue(std::string_view control, int32_t value) override;
    void SetDefaultButton(std::string_view control) override;
    void SetDetails(const std::vector<std::string>& lines) override { details_ = lines; }
    void Unload() override;
    bool Loaded() override { return loaded_; }

    // What a person's click on `control` does: nothing when the window is not
    // loaded or the control is disabled, a frame or a label; a check box toggles
    // and then reports its Click; a push button reports its Click. Returns
    // whether the click reached the form.
    bool Press(std::string_view control);
    // A Yes as a person gives it on either form: every box that is still
    // unticked and may be ticked is ticked, then Yes is pressed.
    void TickAllAndPressYes();
    // Closing the window without a button: tells the form, then unloads.
    void RequestClose();

    ShownWindow Snapshot(bool modal) const;
    const FormDesign& design() const { return design_; }
    const std::string& caption() const { return caption_; }
    const std::string& defaultButton() const { return defaultButton_; }
    // The state of every control, in design order.
    const std::vector<ShownControl>& controls() const { return controls_; }
    const std::vector<std::string>& details() const { return details_; }

  protected:
    WindowEvents& events() { return events_; }

  private:
    // Throws "Invalid procedure call or argument" for a name not in the design.
    ShownControl& At(std::string_view control);

    const FormDesign& design_;
    WindowEvents& events_;
    std::string caption_;
    std::string defaultButton_;
    std::vector<ShownControl> controls_;
    std::vector<std::string> details_;
    bool loaded_ = true;
};

// The caption without its access-key marks ("&Yes" -> "Yes", "R&&D" -> "R&D").
std::string WithoutAccessKeys(std::string_view caption);
// The access key of a caption, lower case, or 0 when it has none.
char AccessKey(std::string_view caption);

}  // namespace postwarden
