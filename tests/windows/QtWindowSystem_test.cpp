#include "platform/windows/QtWindowSystem.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/fakes/FakePlatform.h"
#include "validation/Globals.h"

namespace postwarden {
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

template <typename T>
T* Find(QDialog* dialog, const char* name) {
    T* child = dialog ? dialog->findChild<T*>(name) : nullptr;
    if (!child) ADD_FAILURE() << "no control " << name;
    return child;
}

class QtFormsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // No window of these tests is meant for a screen, even where there is one.
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto windows = std::make_unique<QtWindowSystem>();
        // Makes the application, so that timers work before the first prompt.
        struct : WindowEvents {
            void Click(std::string_view) override {}
            void CloseRequested() override {}
        } none;
        windows->CreateWindow(frmSimpleYesNoPrompt::Design(), none);
        platform.windows = std::move(windows);
        ThreadGlobals() = Globals{};
    }
    void TearDown() override {
        ThreadObjects::ReleaseFor(platform);
        ThreadGlobals() = Globals{};
    }
    int32_t AskMulti(bool manualModal = false) {
        return ThreadObjects::For(platform).YesNoPrompt().Ask(65540, "Post Warden", manualModal);
    }
    int32_t AskSimple(const std::string& question, bool manualModal = false) {
        frmSimpleYesNoPrompt& form = ThreadObjects::For(platform).SimpleYesNoPrompt();
        form.SetConfirmationMessage(question);
        return form.Ask(65540, "Post Warden", manualModal);
    }
    fakes::FakePlatform platform;
};

TEST_F(QtFormsTest, ModalMultiRuleWindowTicksAndAnswersYesByClicks) {
    ThreadGlobals().KeywordsViolated = true;
    bool checked = false;
    Later([&] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
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

        QTest::mouseClick(outside, Qt::LeftButton);  // greyed: cannot be ticked
        EXPECT_FALSE(outside->isChecked());
        // The caption is part of the box: a click on its far end ticks it.
        QTest::mouseClick(keywords, Qt::LeftButton, {}, QPoint(keywords->width() - 4, 8));
        EXPECT_TRUE(keywords->isChecked());
        EXPECT_TRUE(yes->isEnabled());
        QTest::mouseClick(keywords, Qt::LeftButton);  // cleared again: Yes stays
        EXPECT_TRUE(yes->isEnabled());
        QTest::mouseClick(yes, Qt::LeftButton);
        checked = true;
    });
    EXPECT_EQ(AskMulti(), 6);
    EXPECT_TRUE(checked);
    EXPECT_EQ(FormWindow("frmYesNoPrompt"), nullptr);
}

TEST_F(QtFormsTest, EnterAnswersNoUnlessYesHasTheFocus) {
    ThreadGlobals().AnySendViolated = true;
    Later([] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        auto* box = Find<QCheckBox>(dialog, "chkValidateAnySend");
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Space);  // ticked from the keyboard
        EXPECT_TRUE(Find<QPushButton>(dialog, "cmdYes")->isEnabled());
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_EQ(AskMulti(), 7);

    Later([] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QTest::keyClick(Find<QCheckBox>(dialog, "chkValidateAnySend"), Qt::Key_Space);
        auto* yes = Find<QPushButton>(dialog, "cmdYes");
        yes->setFocus();
        QTest::keyClick(yes, Qt::Key_Return);
    });
    EXPECT_EQ(AskMulti(), 6);
}

TEST_F(QtFormsTest, EscapeAndTheCloseBoxAnswerNoAfterAnEarlierYes) {
    ThreadGlobals().BlankSubjectViolated = true;
    Later([] {
        QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Y);  // Yes disabled: nothing
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        QTest::mouseClick(Find<QCheckBox>(dialog, "chkValidateBlankSubject"), Qt::LeftButton);
        QTest::keyClick(dialog, Qt::Key_Y);
    });
    ASSERT_EQ(AskMulti(), 6);
    Later([] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
    EXPECT_EQ(AskMulti(), 7);
    Later([] { QApplication::activeModalWidget()->close(); });
    EXPECT_EQ(AskMulti(), 7);
    Later([] { QApplication::activeModalWidget()->close(); });
    EXPECT_EQ(AskSimple("Blank subject?"), 7);
}

TEST_F(QtFormsTest, AccessKeysAnswerTheSingleRuleForm) {
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int32_t answer;
    } cases[] = {{Qt::Key_Y, Qt::NoModifier, 6},
                 {Qt::Key_N, Qt::NoModifier, 7},
                 {Qt::Key_Y, Qt::AltModifier, 6},
                 {Qt::Key_Enter, Qt::KeypadModifier, 7}};
    for (const auto& c : cases) {
        Later([&c] { QTest::keyClick(QApplication::activeModalWidget(), c.key, c.modifiers); });
        EXPECT_EQ(AskSimple("Send it?"), c.answer) << c.key;
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
    EXPECT_EQ(AskMulti(true), 6);
    EXPECT_TRUE(seen);

    Later([] { FormWindow("frmSimpleYesNoPrompt")->close(); }, 30);
    EXPECT_EQ(AskSimple("Any send?", true), 7);
    Later([] { QTest::keyClick(FormWindow("frmSimpleYesNoPrompt"), Qt::Key_Escape); }, 30);
    EXPECT_EQ(AskSimple("Any send?", true), 7);
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
        answer = AskSimple("Under a modal window?", true);
        blocker.done(0);
    });
    blocker.exec();
    EXPECT_EQ(answer, 6);
    EXPECT_EQ(shownAs, Qt::ApplicationModal);
}

TEST_F(QtFormsTest, WindowsAreBuiltFromTheDesignAtFifteenTwipsAPixel) {
    Later([] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
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
    EXPECT_EQ(AskMulti(), 7);

    const std::string question(300, 'w');
    Later([&question] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        EXPECT_EQ(dialog->size(), QSize(273, 146));
        auto* label = Find<QLabel>(dialog, "lblConfirmationMessage");
        EXPECT_EQ(label->text().toStdString(), question);
        EXPECT_TRUE(label->wordWrap());
        EXPECT_EQ(label->geometry(), QRect(17, 23, 208, 47));
        EXPECT_TRUE(Find<QPushButton>(dialog, "cmdYes")->isEnabled());
        dialog->close();
    });
    EXPECT_EQ(AskSimple(question), 7);
}

TEST_F(QtFormsTest, APictureShowsTheWindowUnderATitleBar) {
    QtWindowSystem windows;
    struct : WindowEvents {
        void Click(std::string_view) override {}
        void CloseRequested() override {}
    } none;
    auto window = windows.CreateWindow(frmYesNoPrompt::Design(), none);
    const std::string path = ::testing::TempDir() + "/frmYesNoPrompt-test.png";
    QtWindowSystem::SavePng(*window, path);
    const QImage image(QString::fromStdString(path));
    EXPECT_EQ(image.width(), 367);
    EXPECT_GT(image.height(), 276);
    EXPECT_THROW(QtWindowSystem::SavePng(*window, "/nonexistent/folder/x.png"), RuntimeError);
}

}  // namespace
}  // namespace postwarden
