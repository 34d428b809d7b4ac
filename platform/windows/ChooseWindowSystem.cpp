#include "platform/windows/ChooseWindowSystem.h"

#include <cstdio>

#include "platform/Environment.h"
#include "platform/TerminalText.h"
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/OnDemandWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalReach.h"
#include "platform/windows/TerminalWindowSystem.h"
#include "platform/windows/WindowPlugin.h"

namespace postwarden {

namespace {

// Qt's platforms that draw nowhere a person looks: a window there is a
// question nobody can see, and would wait for ever.
bool QtPlatformShowsNothing() {
    const std::string platform = Environment("QT_QPA_PLATFORM");
    const std::string_view name =
        std::string_view(platform).substr(0, platform.find_first_of(":;"));
    return name == "offscreen" || name == "minimal" || name == "minimalegl";
}

// Why Qt cannot show a window: no display named, or the ones named are gone.
std::string NoDisplay() {
    std::string named;
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const std::string value = Environment(variable);
        if (value.empty()) continue;
        if (!named.empty()) named += ", ";
        named += std::string(variable) + "=" + EscapeForTerminal(value);
    }
    if (QtPlatformShowsNothing()) {
        return "no display (QT_QPA_PLATFORM=" + EscapeForTerminal(Environment("QT_QPA_PLATFORM")) +
               " shows nothing)";
    }
    return named.empty() ? "no display" : "no display answers (" + named + ")";
}

// Where Qt would show its windows, in words ("display :0"), found without Qt:
// empty when no display answers. Qt prefers Wayland, and uses X instead where
// its Wayland plugin is missing; that the plugin tells once it is loaded.
std::string DisplayForQt() {
    // The names come from the environment, which anyone may have set.
    const auto named = [](const char* variable) {
        return EscapeForTerminal(Environment(variable));
    };
    if (!Environment("QT_QPA_PLATFORM").empty()) return "platform " + named("QT_QPA_PLATFORM");
    if (WaylandDisplayReachable()) return "Wayland display " + named("WAYLAND_DISPLAY");
    if (X11DisplayReachable()) return "display " + named("DISPLAY");
    return "";
}

// A terminal where ReachTerminal() finds one, else nobody to ask, for lack of
// a display as `noDisplay` says.
WindowSystemChoice WithoutDisplay(const std::string& noDisplay) {
    const TerminalReach reach = ReachTerminal();
    switch (reach.use) {
        case TerminalReach::Use::kOwn:
            return {std::make_unique<TerminalWindowSystem>(reach.path), reach.why};
        case TerminalReach::Use::kBorrowed:
            return {std::make_unique<TerminalWindowSystem>(reach.path, reach.lender), reach.why};
        case TerminalReach::Use::kNone:
            break;
    }
    std::string why = "nobody can be asked: " + noDisplay + "; " + reach.why;
    auto none = std::make_unique<NoWindowSystem>(why);
    return {std::move(none), std::move(why)};
}

}  // namespace

WindowSystemChoice ChooseWindowSystemExplained(std::string_view answers) {
    if (!answers.empty()) {
        auto scripted =
            std::make_unique<ScriptedWindowSystem>(ScriptedWindowSystem::ParseAnswers(answers));
        scripted->EchoMessagesTo(stderr);
        return {std::move(scripted), "scripted answers: " + EscapeForTerminal(answers)};
    }
    if (const std::string display = QtPlatformShowsNothing() ? "" : DisplayForQt();
        !display.empty()) {
        auto windows = std::make_unique<OnDemandWindowSystem>(
            [](std::string& failure) -> std::unique_ptr<WindowSystem> {
                return LoadQtWindowSystem(failure);
            },
            [display](const std::string& failure) {
                return WithoutDisplay("no windows on " + display + " (" + failure + ")").windows;
            });
        return {std::move(windows), "Qt on " + display};
    }
    return WithoutDisplay(NoDisplay());
}

std::unique_ptr<WindowSystem> ChooseWindowSystem(std::string_view answers) {
    return ChooseWindowSystemExplained(answers).windows;
}

}  // namespace postwarden
