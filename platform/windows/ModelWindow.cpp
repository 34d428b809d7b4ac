#include "platform/windows/ModelWindow.h"

#include <cctype>
#include <stdexcept>

#include "util/RuntimeError.h"

namespace postwarden {

const ShownControl& ShownWindow::Control(std::string_view name) const {
    for (const ShownControl& control : controls) {
        if (control.name == name) return control;
    }
    throw std::out_of_range("no control " + std::string(name) + " in " + form);
}

ModelWindow::ModelWindow(const FormDesign& design, WindowEvents& events)
    : design_(design), events_(events), caption_(design.caption) {
    controls_.reserve(design.controls.size());
    for (const ControlDesign& control : design.controls) {
        controls_.push_back({control.name, control.kind, control.caption, true, kUnchecked});
    }
}

ShownControl& ModelWindow::At(std::string_view control) {
    for (ShownControl& shown : controls_) {
        if (shown.name == control) return shown;
    }
    throw errors::InvalidCall();
}

void ModelWindow::SetCaption(std::string_view text) {
    caption_ = text;
}

void ModelWindow::SetControlCaption(std::string_view control, std::string_view text) {
    At(control).caption = text;
}

std::string ModelWindow::ControlCaption(std::string_view control) {
    return At(control).caption;
}

void ModelWindow::SetEnabled(std::string_view control, bool enabled) {
    At(control).enabled = enabled;
}

bool ModelWindow::Enabled(std::string_view control) {
    return At(control).enabled;
}

int32_t ModelWindow::CheckValue(std::string_view control) {
    return At(control).checkValue;
}

void ModelWindow::SetCheckValue(std::string_view control, int32_t value) {
    At(control).checkValue = value;
}

void ModelWindow::SetDefaultButton(std::string_view control) {
    At(control);
    defaultButton_ = control;
}

void ModelWindow::Unload() {
    loaded_ = false;
}

void ModelWindow::TickAllAndPressYes() {
    // Names first: a click may change the controls being walked.
    std::vector<std::string> boxes;
    for (const ShownControl& control : controls_) {
        if (control.kind == ControlKind::kCheckBox && control.enabled &&
            control.checkValue == kUnchecked) {
            boxes.push_back(control.name);
        }
    }
    for (const std::string& box : boxes) Press(box);
    Press("cmdYes");
}

bool ModelWindow::Press(std::string_view control) {
    if (!loaded_) return false;
    ShownControl& shown = At(control);
    if (!shown.enabled) return false;
    switch (shown.kind) {
        case ControlKind::kCheckBox:
            shown.checkValue = shown.checkValue == kUnchecked ? kChecked : kUnchecked;
            break;
        case ControlKind::kPushButton:
            break;
        case ControlKind::kFrame:
        case ControlKind::kLabel:
            return false;
    }
    events_.Click(control);
    return true;
}

void ModelWindow::RequestClose() {
    if (!loaded_) return;
    events_.CloseRequested();
    Unload();
}

ShownWindow ModelWindow::Snapshot(bool modal) const {
    return ShownWindow{design_.name, caption_, modal, defaultButton_, controls_, details_};
}

std::string WithoutAccessKeys(std::string_view caption) {
    std::string text;
    text.reserve(caption.size());
    for (size_t i = 0; i < caption.size(); ++i) {
        // "&x" shows x (underlined where a toolkit can), "&&" shows "&".
        if (caption[i] == '&') {
            if (++i == caption.size()) break;
        }
        text += caption[i];
    }
    return text;
}

char AccessKey(std::string_view caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;
            continue;
        }
        return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
    }
    return 0;
}

}  // namespace postwarden
