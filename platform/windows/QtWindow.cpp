#include "platform/windows/QtWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <algorithm>
#include <cmath>
#include <map>

#include "platform/TerminalText.h"
#include "platform/windows/ModelWindow.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

constexpr int kTwipsPerPixel = 15;
// The designs' fonts are sized for 96 dots per inch, like their twips.
constexpr double kDesignDotsPerInch = 96.0;

int Pixels(int32_t twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QRect Placed(const ControlDesign& control) {
    return QRect(Pixels(control.left), Pixels(control.top), Pixels(control.width),
                 Pixels(control.height));
}

// Between the details and what stands above and below them.
constexpr int kDetailsGap = 8;
constexpr int kDetailsMargin = 4;
// How much further than the line it continues a wrapped detail line starts.
constexpr int kContinuationIndent = 4;
// What a window manager's title bar and borders add to a window's height, at
// most: the room the details may take is the screen's less this.
constexpr int kWindowFrameAllowance = 48;
// The details are never shorter than this, however small the screen.
constexpr int kLeastDetailsLines = 3;

}  // namespace

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
    : events_(events), design_(design), dialog_(std::make_unique<FormDialog>(*this)) {
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
        widget->setGeometry(Placed(control));
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

void QtWindow::SetDetails(const std::vector<std::string>& lines) {
    QDialog& dialog = *dialog_;
    int shift = 0;
    if (lines.empty()) {
        if (detailsArea_) detailsArea_->hide();
    } else {
        if (!detailsArea_) {
            detailsArea_ = new QScrollArea(&dialog);  // owned by the dialog
            detailsArea_->setObjectName(QStringLiteral("DetailsArea"));
            detailsArea_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
            detailsArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            detailsArea_->setFocusPolicy(Qt::NoFocus);
            details_ = new QLabel;  // owned by the area
            details_->setObjectName(QStringLiteral("Details"));
            details_->setTextFormat(Qt::PlainText);
            details_->setWordWrap(false);
            details_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            details_->setMargin(kDetailsMargin);
            details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
            detailsArea_->setWidget(details_);
        }
        // As wide as the controls above the buttons, just under them.
        const int width = Pixels(design_.clientWidth);
        int left = width, right = 0, bottom = 0;
        for (const Item& item : items_) {
            if (!item.design->container.empty() || qobject_cast<QPushButton*>(item.widget))
                continue;
            const QRect placed = Placed(*item.design);
            left = std::min(left, placed.left());
            right = std::max(right, placed.right() + 1);
            bottom = std::max(bottom, placed.bottom() + 1);
        }
        if (right <= left) {  // nothing but buttons: the details go on top
            left = kDetailsGap;
            right = width - kDetailsGap;
        }
        const int frame = detailsArea_->frameWidth();
        const int inside = right - left - 2 * frame;
        const int lineSpacing = QFontMetrics(details_->font()).lineSpacing();
        // Every line whole: a name cut short (an attachment's, an address)
        // would leave the person guessing what was found. A line too long for
        // the window goes on, indented, on the lines under it.
        const auto wrapped = [&](int labelWidth) {
            QStringList shown;
            for (const std::string& line : lines) {
                // Plain text: nothing from the message can break a line, act as
                // markup or reorder what is shown.
                const QString text = ToQt(EscapeForTerminal(line));
                qsizetype blanks = 0;
                while (blanks < text.size() && text[blanks] == QLatin1Char(' ')) ++blanks;
                shown << WrapToWidth(text, details_->font(), labelWidth - 2 * kDetailsMargin,
                                     QString(blanks + kContinuationIndent, QLatin1Char(' ')));
            }
            return shown;
        };
        QStringList shown = wrapped(inside);
        int labelWidth = inside;
        int textHeight = static_cast<int>(shown.size()) * lineSpacing + 2 * kDetailsMargin;
        // The window grows no taller than the screen leaves room for; beyond
        // that the details scroll.
        const int designed = Pixels(design_.clientHeight);
        const QScreen* screen = dialog.screen();
        const int room = std::max((screen ? screen->availableGeometry().height() : designed) -
                                      designed - kWindowFrameAllowance - kDetailsGap,
                                  kLeastDetailsLines * lineSpacing + 2 * (kDetailsMargin + frame));
        int areaHeight = textHeight + 2 * frame;
        if (areaHeight > room) {
            labelWidth = inside - detailsArea_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
            shown = wrapped(labelWidth);
            textHeight = static_cast<int>(shown.size()) * lineSpacing + 2 * kDetailsMargin;
            areaHeight = room;
            detailsArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        } else {
            detailsArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        }
        details_->setText(shown.join(QLatin1Char('\n')));
        details_->setFixedSize(labelWidth, textHeight);
        detailsArea_->setGeometry(left, bottom + kDetailsGap, right - left, areaHeight);
        detailsArea_->show();
        shift = areaHeight + kDetailsGap;
    }
    for (Item& item : items_) {
        if (qobject_cast<QPushButton*>(item.widget) && item.design->container.empty()) {
            item.widget->setGeometry(Placed(*item.design).translated(0, shift));
        }
    }
    dialog.setFixedSize(Pixels(design_.clientWidth), Pixels(design_.clientHeight) + shift);
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

}  // namespace postwarden
