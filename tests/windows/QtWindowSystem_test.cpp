#include "platform/windows/QtWindowSystem.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "tests/windows/FormsTestSupport.h"

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
    void SetUp() override {
        FormsTest::SetUp();
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

    Later([] { FormWindow("frmSimpleYesNoPrompt")->close(); }, 30);
    EXPECT_EQ(AskSimple(platform, "Any send?", true), 7);
    Later([] { QTest::keyClick(FormWindow("frmSimpleYesNoPrompt"), Qt::Key_Escape); }, 30);
    EXPECT_EQ(AskSimple(platform, "Any send?", true), 7);
}

TEST_F(QtFormsTest, WindowsOpenWhereTheWindowSystemPutsThemNotCentred) {
    ThreadGlobals().AnySendViolated = true;
    QPoint shownAt;
    QPoint centre;
    Later(
        [&] {
            QDialog* dialog = FormWindow("frmYesNoPrompt");
            ASSERT_NE(dialog, nullptr);
            shownAt = dialog->pos();
            const QRect screen = dialog->screen()->availableGeometry();
            centre = screen.center() - dialog->rect().center();
            dialog->close();
        },
        30);
    AskMulti(platform, false);
    // Centred, give or take the frame Qt allows for.
    EXPECT_GT((shownAt - centre).manhattanLength(), 10)
        << "shown at " << shownAt.x() << "," << shownAt.y();
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
        EXPECT_EQ(dialog->size(), QSize(367, 276));
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());  // fixed border
        EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
        auto* frame = Find<QWidget>(dialog, "Frame1");
        EXPECT_EQ(frame->geometry(), QRect(13, 10, 339, 216));
        auto* box = Find<QCheckBox>(dialog, "chkValidateNumberOfRecipients");
        EXPECT_EQ(box->parentWidget(), frame);
        EXPECT_EQ(box->geometry(), QRect(8, 108, 326, 33));
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdYes")->geometry(), QRect(90, 238, 88, 25));
        EXPECT_EQ(Find<QPushButton>(dialog, "cmdNo")->geometry(), QRect(197, 238, 88, 25));
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

TEST_F(QtFormsTest, APictureShowsTheWindowUnderATitleBar) {
    QtWindowSystem windows;
    auto window = windows.CreateWindow(frmYesNoPrompt::Design(), none);
    const std::string path = ::testing::TempDir() + "/frmYesNoPrompt-test.png";
    QtWindowSystem::SavePng(*window, path);
    const QImage image(QString::fromStdString(path));
    EXPECT_EQ(image.width(), 367);
    EXPECT_GT(image.height(), 276);
    EXPECT_THROW(QtWindowSystem::SavePng(*window, "/nonexistent/folder/x.png"), RuntimeError);
}

}  // namespace
}  // namespace postwarden::testing
