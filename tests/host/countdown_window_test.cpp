// The countdown shown through a window system: a person who waits, presses
// Send now or Cancel, or closes the window; scripted answers; and nobody to
// show it to. The clock is a counter moved on by each pass over the events,
// so nothing here waits.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "host/send/CountdownWindow.h"
#include "platform/windows/ModelWindow.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"

namespace postwarden::host {
namespace {

using State = Countdown::State;

// A window system with a person at it: each pass over the events moves the
// clock on by `stepMs`, then does what `act` says for that pass (by its
// number, from 1). Every text the label was given is kept.
class PersonAtWindow final : public WindowSystem {
  public:
    class Shown final : public ModelWindow {
      public:
        Shown(PersonAtWindow& owner, const FormDesign& design, WindowEvents& events)
            : ModelWindow(design, events), owner_(owner) {}
        // What the window was when the countdown let it go.
        ~Shown() override {
            owner_.loadedAtEnd = Loaded();
            owner_.defaultButtonAtEnd = defaultButton();
            owner_.window = nullptr;
        }
        void SetControlCaption(std::string_view control, std::string_view text) override {
            ModelWindow::SetControlCaption(control, text);
            if (control == "lblCountdown") owner_.labels.emplace_back(text);
        }
        void ShowModal() override { throw std::logic_error("the countdown is never modal"); }
        void ShowModeless() override {
            if (owner_.failShow) throw std::runtime_error("cannot show");
            ++owner_.shows;
        }
        void Activate() override {}

      private:
        PersonAtWindow& owner_;
    };

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        auto window = std::make_unique<Shown>(*this, design, events);
        this->window = window.get();
        return window;
    }
    void ProcessPendingEvents() override {
        ++passes;
        now += stepMs;
        if (act && window) act(passes, *window);
    }
    void MessageBox(std::string_view, std::string_view) override {}

    MonotonicClock Clock() {
        return [this] { return now; };
    }

    int64_t now = 50000;
    int64_t stepMs = 250;
    int passes = 0;
    int shows = 0;
    bool failShow = false;
    Shown* window = nullptr;  // while it lives
    bool loadedAtEnd = true;
    std::string defaultButtonAtEnd;
    std::vector<std::string> labels;
    std::function<void(int pass, Shown& window)> act;
};

TEST(CountdownWindowTest, TheFormHasALabelSendNowAndCancel) {
    const FormDesign& form = CountdownForm();
    EXPECT_EQ(form.name, "frmCountdown");
    std::vector<std::string> names;
    for (const ControlDesign& control : form.controls) names.push_back(control.name);
    EXPECT_EQ(names, (std::vector<std::string>{"lblCountdown", "cmdYes", "cmdNo"}));
    EXPECT_EQ(WithoutAccessKeys(form.controls[1].caption), "Send now");
    EXPECT_EQ(WithoutAccessKeys(form.controls[2].caption), "Cancel");
}

TEST(CountdownWindowTest, WaitingCountsEverySecondDownAndSends) {
    PersonAtWindow person;
    const CountdownResult result = ShowCountdown(person, 3, person.Clock());
    EXPECT_TRUE(result.shown);
    EXPECT_EQ(result.state, State::kExpired);
    EXPECT_TRUE(result.Sends());
    EXPECT_EQ(person.shows, 1);
    // Shown once before the first second and once per second after it; the
    // end itself is not drawn, the window goes.
    EXPECT_EQ(person.labels,
              (std::vector<std::string>{"Sending in 3 s", "Sending in 2 s", "Sending in 1 s"}));
    EXPECT_EQ(person.passes, 13);  // the last one takes the window off the screen
    EXPECT_FALSE(person.loadedAtEnd);
    // Enter does not send early.
    EXPECT_EQ(person.defaultButtonAtEnd, "cmdNo");
}

TEST(CountdownWindowTest, SendNowSendsBeforeTheTimeRunsOut) {
    PersonAtWindow person;
    person.act = [](int pass, PersonAtWindow::Shown& window) {
        if (pass == 5) window.Press("cmdYes");
    };
    const CountdownResult result = ShowCountdown(person, 10, person.Clock());
    EXPECT_EQ(result.state, State::kSendNow);
    EXPECT_TRUE(result.Sends());
    EXPECT_EQ(person.passes, 6);  // and one more to take the window off the screen
    EXPECT_FALSE(person.loadedAtEnd);
}

TEST(CountdownWindowTest, CancelHoldsTheMessage) {
    PersonAtWindow person;
    person.act = [](int pass, PersonAtWindow::Shown& window) {
        if (pass == 30) window.Press("cmdNo");
    };
    const CountdownResult result = ShowCountdown(person, 10, person.Clock());
    EXPECT_TRUE(result.shown);
    EXPECT_EQ(result.state, State::kCancelled);
    EXPECT_FALSE(result.Sends());
    EXPECT_EQ(person.labels.back(), "Sending in 3 s");
}

TEST(CountdownWindowTest, ClosingTheWindowOrEscapeCancels) {
    PersonAtWindow person;
    person.act = [](int pass, PersonAtWindow::Shown& window) {
        if (pass == 2) window.RequestClose();
    };
    EXPECT_EQ(ShowCountdown(person, 5, person.Clock()).state, State::kCancelled);
}

TEST(CountdownWindowTest, AWindowTakenAwayWithoutAWordCancels) {
    PersonAtWindow person;
    person.act = [](int pass, PersonAtWindow::Shown& window) {
        if (pass == 2) window.Unload();
    };
    EXPECT_EQ(ShowCountdown(person, 5, person.Clock()).state, State::kCancelled);
}

TEST(CountdownWindowTest, APressInTheSamePassAsTheEndIsTheFirstDecision) {
    // The press comes before the clock is read again: it counts.
    PersonAtWindow person;
    person.stepMs = 1000;
    person.act = [](int pass, PersonAtWindow::Shown& window) {
        if (pass == 2) window.Press("cmdNo");
    };
    EXPECT_EQ(ShowCountdown(person, 2, person.Clock()).state, State::kCancelled);
}

TEST(CountdownWindowTest, AWindowThatCannotBeShownMeansNoDelay) {
    PersonAtWindow person;
    person.failShow = true;
    const CountdownResult result = ShowCountdown(person, 10, person.Clock());
    EXPECT_FALSE(result.shown);
    EXPECT_EQ(result.unshown, "cannot show");
    EXPECT_TRUE(result.Sends());
    EXPECT_EQ(person.passes, 0);
}

TEST(CountdownWindowTest, NobodyToShowItToMeansNoDelay) {
    NoWindowSystem nobody("no display; no terminal");
    int64_t now = 0;
    const CountdownResult result = ShowCountdown(nobody, 10, [&now] { return now += 1000; });
    EXPECT_FALSE(result.shown);
    EXPECT_NE(result.unshown.find("no display; no terminal"), std::string::npos) << result.unshown;
    EXPECT_TRUE(result.Sends());
}

TEST(CountdownWindowTest, AWindowThatFailsWhileCountingLetsTheSendGo) {
    PersonAtWindow person;
    person.act = [](int pass, PersonAtWindow::Shown&) {
        if (pass == 3) throw std::runtime_error("the terminal went away");
    };
    const CountdownResult result = ShowCountdown(person, 10, person.Clock());
    EXPECT_TRUE(result.shown);
    EXPECT_TRUE(result.Sends());
}

// Scripted answers: yes is Send now, no is Cancel, close closes the window.
TEST(CountdownWindowTest, ScriptedAnswersPressTheCountdownsButtons) {
    const struct {
        const char* answers;
        State state;
    } cases[] = {
        {"yes", State::kSendNow},
        {"no", State::kCancelled},
        {"close", State::kCancelled},
    };
    for (const auto& c : cases) {
        ScriptedWindowSystem script(ScriptedWindowSystem::ParseAnswers(c.answers));
        // The clock stands still: only the answer can end the countdown.
        const CountdownResult result = ShowCountdown(script, 10, [] { return int64_t{0}; });
        EXPECT_TRUE(result.shown) << c.answers;
        EXPECT_EQ(result.state, c.state) << c.answers;
        ASSERT_EQ(script.shown().size(), 1u);
        EXPECT_EQ(script.shown()[0].form, "frmCountdown");
        EXPECT_FALSE(script.shown()[0].modal);
        EXPECT_EQ(script.shown()[0].Control("lblCountdown").caption, "Sending in 10 s");
    }
}

}  // namespace
}  // namespace postwarden::host
