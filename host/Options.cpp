#include "host/Options.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Command.h"
#include "platform/TerminalText.h"

namespace postwarden::host {

namespace {

constexpr const char* kProgram = "postwarden";

// The usage line first, as a reader of --help looks for it there, then what
// the command does, its operands and options, and the footer.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::string help = make_usage(app, name);
        if (const std::string description = make_description(app); !description.empty()) {
            help += "\n" + description;
        }
        help += make_positionals(app);
        help += make_groups(app, mode);
        help += make_subcommands(app, mode);
        if (const std::string footer = make_footer(app); !footer.empty()) help += "\n" + footer;
        return help;
    }

    // An operand's name says what it is; whether it may be left out shows in
    // the usage line.
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_positional() ? "" : CLI::Formatter::make_option_opts(option);
    }
};

// "postwarden settings get": the command and the subcommands that were given.
std::string CommandPath(const CLI::App& app) {
    std::string path = app.get_name();
    for (const CLI::App* sub = &app; !sub->get_subcommands().empty();) {
        sub = sub->get_subcommands().front();
        path += " " + sub->get_name();
    }
    return path;
}

// CLI11 checks every value an option was given, one that a later value of the
// same option overrides too (`audit --format xml --format json` would be
// refused for the xml). While this lives, the checks of every option that keeps one value are set
// aside, and Check() runs them on the value that stands. A check that changes
// the value (a transform) is left to CLI11, since the value it makes is the
// one the option keeps.
class LastValueChecks {
  public:
    explicit LastValueChecks(CLI::App& app) { SetAside(app); }
    ~LastValueChecks() {
        for (auto& [option, checks] : deferred_) {
            for (CLI::Validator* check : checks) check->active(true);
        }
    }
    LastValueChecks(const LastValueChecks&) = delete;
    LastValueChecks& operator=(const LastValueChecks&) = delete;

    // Throws CLI::ValidationError, as CLI11 does, for a value that stands and
    // fails a check.
    void Check() {
        for (auto& [option, checks] : deferred_) {
            if (option->count() == 0) continue;
            for (CLI::Validator* check : checks) {
                check->active(true);
                std::string value = option->results().back();
                if (const std::string why = (*check)(value); !why.empty()) {
                    throw CLI::ValidationError(option->get_name(), why);
                }
            }
        }
    }

  private:
    void SetAside(CLI::App& app) {
        for (CLI::Option* option : app.get_options()) {
            if (option->get_expected_max() != 1 || option->get_type_size_max() != 1) continue;
            std::vector<CLI::Validator*> checks;
            // CLI11 lists an option's checks only by their number.
            for (int i = 0;; ++i) {
                CLI::Validator* check = nullptr;
                try {
                    check = option->get_validator(i);
                } catch (const CLI::OptionNotFound&) {
                    break;
                }
                if (check->get_active() && !check->get_modifying()) {
                    check->active(false);
                    checks.push_back(check);
                }
            }
            if (!checks.empty()) deferred_.emplace_back(option, std::move(checks));
        }
        for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) SetAside(*sub);
    }

    std::vector<std::pair<CLI::Option*, std::vector<CLI::Validator*>>> deferred_;
};

}  // namespace

CommandLine::CommandLine(const std::string& name, const std::string& description, bool shortHelp)
    : CLI::App(description, name.empty() ? kProgram : std::string(kProgram) + " " + name) {
    auto formatter = std::make_shared<HelpFormatter>();
    formatter->column_width(24);
    this->formatter(formatter);
    set_help_flag(shortHelp ? "-h,--help" : "--help", "this help");
    // An option given again overrides the earlier one, as a wrapper that adds
    // its own --answers to a configured command line expects.
    option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

std::optional<int> CommandLine::Parse(std::vector<std::string> args) {
    // CLI11 reads "--name=" as "--name" and takes the next argument for its
    // value ("--home= check" would make "check" the home folder): an empty
    // value after "=" is refused instead.
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg.size() > 3 && arg.starts_with("--") && arg.back() == '=' &&
            get_option_no_throw(arg.substr(0, arg.size() - 1)) != nullptr) {
            return UsageError(arg.substr(0, arg.size() - 1) + ": a value is needed after \"=\"");
        }
    }
    // CLI11 takes the arguments last first.
    std::reverse(args.begin(), args.end());
    try {
        // Set aside for the parse only: back in force for --help.
        LastValueChecks checks(*this);
        parse(args);
        checks.Check();
        return std::nullopt;
    } catch (const CLI::CallForHelp&) {
        std::fputs(help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::RequiredError& e) {
        // A mistyped action or option leaves something required missing; what
        // was not understood is the better clue.
        if (remaining_size(true) > 0) return UsageError(CLI::ExtrasError(remaining(true)).what());
        return UsageError(e.what());
    } catch (const CLI::ParseError& e) {
        return UsageError(e.what());
    }
}

int CommandLine::UsageError(const std::string& why) const {
    const std::string path = CommandPath(*this);
    const std::string command =
        path.substr(std::min(path.size(), std::string(kProgram).size() + 1));
    // The message may quote what was given, which may hold anything: kept to
    // one line that cannot change the terminal.
    PrintError(EscapeForTerminal((command.empty() ? "" : command + ": ") + why + " (see " + path +
                                 " --help)"));
    return kExitUsage;
}

}  // namespace postwarden::host
