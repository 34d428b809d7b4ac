#include "platform/windows/QtWindowSystem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/TerminalText.h"
#include "platform/windows/QtWindow.h"
#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

// Runs `step` from inside the event loop that is running by then (a modal show's
// own loop, or the forms' wait over ProcessPendingEvents).
void Later(std::function<void()> step, int milliseconds = 0) {
    QTimer::singleShot(milliseconds, qApp, std::move(step));
}

// The visible form window named `form`, or null.
QDialog* FormWindow(const char* form) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == form && widget->isVisible()) {
            return qobject_cast<QDialog*>(widget);
        }
    }
    return nullptr;
}

QDialog* ModalWindow() {
    return qobject_cast<QDialog*>(QApplication::activeModalWidget());
}

template <typename T>
T* Find(QDialog* dialog, const char* name) {
    T* child = dialog ? dialog->findChild<T*>(name) : nullptr;
    if (!child) ADD_FAILURE() << "no control " << name;
    return child;
}

class QtFormsTest : public FormsTest {
  protected:
    QtFormsTest() {
        // No window of these tests is meant for a screen, even where there is one.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto windows = std::make_unique<QtWindowSystem>();
        // Makes the application, so that timers work before the first prompt.
        windows->CreateWindow(frmSimpleYesNoPrompt::Design(), none);
        platform.windows = std::move(windows);
    }
    NoEvents none;
};

TEST_F(QtFormsTest, TheMultiRuleWindowIsTickedByMouseOrKeysAndEnterAnswersNoUnlessOnYes) {
    ThreadGlobals().KeywordsViolated = true;
    bool checked = false;
    Later([&] {
        QDialog* dialog = ModalWindow();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->objectName(), "frmYesNoPrompt");
        EXPECT_EQ(dialog->windowTitle(), "Post Warden");
        auto* keywords = Find<QCheckBox>(dialog, "chkValidateKeywords");
        auto* outside = Find<QCheckBox>(dialog, "chkValidateOutsideDomains");
        auto* yes = Find<QPushButton>(dialog, "cmdYes");
        auto* no = Find<QPushButton>(dialog, "cmdNo");
        EXPECT_TRUE(keywords->isEnabled());
        EXPECT_FALSE(outside->isEnabled());
        EXPECT_FALSE(yes->isEnabled());
        EXPECT_TRUE(no->isDefault());
        EXPECT_EQ(dialog->focusWidget(), no);
        // Where the window system puts it, not centred (give or take Qt's frame).
        const QPoint centre = dialog->screen()->availableGeometry().center();
        EXPECT_GT((dialog->pos() - centre + dialog->rect().center()).manhattanLength(), 10);

        QTest::keyClick(dialog, Qt::Key_Y);          // Yes disabled: nothing
        QTest::mouseClick(outside, Qt::LeftButton);  // greyed: cannot be ticked
        EXPECT_FALSE(outside->isChecked());
        // The caption is part of the box: a click on its far end ticks it.
        QTest::mouseClick(keywords, Qt::LeftButton, {}, QPoint(keywords->width() - 4, 8));
        EXPECT_TRUE(keywords->isChecked());
        EXPECT_TRUE(yes->isEnabled());
        QTest::mouseClick(keywords, Qt::LeftButton);  // cleared again: Yes stays
        EXPECT_TRUE(yes->isEnabled());
        QTest::keyClick(keywords, Qt::Key_Return);
        checked = true;
    });
    EXPECT_EQ(AskMulti(platform), 7);
    EXPECT_TRUE(checked);
    EXPECT_EQ(FormWindow("frmYesNoPrompt"), nullptr);

    Later([] {
        QDialog* dialog = ModalWindow();
        QTest::keyClick(Find<QCheckBox>(dialog, "chkValidateKeywords"), Qt::Key_Space);
        auto* yes = Find<QPushButton>(dialog, "cmdYes");
        yes->setFocus();
        QTest::keyClick(yes, Qt::Key_Return);
    });
    EXPECT_EQ(AskMulti(platform), 6);
}

TEST_F(QtFormsTest, KeysAndTheCloseBoxAnswerTheSingleRuleForm) {
    // Each No right after a Yes: an earlier answer is not kept.
    const struct {
        Qt::Key key;  // none: the close box
        Qt::KeyboardModifiers modifiers;
        int32_t answer;
    } cases[] = {{Qt::Key_Y, Qt::NoModifier, 6},         {Qt::Key_Escape, Qt::NoModifier, 7},
                 {Qt::Key_Y, Qt::AltModifier, 6},        {Qt::Key_unknown, Qt::NoModifier, 7},
                 {Qt::Key_Enter, Qt::KeypadModifier, 7}, {Qt::Key_N, Qt::NoModifier, 7}};
    for (const auto& c : cases) {
        Later([&c] {
            if (c.key == Qt::Key_unknown) return (void)ModalWindow()->close();
            QTest::keyClick(ModalWindow(), c.key, c.modifiers);
        });
        EXPECT_EQ(AskSimple(platform, "Send it?"), c.answer) << c.key;
    }
}

TEST_F(QtFormsTest, ManualModalShowsAModelessWindowAndWaitsForIt) {
    ThreadGlobals().NumberOfRecipientsViolated = true;
    bool seen = false;
    Later(
        [&] {
            QDialog* dialog = FormWindow("frmYesNoPrompt");
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->windowModality(), Qt::NonModal);
            EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
            EXPECT_EQ(ThreadObjects::For(platform).YesNoPrompt().Response(), 5);
            QTest::mouseClick(Find<QCheckBox>(dialog, "chkValidateNumberOfRecipients"),
                              Qt::LeftButton);
            QTest::mouseClick(Find<QPushButton>(dialog, "cmdYes"), Qt::LeftButton);
            seen = true;
        },
        30);
    EXPECT_EQ(AskMulti(platform, true), 6);
    EXPECT_TRUE(seen);
    // Closed, the window is gone; Escape takes the same way as in the modal table.
    Later([] { FormWindow("frmSimpleYesNoPrompt")->close(); }, 30);
    EXPECT_EQ(AskSimple(platform, "Any send?", true), 7);
}

TEST_F(QtFormsTest, AModelessShowUnderAModalWindowFallsBackToModal) {
    QDialog blocker;
    int32_t answer = -1;
    Qt::WindowModality shownAs = Qt::NonModal;
    Later([&] {
        Later([&] {
            QDialog* form = FormWindow("frmSimpleYesNoPrompt");
            ASSERT_NE(form, nullptr);
            shownAs = form->windowModality();
            QTest::mouseClick(Find<QPushButton>(form, "cmdYes"), Qt::LeftButton);
        });
        answer = AskSimple(platform, "Under a modal window?", true);
        blocker.done(0);
    });
    blocker.exec();
    EXPECT_EQ(answer, 6);
    EXPECT_EQ(shownAs, Qt::ApplicationModal);
}

TEST_F(QtFormsTest, WindowsAreBuiltFromTheDesignAtFifteenTwipsAPixel) {
    Later([] {
        QDialog* dialog = ModalWindow();
        // Each rule after the six adds a row of 480 twips (32 pixels) below them.
        EXPECT_EQ(dialog->size(), QSize(367, 276 + 4 * 32));
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());  // fixed border
        EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
        auto* frame = Find<QWidget>(dialog, "Frame1");
        EXPECT_EQ(frame->geometry(), QRect(13, 10, 339, 216 + 4 * 32));
        auto* box = Find<QCheckBox>(dialog, "chkValidateNumberOfRecipients");
        EXPECT_EQ(box->parentWidget(), frame);
        EXPECT_EQ(box->geometry(), QRect(8, 108, 326, 33));
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdYes")->geometry(), QRect(90, 238 + 4 * 32, 88, 25));
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdNo")->geometry(), QRect(197, 238 + 4 * 32, 88, 25));
        EXPECT_EQ(Find<QCheckBox>(dialog, "chkValidateMissingAttachment")->geometry(),
                  QRect(8, 236, 326, 33));
        EXPECT_EQ(Find<QCheckBox>(dialog, "chkValidateLookAlikeDomains")->geometry(),
                  QRect(8, 300, 326, 33));
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdYes")->text(), "&Yes");
        // Tab order as designed: No, Yes, then the boxes top to bottom.
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdNo")->nextInFocusChain(),
                  Find<QPushButton>(dialog, "cmdYes"));
        dialog->close();
    });
    EXPECT_EQ(AskMulti(platform), 7);

    const std::string question(300, 'w');
    Later([&question] {
        QDialog* dialog = ModalWindow();
        EXPECT_EQ(dialog->size(), QSize(273, 146));
        auto* label = Find<QLabel>(dialog, "lblConfirmationMessage");
        EXPECT_EQ(label->text().toStdString(), question);
        EXPECT_TRUE(label->wordWrap());
        EXPECT_EQ(label->geometry(), QRect(17, 23, 208, 47));
        EXPECT_TRUE(Find<QPushButton>(dialog, "cmdYes")->isEnabled());
        dialog->close();
    });
    EXPECT_EQ(AskSimple(platform, question), 7);
}

// The text without its blanks and line breaks: what wrapping must keep.
QString Squeezed(const QString& text) {
    QString kept;
    for (const QChar c : text) {
        if (!c.isSpace()) kept += c;
    }
    return kept;
}

// Under the questions, what the rules found: the window grows to hold every
// line, nothing overlaps or leaves the window, a line too long for the window
// goes on whole under it, a message's control characters are shown escaped,
// and past the screen's height the details scroll. Run again at 200 % by the
// test after it, in a process of its own.
TEST_F(QtFormsTest, DetailsFitTheWindowUnclipped) {
    // A name with hyphens, which a break would make look like two.
    std::vector<std::string> some = kDetailLines;
    some.push_back("  found in the attachment name \"q3-confidential-figures.xlsx\"");
    std::vector<std::string> many = some;
    many.insert(many.end(), 80, "  anna@partner.example (partner.example)");
    for (const FormDesign* design : {&frmYesNoPrompt::Design(), &frmSimpleYesNoPrompt::Design()}) {
        for (const std::vector<std::string>* lines : {&some, &many}) {
            SCOPED_TRACE(design->name + (lines == &many ? " with many lines" : ""));
            QtWindowSystem windows;
            auto window = windows.CreateWindow(*design, none);
            QDialog& dialog = dynamic_cast<QtWindow&>(*window).dialog();
            const QSize designed = dialog.size();
            window->SetDetails(*lines);
            if (const char* scale = std::getenv("QT_SCALE_FACTOR")) {
                EXPECT_EQ(dialog.devicePixelRatio(), std::atof(scale));  // the scale took effect
            }
            auto* details = Find<QLabel>(&dialog, "Details");
            auto* area = Find<QScrollArea>(&dialog, "DetailsArea");
            ASSERT_TRUE(details && area);
            EXPECT_EQ(details->textFormat(), Qt::PlainText);
            const QString shown = details->text();
            EXPECT_TRUE(shown.startsWith(R"(Subject: "Hi\x1B[2J\x1B]0;owned\x07)"))
                << shown.toStdString();
            QString whole;
            for (const std::string& line : *lines) {
                whole += QString::fromStdString(EscapeForTerminal(line));
            }
            EXPECT_EQ(Squeezed(shown), Squeezed(whole));
            const QStringList rows = shown.split('\n');
            EXPECT_GT(rows.size(), static_cast<qsizetype>(lines->size()));  // the long line wraps
            EXPECT_EQ(rows.filter(R"("q3-confidential-figures.xlsx")").size(), 1)
                << shown.toStdString();
            const QFontMetrics metrics(details->font());
            for (const QString& row : rows) {
                EXPECT_LE(metrics.horizontalAdvance(row), details->width() - 2 * details->margin())
                    << row.toStdString();
            }
            EXPECT_LE(details->sizeHint().height(), details->height());
            const bool scrolls = lines == &many;
            // Beside the scroll bar, when there is one, not under it.
            EXPECT_LE(details->width() +
                          (scrolls ? area->style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0),
                      area->width() - 2 * area->frameWidth());
            EXPECT_EQ(area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn, scrolls);
            EXPECT_EQ(details->height() > area->height() - 2 * area->frameWidth(), scrolls);
            EXPECT_LE(dialog.height(), dialog.screen()->availableGeometry().height());
            EXPECT_EQ(dialog.width(), designed.width());
            EXPECT_GT(dialog.height(), designed.height());
            for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                EXPECT_TRUE(dialog.rect().contains(child->geometry()))
                    << child->objectName().toStdString();
                if (qobject_cast<QPushButton*>(child)) {
                    EXPECT_GT(child->geometry().top(), area->geometry().bottom());
                } else if (child != area) {
                    EXPECT_LT(child->geometry().bottom(), area->geometry().top());
                }
            }
            windows.SavePng(*window, ::testing::TempDir() + "/" + design->name +
                                         (scrolls ? "-many" : "") + "-details.png");
            window->SetDetails({});  // back as designed
            EXPECT_EQ(dialog.size(), designed);
            EXPECT_TRUE(area->isHidden());
        }
    }
}

TEST(QtScale, DetailsFitTheWindowAtTwoHundredPercent) {
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    // A screen of 800 x 700 in the window's units at 200 %: room for the
    // multi-rule window with every rule's row and the details of a send, whose
    // text at 200 % takes a little more height than at 100 %.
    const std::string screen = ::testing::TempDir() + "/offscreen-1600x1400.json";
    std::ofstream(screen) << R"({"screens": [{"name": "big", "x": 0, "y": 0, "width": 1600,)"
                          << R"( "height": 1400, "logicalDpi": 96, "logicalBaseDpi": 96}]})";
    const std::string command = "QT_QPA_PLATFORM=offscreen:configfile=" + screen +
                                " QT_SCALE_FACTOR=2 " + std::string(self) +
                                " --gtest_filter=QtFormsTest.DetailsFitTheWindowUnclipped 2>&1";
    std::string output;
    FILE* child = ::popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) output.append(buffer, n);
    EXPECT_EQ(::pclose(child), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
}  // namespace postwarden::testing
