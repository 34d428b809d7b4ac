#pragma once

#include <QDialog>
#include <QScrollArea>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/WindowSystem.h"
#include "platform/windows/QtWrapping.h"

namespace postwarden {

class QtWindow;

// The dialog of a QtWindow, which tells it what the person does to it.
class FormDialog final : public QDialog {
  public:
    explicit FormDialog(QtWindow& owner);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    QtWindow& owner_;
};

// A form as a Qt dialog: its controls placed as the design says, in pixels
// from its twips, its font sized for 96 dots per inch. `design` and `events`
// must outlive the window.
class QtWindow final : public Window {
  public:
    QtWindow(const FormDesign& design, WindowEvents& events);
    ~QtWindow() override = default;

    void SetCaption(std::string_view text) override { dialog_->setWindowTitle(ToQt(text)); }
    void SetControlCaption(std::string_view control, std::string_view text) override;
    std::string ControlCaption(std::string_view control) override;
    void SetEnabled(std::string_view control, bool enabled) override {
        Control(control).widget->setEnabled(enabled);
    }
    bool Enabled(std::string_view control) override { return Control(control).widget->isEnabled(); }
    int32_t CheckValue(std::string_view control) override;
    void SetCheckValue(std::string_view control, int32_t value) override;
    void SetDefaultButton(std::string_view control) override;
    // A framed label between the design's controls and its push buttons, the
    // buttons and the window's bottom moved down by its height. Long lines
    // wrap; where the window would grow past the screen, the label scrolls.
    void SetDetails(const std::vector<std::string>& lines) override;
    void ShowModal() override;
    void ShowModeless() override;
    void Activate() override;
    void Unload() override;
    bool Loaded() override { return !unloaded_ && dialog_; }

    // The person closed the window (close box, Escape) or it went away.
    void ClosedByPerson();
    // Presses the push button whose access key is `key`; false when none did.
    bool PressAccessKey(char key);
    void FocusFirstControl();
    QDialog& dialog() { return *dialog_; }

  private:
    // Leaves the window's place on the screen to the window system, as for any
    // new window: Qt would centre a dialog that has no parent.
    void LeavePlacementToWindowSystem();

    struct Item {
        const ControlDesign* design;
        QWidget* widget;
    };
    Item& Control(std::string_view name);

    WindowEvents& events_;
    const FormDesign& design_;
    std::unique_ptr<FormDialog> dialog_;
    std::vector<Item> items_;  // in design order
    // Made by the first SetDetails: the area owned by the dialog, the label by the area.
    QScrollArea* detailsArea_ = nullptr;
    QLabel* details_ = nullptr;
    bool unloaded_ = false;
};

}  // namespace postwarden
