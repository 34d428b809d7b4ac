#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/Options.h"
#include "host/thunderbird/ThunderbirdSetup.h"
#include "module/ModuleVersion.h"
#include "module/SettingKeys.h"
#include "platform/Environment.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/registry/Registry.h"
#include "platform/windows/ChooseWindowSystem.h"
#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/OnDemandWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalWindowSystem.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";
constexpr int kExitProblem = 1;  // something is not usable

constexpr const char* kDescription =
    "Checks the set-up and prints one line per check, \"ok\" or \"problem\" and what\n"
    "was found. Nothing is changed: what does not exist yet is not made.\n"
    "\n"
    "  module      the module library loads (--module, else beside postwarden, else\n"
    "              the installed one in ../lib/postwarden/) and its version matches\n"
    "  home        the home folder exists or can be created, is writable and is\n"
    "              readable by its owner only\n"
    "  mail store  the Maildir store exists (the home's own store may still be\n"
    "              created) and is writable\n"
    "  registry    registry.db opens, and whether the settings are seeded yet\n"
    "  log         postwarden.log is a regular file that can be written\n"
    "  windows     where the questions would be asked, and why\n"
    "  sendmail    the real sendmail exists and can be run\n"
    "  thunderbird one line per Thunderbird profile (~/.thunderbird/profiles.ini):\n"
    "              whether the add-on is there and enabled, as Thunderbird last\n"
    "              recorded it, and whether Thunderbird finds its host program\n"
    "\n"
    "With --milter SOCKET only one check is made: that postwarden milter answers\n"
    "there as a mail server would ask it.\n"
    "\n"
    "Exit status: 0 when everything is usable, 1 when something is not.";

struct Finding {
    bool ok = true;
    std::string text;
};

Finding Ok(std::string text) {
    return {true, std::move(text)};
}
Finding Problem(std::string text) {
    return {false, std::move(text)};
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The nearest folder at or above `path` that exists.
std::string ExistingAncestor(std::string path) {
    while (!path.empty() && !IsFolder(path)) {
        const size_t slash = path.rfind('/');
        path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    }
    return path.empty() ? "." : path;
}

// Why new files cannot be made in the folder `path`; empty when they can.
std::string WhyNotWritable(const std::string& path) {
    return ::access(path.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

Finding CheckModule(const GlobalOptions& options) {
    ModuleLibrary library(options.modulePath);
    if (!library.Loaded()) {
        return Problem(library.Error() + "; install " + kModuleFileName +
                       " beside postwarden or in ../lib/postwarden/ from it, or pass --module "
                       "PATH");
    }
    LinuxPlatform platform({}, std::make_unique<NoWindowSystem>());
    const std::unique_ptr<IModuleAPI> module = library.Create(platform);
    if (!module) {
        return Problem(library.Path() + " loads but makes no module; install the " +
                       kModuleFileName + " built with this postwarden");
    }
    const std::string version = module->Version();
    const std::string ours = FormatVersion(kVersionMajor, kVersionMinor, kVersionRevision);
    if (version != ours) {
        return Problem(library.Path() + " is version " + version + ", this postwarden " + ours +
                       "; install the " + kModuleFileName + " built with it");
    }
    return Ok(library.Path() + " (" + library.Origin() + "), version " + version);
}

Finding CheckHome(const GlobalOptions& options) {
    const std::string& home = options.home;
    struct stat info {};
    if (::stat(home.c_str(), &info) != 0) {
        const std::string parent = ExistingAncestor(home);
        if (const std::string why = WhyNotWritable(parent); !why.empty()) {
            return Problem(home + " does not exist and cannot be created in " + parent + ": " +
                           why);
        }
        return Ok(home + " does not exist yet; the first send creates it, owner-only");
    }
    if (!S_ISDIR(info.st_mode)) return Problem(home + " is not a folder");
    if (const std::string why = WhyNotWritable(home); !why.empty()) {
        return Problem(home + " is not writable: " + why);
    }
    if (info.st_uid != ::geteuid()) {
        return Problem(home + " belongs to another user (uid " + std::to_string(info.st_uid) + ")");
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return Problem(home + " can be read by others (mode " + mode +
                       "), and it holds the log and the settings; chmod 700 " + home);
    }
    return Ok(home + ", writable, owner-only");
}

Finding CheckMailStore(const GlobalOptions& options) {
    const std::string& store = options.mailStore;
    const bool ours = store == options.home + "/" + kMailFolderName;
    struct stat info {};
    if (::stat(store.c_str(), &info) != 0) {
        if (ours) return Ok(store + " does not exist yet; the first send creates it");
        return Problem(store +
                       " does not exist; a store given with --mail-store is used as it "
                       "is, so create it or name another");
    }
    if (!S_ISDIR(info.st_mode)) return Problem(store + " is not a folder");
    if (const std::string why = WhyNotWritable(store); !why.empty()) {
        return Problem(store + " is not writable (the message being sent is saved in its " +
                       "Drafts): " + why);
    }
    const std::string drafts = DraftsFolderOf(store);
    if (::stat(drafts.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        return Problem(drafts + " is not a folder");
    }
    return Ok(store + ", writable");
}

Finding CheckRegistry(const GlobalOptions& options) {
    const std::string path = options.home + "/" + kRegistryFileName;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return Ok(path + " does not exist yet; the first send creates it and seeds the settings");
    }
    try {
        Registry registry(path);
        const auto settings = registry.GetAllSettings(kSettingsAppName, kSettingsSection);
        bool seeded = false;
        for (const auto& [name, value] : settings) {
            seeded = seeded || name == keys::kPromptForOutsideDomainsWanted;
        }
        if (!seeded)
            return Ok(path + " opens; the settings are not seeded yet (the first send does it)");
        return Ok(path + " opens; the settings are seeded (" + std::to_string(settings.size()) +
                  " values)");
    } catch (const RuntimeError& e) {
        return Problem(e.Description() + "; the checks cannot read their settings");
    } catch (const std::exception& e) {
        return Problem(path + ": " + e.what() + "; the checks cannot read their settings");
    }
}

Finding CheckLog(const GlobalOptions& options) {
    const std::string path = options.home + "/" + kLogFileName;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
        return Ok(path + " does not exist yet; the first send creates it");
    }
    if (const std::string why = LogFileProblem(path); !why.empty()) {
        return Problem(path + ": " + why + "; the checks go on without a log");
    }
    return Ok(path + ", a regular file, writable");
}

Finding CheckWindows(const std::string& answers) {
    WindowSystemChoice chosen;
    try {
        chosen = ChooseWindowSystemExplained(answers);
    } catch (const std::invalid_argument& e) {
        return Problem(std::string("the answers are not valid: ") + e.what());
    }
    if (dynamic_cast<NoWindowSystem*>(chosen.windows.get())) {
        return Problem(chosen.why + " (a send that needs a question is held)");
    }
    // A send loads the window plugin only when it asks; load it now, so that a
    // plugin that is missing or broken is found before a question needs it.
    if (auto* onDemand = dynamic_cast<OnDemandWindowSystem*>(chosen.windows.get())) {
        const bool nobody = dynamic_cast<NoWindowSystem*>(&onDemand->Ready()) != nullptr;
        if (!onDemand->Failure().empty()) {
            return Problem(chosen.why + ", but " + onDemand->Failure() +
                           (nobody ? " (a send that needs a question is held)"
                                   : " (the questions go to the terminal instead)"));
        }
    }
    return Ok(chosen.why);
}

// `program` as exec would find it: a path as it is, a bare name on $PATH.
std::string FindProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    std::string path = Environment("PATH");
    if (path.empty()) path = "/bin:/usr/bin";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string folder = end == start ? "." : path.substr(start, end - start);
        const std::string candidate = folder + "/" + program;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// A file descriptor, closed when it goes.
struct SocketCloser {
    int fd;
    ~SocketCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Whether the milter at `where` (unix:PATH or inet:PORT@HOST, as given to
// `postwarden milter --listen`) takes a connection and answers a mail server's
// first question, the option negotiation, within five seconds.
Finding CheckMilter(const std::string& where) {
    const size_t colon = where.find(':');
    const std::string kind = where.substr(0, colon), place = where.substr(colon + 1);
    int fd = -1;
    if (colon != std::string::npos && (kind == "unix" || kind == "local")) {
        struct stat info {};
        if (::stat(place.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
            return Problem(where + ": no socket there; is postwarden milter running?");
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (place.size() >= sizeof address.sun_path) return Problem(where + ": path too long");
        std::strcpy(address.sun_path, place.c_str());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            return Problem(where + ": " + std::strerror(error));
        }
    } else if (colon != std::string::npos && kind == "inet") {
        const size_t at = place.find('@');
        const std::string port = place.substr(0, at);
        const std::string host = at == std::string::npos ? "127.0.0.1" : place.substr(at + 1);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
            return Problem(where + ": no such host or port");
        }
        fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
        const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
        const int error = errno;
        ::freeaddrinfo(found);
        if (!connected) {
            if (fd >= 0) ::close(fd);
            return Problem(where + ": " + std::strerror(error) + "; is postwarden milter running?");
        }
    } else {
        return Problem(where + ": not unix:PATH or inet:PORT@HOST");
    }
    SocketCloser closer{fd};
    // What a mail server says first: "O", protocol version 6, every action and
    // step it may offer. A milter answers with an "O" of its own.
    const unsigned char ask[] = {0, 0, 0, 13, 'O', 0, 0, 0, 6, 0, 0, 1, 0xff, 0, 0x1f, 0xff, 0xff};
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    unsigned char answer[5] = {};
    if (::send(fd, ask, sizeof ask, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof ask) ||
        ::recv(fd, answer, sizeof answer, MSG_WAITALL) != static_cast<ssize_t>(sizeof answer) ||
        answer[4] != 'O') {
        return Problem(where + ": connected, but no milter answered there");
    }
    return Ok(where + ": a milter answers");
}

Finding CheckSendmail(const std::string& given) {
    std::string program = given, from = "--sendmail";
    if (program.empty()) {
        program = Environment("POSTWARDEN_SENDMAIL");
        from = "POSTWARDEN_SENDMAIL";
    }
    if (program.empty()) {
        program = kDefaultSendmail;
        from = "the default";
    }
    const std::string fix =
        "; install one or name it with --sendmail PROGRAM or POSTWARDEN_SENDMAIL";
    const std::string found = FindProgram(program);
    if (found.empty()) return Problem(program + " (" + from + ") is not found on PATH" + fix);
    struct stat info {};
    if (::stat(found.c_str(), &info) != 0) {
        return Problem(found + " (" + from + ") does not exist" + fix);
    }
    if (!S_ISREG(info.st_mode)) return Problem(found + " (" + from + ") is not a file" + fix);
    if (::access(found.c_str(), X_OK) != 0) {
        return Problem(found + " (" + from + ") cannot be run: " + std::strerror(errno));
    }
    return Ok(found + " (" + from + "), executable");
}

// What one Thunderbird profile does with a send, from what Thunderbird last
// wrote there.
Finding CheckThunderbirdProfile(const std::string& profile, const HostState& host, bool byPolicy) {
    const AddonState addon = ReadAddonState(profile);
    const std::string enable =
        "; sends from this profile are NOT checked: switch Postwarden on in Thunderbird's Add-ons "
        "and Themes (the menu \u2261)";
    if (!addon.unreadable.empty()) return Problem(profile + ": " + addon.unreadable);
    if (!addon.recorded) {
        if (addon.inFolder || byPolicy) {
            return Problem(profile +
                           ": Thunderbird has not loaded the add-on yet; sends from this profile "
                           "are NOT checked until Thunderbird is restarted");
        }
        return Ok(profile +
                  ": no Postwarden add-on, sends from this profile are not checked "
                  "(postwarden thunderbird install --profile adds it)");
    }
    if (addon.neverEnabled) {
        return Problem(profile +
                       ": the add-on is disabled: Thunderbird started it so when it found it in "
                       "the profile, and waits for you to enable it" +
                       enable);
    }
    if (addon.refused) {
        return Problem(profile +
                       ": Thunderbird does not run the add-on (it is not compatible); "
                       "sends from this profile are NOT checked");
    }
    if (addon.disabled || !addon.active)
        return Problem(profile + ": the add-on is disabled" + enable);
    if (!host.problem.empty()) {
        return Problem(profile + ": the add-on is enabled, but " + host.problem +
                       "; every send from this profile is held (postwarden thunderbird install)");
    }
    return Ok(profile + ": the add-on " + addon.version + " is enabled; its host " + host.program +
              " (" + host.manifest + ")");
}

std::vector<Finding> CheckThunderbird() {
    const std::string home = UserHome();
    const std::vector<std::string> profiles = ThunderbirdProfiles(home);
    if (profiles.empty()) {
        return {Ok("no Thunderbird profile (" + home + "/.thunderbird/profiles.ini lists none)")};
    }
    const HostState host = FindNativeHost(home);
    const bool byPolicy = PoliciesInstallAddon(PoliciesPath());
    std::vector<Finding> findings;
    for (const std::string& profile : profiles) {
        findings.push_back(CheckThunderbirdProfile(profile, host, byPolicy));
    }
    return findings;
}

}  // namespace

int RunDoctor(const GlobalOptions& options, const std::vector<std::string>& args) {
    std::string answers = Environment("POSTWARDEN_ANSWERS"), sendmail, milter;
    CommandLine cli("doctor", kDescription);
    cli.add_option("--answers", answers,
                   "as given to check or sendmail\n(default $POSTWARDEN_ANSWERS)")
        ->type_name("LIST");
    cli.add_option("--sendmail", sendmail,
                   std::string("the real sendmail (default $POSTWARDEN_SENDMAIL,\nelse ") +
                       kDefaultSendmail + ")")
        ->type_name("PROGRAM");
    cli.add_option("--milter", milter,
                   "check only that postwarden milter answers at SOCKET\n(unix:PATH or "
                   "inet:PORT@HOST, where it listens)")
        ->type_name("SOCKET");
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    if (!milter.empty()) {
        const Finding finding = CheckMilter(milter);
        std::printf("%-8s%s: %s\n", finding.ok ? "ok" : "problem", "milter", finding.text.c_str());
        return finding.ok ? kExitOk : kExitProblem;
    }

    const auto one = [](Finding finding) { return std::vector<Finding>{std::move(finding)}; };
    const std::pair<const char*, std::function<std::vector<Finding>()>> checks[] = {
        {"module", [&] { return one(CheckModule(options)); }},
        {"home", [&] { return one(CheckHome(options)); }},
        {"mail store", [&] { return one(CheckMailStore(options)); }},
        {"registry", [&] { return one(CheckRegistry(options)); }},
        {"log", [&] { return one(CheckLog(options)); }},
        {"windows", [&] { return one(CheckWindows(answers)); }},
        {"sendmail", [&] { return one(CheckSendmail(sendmail)); }},
        {"thunderbird", [] { return CheckThunderbird(); }},
    };
    bool usable = true;
    for (const auto& [name, check] : checks) {
        for (const Finding& finding : check()) {
            usable = usable && finding.ok;
            std::printf("%-8s%s: %s\n", finding.ok ? "ok" : "problem", name, finding.text.c_str());
        }
    }
    return usable ? kExitOk : kExitProblem;
}

}  // namespace postwarden::host
