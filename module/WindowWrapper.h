#pragma once

#include <cassert>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/WindowSystem.h"

namespace postwarden {

// A WindowSystem that passes every call to another one, so that a recorder, a
// picture taker or a fault injector overrides only the calls it changes. The
// windows it makes are the target's own unless a subclass wraps them in a
// WrappedWindow (see Wrap).
class WindowWrapper : public WindowSystem {
  public:
    // `target` must remain live while this wrapper is in use.
    explicit WindowWrapper(WindowSystem& target) : target_(target) {}
    // Owns `target`, which must be non-null.
    explicit WindowWrapper(std::unique_ptr<WindowSystem> target)
        : owned_(std::move(target)), target_(*owned_) {}
    WindowWrapper(const WindowWrapper&) = delete;
    WindowWrapper& operator=(const WindowWrapper&) = delete;

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return target_.CreateWindow(design, events);
    }
    void ProcessPendingEvents() override { target_.ProcessPendingEvents(); }
    void MessageBox(std::string_view text, std::string_view title) override {
        target_.MessageBox(text, title);
    }

    WindowSystem& target() { return target_; }

    // A window that passes every call to the target's window it wraps, and every
    // event of that window on to the form. Before each call is passed on,
    // Passing() names it, so a fault injector can fail any of them in one place.
    class WrappedWindow : public Window, public WindowEvents {
      public:
        // `form` must outlive the window.
        explicit WrappedWindow(WindowEvents& form) : form_(form) {}
        WrappedWindow(const WrappedWindow&) = delete;
        WrappedWindow& operator=(const WrappedWindow&) = delete;

        void SetCaption(std::string_view text) override {
            Passing("SetCaption");
            inner().SetCaption(text);
        }
        void SetControlCaption(std::string_view control, std::string_view text) override {
            Passing("SetControlCaption");
            inner().SetControlCaption(control, text);
        }
        std::string ControlCaption(std::string_view control) override {
            Passing("ControlCaption");
            return inner().ControlCaption(control);
        }
        void SetEnabled(std::string_view control, bool enabled) override {
            Passing("SetEnabled");
            inner().SetEnabled(control, enabled);
        }
        bool Enabled(std::string_view control) override {
            Passing("Enabled");
            return inner().Enabled(control);
        }
        int32_t CheckValue(std::string_view control) override {
            Passing("CheckValue");
            return inner().CheckValue(control);
        }
        void SetCheckValue(std::string_view control, int32_t value) override {
            Passing("SetCheckValue");
            inner().SetCheckValue(control, value);
        }
        void SetDefaultButton(std::string_view control) override {
            Passing("SetDefaultButton");
            inner().SetDefaultButton(control);
        }
        void SetDetails(const std::vector<std::string>& lines) override {
            Passing("SetDetails");
            inner().SetDetails(lines);
        }
        void ShowModal() override {
            Passing("ShowModal");
            inner().ShowModal();
        }
        void ShowModeless() override {
            Passing("ShowModeless");
            inner().ShowModeless();
        }
        void Activate() override {
            Passing("Activate");
            inner().Activate();
        }
        void Unload() override {
            Passing("Unload");
            inner().Unload();
        }
        bool Loaded() override {
            Passing("Loaded");
            return inner().Loaded();
        }

        // From the wrapped window to the form.
        void Click(std::string_view control) override { form_.Click(control); }
        void CloseRequested() override { form_.CloseRequested(); }

      protected:
        // Called with the operation's name ("ShowModal") before each call is
        // passed on; may throw. Does nothing here.
        virtual void Passing(std::string_view /*operation*/) {}

        Window& inner() {
            assert(inner_ && "used before Wrap attached the target's window");
            return *inner_;
        }
        WindowEvents& form() { return form_; }

      private:
        friend class WindowWrapper;
        WindowEvents& form_;
        std::unique_ptr<Window> inner_;  // made with this object as its events
    };

  protected:
    // Makes a `W` (a WrappedWindow made from the form's `events` and `args`)
    // around a window the target creates from `design`. Throws what the target's
    // CreateWindow throws.
    template <class W, class... Args>
    std::unique_ptr<W> Wrap(const FormDesign& design, WindowEvents& events, Args&&... args) {
        auto window = std::make_unique<W>(events, std::forward<Args>(args)...);
        window->inner_ = target_.CreateWindow(design, *window);
        return window;
    }

  private:
    std::unique_ptr<WindowSystem> owned_;
    WindowSystem& target_;
};

}  // namespace postwarden
