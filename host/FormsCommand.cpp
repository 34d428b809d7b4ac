// postwarden forms: draws the two confirmation windows into PNG files, so a
// person can see them without sending anything. The module draws them, through
// its PostwardenShowForm, on a window system that takes pictures.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/Options.h"
#include "host/send/CountdownWindow.h"
#include "module/Evidence.h"
#include "module/Rules.h"
#include "module/ShowForm.h"
#include "module/WindowWrapper.h"
#include "platform/LinuxPlatform.h"
#include "platform/windows/WindowPlugin.h"

namespace postwarden::host {

namespace {

// The help, naming the pictures by the number of rules there are.
std::string Description() {
    const std::string all = std::to_string(kRuleCount);
    const std::string multi = "  frmYesNoPrompt-1.png, -2.png, -" + all + ".png";
    const std::string single = "  frmSimpleYesNoPrompt-1.png ... -" + all + ".png";
    return "Draws the confirmation windows as the module would show them, with the\n"
           "questions of the settings in HOME, into PNG files in DIR (made when missing):\n" +
           multi + std::string(std::max<size_t>(41 - multi.size(), 1), ' ') +
           "the multi-rule window with one, two\n"
           "                                         and all " +
           all + " rules fired\n" + single +
           std::string(std::max<size_t>(41 - single.size(), 1), ' ') +
           "the single-rule window, once for\n"
           "                                         each rule's question\n"
           "  frmSimpleYesNoPrompt-long.png          a question too long for the window\n"
           "and each of these again as NAME-details.png, showing under the question(s)\n"
           "what the rules found in a sample message; and\n"
           "  frmCountdown.png                       the countdown SendDelaySeconds shows\n"
           "                                         before a send goes\n"
           "Needs no display.";
}

constexpr const char* kLongQuestion =
    "This message goes to recipients outside the company, names a watched keyword in "
    "its subject and reaches more people than the limit allows. Are you sure you want "
    "to send it anyway, now, without reading it once more?";

// What the rules of a send might find, for the pictures with details: more
// outside recipients than are listed, and a keyword in an attachment's name.
SendEvidence SampleEvidence() {
    SendEvidence evidence;
    evidence.present = true;
    evidence.subject = "Quarterly figures for the board (draft 3)";
    evidence.recipientCount = 9;
    for (const char* address : {"anna@partner.example", "bob@rival.example", "carol@mail.example",
                                "dave@press.example", "erin@mail.example"}) {
        const std::string text = address;
        evidence.outside.listed.push_back({text, text.substr(text.find('@') + 1)});
    }
    evidence.outside.total = 7;
    evidence.watched.listed.push_back({"bob@rival.example", "*@rival.example"});
    evidence.watched.total = 1;
    evidence.keyword = "confidential";
    evidence.keywordPlace = "the attachment name \"q3-confidential.xlsx\"";
    evidence.count = 9;
    evidence.maximum = 8;
    evidence.findings.push_back(
        {RuleIndex(kManyOrganisationsRule),
         {{"Organisations in To and Cc (6, at most 3):", "  partner.example", "  rival.example",
           "  mail.example", "  press.example", "  consultants.example", "  and 1 more",
           "Each of them sees every other's address; Bcc keeps them apart."},
          "6 organisations in To and Cc, at most 3 (partner.example, rival.example, "
          "mail.example, press.example, consultants.example and 1 more); Bcc keeps them "
          "apart"}});
    evidence.findings.push_back(
        {RuleIndex(kMissingAttachmentRule),
         {{"Mentions an attachment (\"attached\"), but has none:",
           "  Please find attached the quarterly figures for the board, as agreed on Monday "
           "with\u2026"},
          "\"attached\" in \"Please find attached the quarterly figures for the board,\u2026\", "
          "but no attachment"}});
    evidence.findings.push_back({RuleIndex(kNewRecipientsRule),
                                 {{"Never written to before (2):", "  jane.doe@partner.example",
                                   "  press@newspaper.example"},
                                  "never written to before: jane.doe@partner.example, "
                                  "press@newspaper.example"}});
    evidence.findings.push_back(
        {RuleIndex(kLookAlikeDomainsRule),
         {{"Domains that look like ones you know, but are not them:",
           "  c0rp.example looks like corp.example",
           "  partnre.example looks like partner.example"},
          "c0rp.example looks like corp.example, partnre.example looks like partner.example"}});
    return evidence;
}

// The Qt windows, except that a show draws the window into the next file and
// closes it without an answer instead of waiting for a person.
class PictureWindows final : public WindowWrapper {
  public:
    // `qt` is the Qt plugin's window system.
    explicit PictureWindows(std::unique_ptr<PluginWindowSystem> qt)
        : WindowWrapper(std::move(qt)), qt_(static_cast<PluginWindowSystem&>(target())) {}

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return Wrap<PictureWindow>(design, events, *this);
    }
    void MessageBox(std::string_view text, std::string_view title) override {
        problems.push_back(std::string(title) + ": " + std::string(text));
    }

    std::string nextPath;              // where the next shown window goes
    std::vector<std::string> written;  // the files written, in order
    std::vector<std::string> problems;
    std::vector<std::string> questions;  // the multi-rule window's, as last shown

  private:
    PluginWindowSystem& qt_;

    class PictureWindow final : public WrappedWindow {
      public:
        PictureWindow(WindowEvents& form, PictureWindows& system)
            : WrappedWindow(form), system_(system) {}
        void ShowModal() override { Picture(); }
        void ShowModeless() override { Picture(); }
        void Activate() override {}

      private:
        void Picture() {
            system_.qt_.SavePng(inner(), system_.nextPath);
            system_.written.push_back(system_.nextPath);
            if (system_.nextPath.find("frmYesNoPrompt") != std::string::npos) {
                system_.questions.clear();
                for (const Rule& rule : kRules) {
                    system_.questions.push_back(inner().ControlCaption(rule.checkBox));
                }
            }
            CloseRequested();
            inner().Unload();
        }

        PictureWindows& system_;
    };
};

}  // namespace

int RunForms(const GlobalOptions& options, const std::vector<std::string>& args) {
    std::string folder;
    CommandLine cli("forms", Description());
    cli.add_option("--png", folder, "the folder the pictures are written to")
        ->type_name("DIR")
        ->required();
    if (const std::optional<int> status = cli.Parse(args)) return *status;
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

    ModuleLibrary library(options.modulePath);
    if (!library.ShowForm()) {
        PrintError(library.Loaded() ? library.Path() + " has no " + kShowFormEntryPoint
                                    : library.Error());
        return kExitNotInstalled;
    }
    std::string failure;
    std::unique_ptr<PluginWindowSystem> qt = LoadQtWindowSystem(failure);
    if (!qt) {
        PrintError("cannot draw the windows: " + failure);
        return kExitNotInstalled;
    }
    auto pictures = std::make_unique<PictureWindows>(std::move(qt));
    PictureWindows& windows = *pictures;
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::move(pictures));
    auto show = [&](const Globals* fired, const std::string& question, int32_t rule,
                    const SendEvidence* evidence) {
        std::string failure;
        if (library.ShowForm()(&platform, fired, question.c_str(), rule, evidence, &failure) ==
            kShowFormFailed) {
            windows.problems.push_back(failure);
        }
    };

    const SendEvidence sample = SampleEvidence();
    Globals all;
    for (const Rule& rule : kRules) all.*rule.flag = true;
    const struct {
        std::string name;
        Globals fired;
    } multi[] = {{"1", {.KeywordsViolated = true}},
                 {"2", {.OutsideDomainsViolated = true, .BlankSubjectViolated = true}},
                 {std::to_string(kRuleCount), all}};
    for (const auto& picture : multi) {
        windows.nextPath = folder + "/frmYesNoPrompt-" + picture.name + ".png";
        show(&picture.fired, "", -1, nullptr);
    }
    std::vector<std::string> questions = windows.questions;
    for (const auto& picture : multi) {
        windows.nextPath = folder + "/frmYesNoPrompt-" + picture.name + "-details.png";
        show(&picture.fired, "", -1, &sample);
    }

    questions.push_back(kLongQuestion);
    for (const SendEvidence* evidence : {static_cast<const SendEvidence*>(nullptr), &sample}) {
        for (size_t i = 0; i < questions.size(); ++i) {
            const std::string name = i < std::size(kRules) ? std::to_string(i + 1) : "long";
            windows.nextPath =
                folder + "/frmSimpleYesNoPrompt-" + name + (evidence ? "-details" : "") + ".png";
            // The long question is the outside-domain rule's, put at length.
            show(nullptr, questions[i], i < std::size(kRules) ? static_cast<int32_t>(i) : 0,
                 evidence);
        }
    }

    // The countdown as a delay of ten seconds first shows it. It is the
    // host's own window, drawn without the module; the picture closes it.
    windows.nextPath = folder + "/frmCountdown.png";
    const CountdownResult countdown = ShowCountdown(windows, 10, [] { return int64_t{0}; });
    if (!countdown.shown) windows.problems.push_back("the countdown: " + countdown.unshown);

    for (const std::string& path : windows.written) std::printf("%s\n", path.c_str());
    for (const std::string& problem : windows.problems) PrintError(problem);
    return windows.problems.empty() ? kExitOk : kExitFailure;
}

}  // namespace postwarden::host
