// postwarden forms: draws the two confirmation windows into PNG files, so a
// person can see them without sending anything.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "module/RuntimeError.h"
#include "module/ThreadObjects.h"
#include "platform/LinuxPlatform.h"
#include "platform/windows/QtWindowSystem.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "validation/Globals.h"

namespace postwarden::host {

namespace {

constexpr const char* kHelp =
    "Usage: postwarden forms --png DIR\n"
    "\n"
    "Draws the confirmation windows as the module would show them, with the\n"
    "questions of the settings in HOME, into PNG files in DIR (made when missing):\n"
    "  frmYesNoPrompt-1.png, -2.png, -6.png   the multi-rule window with one, two\n"
    "                                         and six rules fired\n"
    "  frmSimpleYesNoPrompt-1.png ... -6.png  the single-rule window, once for\n"
    "                                         each rule's question\n"
    "  frmSimpleYesNoPrompt-long.png          a question too long for the window\n"
    "Needs no display.\n";

constexpr const char* kLongQuestion =
    "This message goes to recipients outside the company, names a watched keyword in "
    "its subject and reaches more people than the limit allows. Are you sure you want "
    "to send it anyway, now, without reading it once more?";

// The Qt windows, except that a show draws the window into the next file and
// closes it without an answer instead of waiting for a person.
class PictureWindows final : public WindowSystem {
  public:
    PictureWindows() = default;

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return std::make_unique<PictureWindow>(*this, qt_.CreateWindow(design, events), events);
    }
    void ProcessPendingEvents() override { qt_.ProcessPendingEvents(); }
    void MessageBox(std::string_view text, std::string_view title) override {
        problems.push_back(std::string(title) + ": " + std::string(text));
    }

    std::string nextPath;              // where the next shown window goes
    std::vector<std::string> written;  // the files written, in order
    std::vector<std::string> problems;
    std::vector<std::string> questions;  // the multi-rule window's, as last shown

  private:
    class PictureWindow final : public Window {
      public:
        PictureWindow(PictureWindows& system, std::unique_ptr<Window> inner, WindowEvents& events)
            : system_(system), inner_(std::move(inner)), events_(events) {}
        void SetCaption(std::string_view text) override { inner_->SetCaption(text); }
        void SetControlCaption(std::string_view control, std::string_view text) override {
            inner_->SetControlCaption(control, text);
        }
        std::string ControlCaption(std::string_view control) override {
            return inner_->ControlCaption(control);
        }
        void SetEnabled(std::string_view control, bool enabled) override {
            inner_->SetEnabled(control, enabled);
        }
        bool Enabled(std::string_view control) override { return inner_->Enabled(control); }
        int32_t CheckValue(std::string_view control) override {
            return inner_->CheckValue(control);
        }
        void SetCheckValue(std::string_view control, int32_t value) override {
            inner_->SetCheckValue(control, value);
        }
        void SetDefaultButton(std::string_view control) override {
            inner_->SetDefaultButton(control);
        }
        void ShowModal() override { Picture(); }
        void ShowModeless() override { Picture(); }
        void Activate() override {}
        void Unload() override { inner_->Unload(); }
        bool Loaded() override { return inner_->Loaded(); }

      private:
        void Picture() {
            QtWindowSystem::SavePng(*inner_, system_.nextPath);
            system_.written.push_back(system_.nextPath);
            if (system_.nextPath.find("frmYesNoPrompt") != std::string::npos) {
                system_.questions.clear();
                for (const char* box :
                     {"chkValidateOutsideDomains", "chkValidateEmailAddressesDomains",
                      "chkValidateKeywords", "chkValidateNumberOfRecipients",
                      "chkValidateBlankSubject", "chkValidateAnySend"}) {
                    system_.questions.push_back(inner_->ControlCaption(box));
                }
            }
            events_.CloseRequested();
            inner_->Unload();
        }

        PictureWindows& system_;
        std::unique_ptr<Window> inner_;
        WindowEvents& events_;
    };

    QtWindowSystem qt_;
};

}  // namespace

int RunForms(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf("%s", kHelp);
        return kExitOk;
    }
    std::string folder;
    if (args.size() == 2 && args[0] == "--png") {
        folder = args[1];
    } else if (args.size() == 1 && args[0].rfind("--png=", 0) == 0) {
        folder = args[0].substr(6);
    }
    if (folder.empty()) {
        PrintError("forms needs --png DIR (see postwarden forms --help)");
        return kExitUsage;
    }
    for (const std::string& path : {options.home, folder}) {
        const std::string error = MakeFolders(path);
        if (!error.empty()) {
            PrintError(error);
            return kExitFailure;
        }
    }
    // Drawing needs no screen; a platform chosen by the caller is kept.
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen == nullptr || *chosen == '\0') setenv("QT_QPA_PLATFORM", "offscreen", 1);

    auto pictures = std::make_unique<PictureWindows>();
    PictureWindows& windows = *pictures;
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::move(pictures));
    ThreadObjects& forms = ThreadObjects::For(platform);
    const int32_t values = 65540;
    const std::string friendlyName = "Post Warden";
    const bool modal = false;

    Globals& flags = ThreadGlobals();
    const Globals saved = flags;
    const struct {
        const char* name;
        Globals fired;
    } multi[] = {{"1", {false, false, true, false, false, false}},
                 {"2", {true, false, false, false, true, false}},
                 {"6", {true, true, true, true, true, true}}};
    for (const auto& picture : multi) {
        flags = picture.fired;
        windows.nextPath = folder + "/frmYesNoPrompt-" + picture.name + ".png";
        forms.YesNoPrompt().Ask(values, friendlyName, modal);
    }
    flags = saved;

    std::vector<std::string> questions = windows.questions;
    questions.push_back(kLongQuestion);
    for (size_t i = 0; i < questions.size(); ++i) {
        const std::string name = i < 6 ? std::to_string(i + 1) : "long";
        windows.nextPath = folder + "/frmSimpleYesNoPrompt-" + name + ".png";
        try {
            forms.SimpleYesNoPrompt().SetConfirmationMessage(questions[i]);
            forms.SimpleYesNoPrompt().Ask(values, friendlyName, modal);
        } catch (const RuntimeError& e) {
            windows.problems.push_back(e.Description());
        }
    }
    ThreadObjects::ReleaseFor(platform);

    for (const std::string& path : windows.written) std::printf("%s\n", path.c_str());
    for (const std::string& problem : windows.problems) PrintError(problem);
    return windows.problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace postwarden::host
