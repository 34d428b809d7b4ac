#include "platform/windows/QtWindowSystem.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "module/RuntimeError.h"
#include "platform/TerminalText.h"
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/ModelWindow.h"

namespace postwarden {

namespace {

constexpr int kTwipsPerPixel = 15;
// The designs' fonts are sized for 96 dots per inch, like their twips.
constexpr double kDesignDotsPerInch = 96.0;
// How long one pass of ProcessPendingEvents() may sleep when nothing happens.
constexpr int kIdleWakeMilliseconds = 50;

int Pixels(int32_t twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QString ToQt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool WaylandPluginInstalled() {
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !platforms.entryList({"libqwayland*"}, QDir::Files).isEmpty();
}

// The platform plugin Qt is to start with: empty to leave the choice to
// QT_QPA_PLATFORM, "none" when no display can be reached.
std::string PlatformToUse() {
    if (!Environment("QT_QPA_PLATFORM").empty()) return "";
    if (WaylandDisplayReachable() && WaylandPluginInstalled()) return "wayland";
    if (X11DisplayReachable()) return "xcb";
    return "none";
}

// The process's widget application: the one that exists, else one made now.
// One made here is never destroyed: by the time static objects go at exit, Qt's
// own globals may already be gone, and destroying it then crashes. Windows kept
// in per-thread objects go before that, while it still stands.
QApplication& Application() {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        auto* app = qobject_cast<QApplication*>(existing);
        if (!app) {
            throw RuntimeError(errors::kCannotCreateObject,
                               "Can't create object: the application has no windows");
        }
        return *app;
    }
    // Asked afresh until an application is made: a display may come later.
    const std::string chosen = PlatformToUse();
    if (chosen == "none") {
        throw RuntimeError(errors::kCannotCreateObject,
                           "Can't create object: no display to show a window on");
    }
    // Qt keeps referring to the arguments for as long as the application lives.
    static std::string platform = chosen;
    static char name[] = "postwarden";
    static char option[] = "-platform";
    static char* argv[] = {name, option, platform.data(), nullptr};
    static int argc = platform.empty() ? 1 : 3;
    static QApplication* const app = new QApplication(argc, argv);
    return *app;
}

// The designs name a Windows font; these look alike and are common on Linux.
void SubstituteDesignFonts() {
    static const bool done = [] {
        QFont::insertSubstitutions("Microsoft Sans Serif",
                                   {"Liberation Sans", "Arimo", "Arial", "DejaVu Sans"});
        return true;
    }();
    (void)done;
}

// Draws `text` wrapped at word boundaries within `box`, only as many lines as
// fit whole (a half-cut line reads as a fault), either from the top or centred
// vertically. Returns the rectangle the drawn lines cover.
QRect DrawWrappedText(QPainter& painter, const QRect& box, const QString& text, bool centred) {
    QTextLayout layout(text, painter.font());
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    int whole = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(box.width());
        line.setPosition(QPointF(0, height));
        height += line.height();
        if (height <= box.height()) whole = line.lineNumber() + 1;
    }
    layout.endLayout();
    if (whole == 0) return {};
    const QTextLine last = layout.lineAt(whole - 1);
    const qreal used = last.y() + last.height();
    const QPointF origin(box.left(), box.top() + (centred ? (box.height() - used) / 2 : 0));
    qreal right = 0;
    for (int i = 0; i < whole; ++i) {
        layout.lineAt(i).draw(&painter, origin);
        right = std::max(right, layout.lineAt(i).naturalTextWidth());
    }
    return QRectF(origin, QSizeF(right, used)).toAlignedRect();
}

// Greyed while the widget is disabled.
QColor TextColour(const QWidget& widget) {
    return widget.palette().color(widget.isEnabled() ? QPalette::Active : QPalette::Disabled,
                                  QPalette::WindowText);
}

// A label whose text wraps within its box and loses the lines that do not fit.
class WrappingLabel final : public QLabel {
  public:
    explicit WrappingLabel(QWidget* parent) : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(TextColour(*this));
        DrawWrappedText(painter, contentsRect(), text(), false);
    }
};

// A check box whose caption wraps within the box, as the forms' questions need;
// a plain QCheckBox keeps its text on one line. The caption is drawn as written:
// an "&" in a question is shown, not taken as an access key.
class WrappingCheckBox final : public QCheckBox {
  public:
    explicit WrappingCheckBox(QWidget* parent) : QCheckBox(parent) {}

    void SetCaption(const QString& caption) {
        caption_ = caption;
        setAccessibleName(caption);
        update();
    }
    const QString& Caption() const { return caption_; }

  protected:
    // The whole box, caption included, toggles it.
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        QStyleOptionButton indicator = option;
        indicator.rect = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
        indicator.rect.moveTop((height() - indicator.rect.height()) / 2);
        painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, indicator);

        const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
        const QRect text(indicator.rect.right() + 1 + spacing, 0,
                         width() - indicator.rect.right() - 1 - spacing, height());
        painter.setPen(TextColour(*this));
        const QRect drawn = DrawWrappedText(painter, text, caption_, true);
        if (hasFocus() && !drawn.isEmpty()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = drawn.adjusted(-1, 0, 1, 0) & rect();
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }

  private:
    QString caption_;
};

class QtWindow;

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
    std::unique_ptr<FormDialog> dialog_;
    std::vector<Item> items_;  // in design order
    bool unloaded_ = false;
};

FormDialog::FormDialog(QtWindow& owner)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      owner_(owner) {}

void FormDialog::closeEvent(QCloseEvent* event) {
    owner_.ClosedByPerson();
    event->accept();
}

void FormDialog::reject() {
    owner_.ClosedByPerson();
}

void FormDialog::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if ((modifiers == Qt::NoModifier || modifiers == Qt::AltModifier) &&
        event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z &&
        owner_.PressAccessKey(static_cast<char>('a' + (event->key() - Qt::Key_A)))) {
        return;
    }
    QDialog::keyPressEvent(event);
}

void FormDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    owner_.FocusFirstControl();
}

QtWindow::QtWindow(const FormDesign& design, WindowEvents& events)
    : events_(events), dialog_(std::make_unique<FormDialog>(*this)) {
    QDialog& dialog = *dialog_;
    dialog.setObjectName(ToQt(design.name));
    dialog.setWindowTitle(ToQt(design.caption));
    dialog.setFixedSize(Pixels(design.clientWidth), Pixels(design.clientHeight));
    dialog.setSizeGripEnabled(false);
    QFont font(ToQt(design.fontName));
    font.setPixelSize(static_cast<int>(std::lround(design.fontPoints * kDesignDotsPerInch / 72)));
    dialog.setFont(font);
    dialog.setWindowIcon(dialog.style()->standardIcon(QStyle::SP_MessageBoxQuestion));

    std::map<std::string, QWidget*> containers;
    for (const ControlDesign& control : design.controls) {
        QWidget* parent = &dialog;
        if (!control.container.empty()) {
            auto it = containers.find(control.container);
            if (it == containers.end()) throw errors::InvalidCall();
            parent = it->second;
        }
        QWidget* widget = nullptr;
        const std::string name = control.name;
        switch (control.kind) {
            case ControlKind::kFrame: {
                auto* frame = new QGroupBox(parent);  // owned by its parent
                frame->setTitle(ToQt(control.caption));
                containers[name] = frame;
                widget = frame;
                break;
            }
            case ControlKind::kCheckBox: {
                auto* box = new WrappingCheckBox(parent);
                box->SetCaption(ToQt(control.caption));
                QObject::connect(box, &QCheckBox::clicked, &dialog,
                                 [this, name] { events_.Click(name); });
                widget = box;
                break;
            }
            case ControlKind::kLabel: {
                auto* label = new WrappingLabel(parent);
                label->setText(ToQt(control.caption));
                widget = label;
                break;
            }
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(ToQt(control.caption), parent);
                button->setAutoDefault(true);
                QObject::connect(button, &QPushButton::clicked, &dialog,
                                 [this, name] { events_.Click(name); });
                widget = button;
                break;
            }
        }
        widget->setObjectName(ToQt(name));
        widget->setGeometry(Pixels(control.left), Pixels(control.top), Pixels(control.width),
                            Pixels(control.height));
        items_.push_back({&control, widget});
    }

    // Tab order as designed; frames and labels take no focus.
    std::vector<Item> order;
    for (const Item& item : items_) {
        if (item.widget->focusPolicy() != Qt::NoFocus) order.push_back(item);
    }
    std::stable_sort(order.begin(), order.end(), [](const Item& a, const Item& b) {
        return a.design->tabIndex < b.design->tabIndex;
    });
    for (size_t i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(order[i - 1].widget, order[i].widget);
    }
}

QtWindow::Item& QtWindow::Control(std::string_view name) {
    for (Item& item : items_) {
        if (item.design->name == name) return item;
    }
    throw errors::InvalidCall();
}

void QtWindow::SetControlCaption(std::string_view control, std::string_view text) {
    QWidget* widget = Control(control).widget;
    if (auto* box = dynamic_cast<WrappingCheckBox*>(widget)) {
        box->SetCaption(ToQt(text));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(ToQt(text));
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(ToQt(text));
    } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        frame->setTitle(ToQt(text));
    }
}

std::string QtWindow::ControlCaption(std::string_view control) {
    QWidget* widget = Control(control).widget;
    QString text;
    if (auto* box = dynamic_cast<WrappingCheckBox*>(widget)) {
        text = box->Caption();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        text = label->text();
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        text = button->text();
    } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        text = frame->title();
    }
    return text.toStdString();
}

int32_t QtWindow::CheckValue(std::string_view control) {
    auto* box = qobject_cast<QCheckBox*>(Control(control).widget);
    if (!box) throw errors::NoSuchMember();
    return box->isChecked() ? kChecked : kUnchecked;
}

void QtWindow::SetCheckValue(std::string_view control, int32_t value) {
    auto* box = qobject_cast<QCheckBox*>(Control(control).widget);
    if (!box) throw errors::NoSuchMember();
    box->setChecked(value != kUnchecked);  // no Click: only the person's changes report one
}

void QtWindow::SetDefaultButton(std::string_view control) {
    auto* target = qobject_cast<QPushButton*>(Control(control).widget);
    if (!target) throw errors::NoSuchMember();
    for (Item& item : items_) {
        if (auto* button = qobject_cast<QPushButton*>(item.widget)) button->setDefault(false);
    }
    target->setDefault(true);
}

void QtWindow::LeavePlacementToWindowSystem() {
    // The native window is made while no position has been given, so the
    // window system places it; then the dialog takes itself as placed, which
    // keeps it from moving itself to the centre when shown.
    dialog_->winId();
    dialog_->setAttribute(Qt::WA_Moved, true);
}

void QtWindow::ShowModal() {
    if (!Loaded()) return;
    LeavePlacementToWindowSystem();
    dialog_->setWindowModality(Qt::ApplicationModal);
    dialog_->exec();
    // Only Unload() ends the show; anything else took the window away.
    if (Loaded()) ClosedByPerson();
}

void QtWindow::ShowModeless() {
    if (QApplication::activeModalWidget()) throw errors::ModalFormDisplayed();
    LeavePlacementToWindowSystem();
    dialog_->setWindowModality(Qt::NonModal);
    dialog_->show();
}

void QtWindow::Activate() {
    dialog_->raise();
    dialog_->activateWindow();
}

void QtWindow::Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    dialog_->done(QDialog::Rejected);  // hides it and ends a modal show
}

void QtWindow::ClosedByPerson() {
    if (unloaded_) return;
    events_.CloseRequested();
    Unload();
}

bool QtWindow::PressAccessKey(char key) {
    for (Item& item : items_) {
        auto* button = qobject_cast<QPushButton*>(item.widget);
        if (button && AccessKey(item.design->caption) == key && button->isEnabled() &&
            button->isVisible()) {
            button->setFocus();
            button->click();
            return true;
        }
    }
    return false;
}

void QtWindow::FocusFirstControl() {
    // The lowest tab index that can take the focus (No, in both forms).
    const Item* first = nullptr;
    for (const Item& item : items_) {
        if (item.widget->focusPolicy() == Qt::NoFocus || !item.widget->isEnabled()) continue;
        if (!first || item.design->tabIndex < first->design->tabIndex) first = &item;
    }
    if (first) first->widget->setFocus(Qt::TabFocusReason);
}

}  // namespace

QtWindowSystem::QtWindowSystem() = default;
QtWindowSystem::~QtWindowSystem() = default;

std::unique_ptr<Window> QtWindowSystem::CreateWindow(const FormDesign& design,
                                                     WindowEvents& events) {
    Application();
    SubstituteDesignFonts();
    return std::make_unique<QtWindow>(design, events);
}

void QtWindowSystem::ProcessPendingEvents() {
    if (!QCoreApplication::instance()) return;
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(kIdleWakeMilliseconds);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool QtWindowSystem::Available() {
    return QCoreApplication::instance() != nullptr || PlatformToUse() != "none";
}

std::string QtWindowSystem::Where() {
    if (QCoreApplication::instance()) return "this program's own application";
    // The names come from the environment, which anyone may have set.
    const auto named = [](const char* variable) {
        return EscapeForTerminal(Environment(variable));
    };
    const std::string platform = PlatformToUse();
    if (platform.empty()) return "platform " + named("QT_QPA_PLATFORM");
    if (platform == "wayland") return "Wayland display " + named("WAYLAND_DISPLAY");
    if (platform == "xcb") return "display " + named("DISPLAY");
    return "";
}

void QtWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    try {
        Application();
    } catch (const RuntimeError&) {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                     static_cast<int>(text.size()), text.data());
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, ToQt(title), ToQt(text), QMessageBox::Ok);
    box.exec();
}

void QtWindowSystem::SavePng(Window& window, const std::string& path) {
    auto* qtWindow = dynamic_cast<QtWindow*>(&window);
    if (!qtWindow) throw errors::InvalidCall();
    QDialog& dialog = qtWindow->dialog();
    dialog.ensurePolished();
    const QPixmap client = dialog.grab();

    // A plain title bar above the client area, so the picture shows the caption
    // the window manager would draw.
    const int titleHeight = 24;
    QImage image(client.width(), client.height() + titleHeight, QImage::Format_RGB32);
    image.fill(dialog.palette().color(QPalette::Window));
    {
        QPainter painter(&image);
        painter.fillRect(0, 0, image.width(), titleHeight,
                         dialog.palette().color(QPalette::Highlight));
        painter.setPen(dialog.palette().color(QPalette::HighlightedText));
        QFont titleFont = dialog.font();
        titleFont.setBold(true);
        painter.setFont(titleFont);
        painter.drawText(QRect(8, 0, image.width() - 40, titleHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, dialog.windowTitle());
        painter.drawText(QRect(image.width() - 28, 0, 24, titleHeight), Qt::AlignCenter,
                         QStringLiteral("\u00d7"));
        painter.drawPixmap(0, titleHeight, client);
    }
    if (!image.save(ToQt(path), "PNG")) {
        throw RuntimeError(errors::kPathNotFound, "Cannot write " + path);
    }
}

}  // namespace postwarden
