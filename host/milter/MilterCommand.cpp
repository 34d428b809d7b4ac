#include <libmilter/mfapi.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/Options.h"
#include "host/audit/AuditPlatform.h"
#include "host/milter/MessageChecker.h"
#include "host/send/ClientObjects.h"
#include "host/settings/SettingsImport.h"
#include "module/IModuleAPI.h"
#include "platform/LinuxPlatform.h"
#include "platform/mailstore/MimeLibrary.h"

namespace postwarden::host {

namespace {

constexpr const char* kDescription =
    "Runs as a mail filter (milter) for Postfix or Sendmail: every message the mail\n"
    "server is given is checked by the stored rules, its envelope recipients (every\n"
    "RCPT TO) being its recipients. Nobody can be asked on a server, so a message a\n"
    "rule flags is refused with \"550 5.7.1 Postwarden: not sent: ...\" saying why;\n"
    "the same message sent again by the same sender (the SASL login, else the\n"
    "envelope sender) within 10 minutes goes through once. A message nothing flags\n"
    "is accepted untouched. A check that fails accepts the message (logged), or\n"
    "defers it with 451 4.7.1 under --on-failure tempfail.\n"
    "\n"
    "The settings are the home's, refreshed from their central source at start,\n"
    "every 5 minutes and at once on SIGHUP; a refresh that fails keeps them. With\n"
    "--approvals, a SIGHUP at one server makes every server sharing the database\n"
    "refresh within 10 seconds.\n"
    "SIGTERM stops the milter. Exit status: 0 stopped; 2 usage error; 3 the socket\n"
    "or the approvals' database could not be used; 69 the check is not installed\n"
    "properly.";

constexpr int kRefreshSeconds = 300;
// How soon a refresh asked at another mail server sharing the database is
// followed here.
constexpr std::chrono::seconds kSharedRefreshSeconds{10};
// The signal the watching process passes a SIGHUP on as: libmilter takes
// SIGHUP itself, as a request to stop.
constexpr int kRefreshSignal = SIGUSR1;
constexpr const char* kTempfailText = "Postwarden: the check failed; try again later";

MessageChecker* gChecker = nullptr;

// The checks under way. A refusal offers its message an approval; were the
// milter to end between the check and its reply, the mail server would defer
// the message (milter_default_action), its client would send it again, and
// the approval would let it through with nobody told why. So a stopping
// milter first waits for the checks under way, and then a moment more for
// libmilter to write the last replies, which it does as the callback
// returns. A reply written is one the mail server gets: it reads the reply
// to the end of a message before it says another word, so nothing unread
// makes the milter's end cut the connection short. (libmilter serves no
// connection once it stops, so waiting for the mail server's next word would
// wait out the whole drain.)
struct ChecksUnderWay {
    static constexpr std::chrono::seconds kReplyWritten{1};

    std::mutex mutex;
    std::condition_variable settled;
    int count = 0;
    std::chrono::steady_clock::time_point lastEnded{};

    void Begin() {
        std::lock_guard lock(mutex);
        ++count;
    }
    void End() {
        std::lock_guard lock(mutex);
        lastEnded = std::chrono::steady_clock::now();
        if (--count == 0) settled.notify_all();
    }
    // Waits until no check is under way, at most `most`, then until the last
    // one's reply is written. Returns the checks still under way.
    int Drain(std::chrono::seconds most) {
        std::unique_lock lock(mutex);
        settled.wait_for(lock, most, [this] { return count == 0; });
        const int unfinished = count;
        const auto written = lastEnded + kReplyWritten;
        lock.unlock();
        std::this_thread::sleep_until(written);
        return unfinished;
    }
};
ChecksUnderWay gChecksUnderWay;
constexpr std::chrono::seconds kDrainSeconds{10};

// What one SMTP connection has said of the message under way.
struct Session {
    Envelope envelope;
    std::string message;
    // The protocol steps the mail server agreed to send without waiting for
    // an answer (SMFIP_NR_*), and whether header values keep their leading
    // blank (SMFIP_HDR_LEADSPC).
    unsigned long steps = 0;
    // Forgets the message; what was agreed for the connection stays.
    void Reset() {
        envelope = Envelope{};
        message.clear();
    }
};

Session* SessionOf(SMFICTX* context) {
    auto* session = static_cast<Session*>(smfi_getpriv(context));
    if (session == nullptr) {
        session = new (std::nothrow) Session;
        smfi_setpriv(context, session);
    }
    return session;
}

// "<a@b>" -> "a@b"; libmilter gives addresses as the client wrote them.
std::string Address(const char* text) {
    std::string address = text != nullptr ? text : "";
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
        address = address.substr(1, address.size() - 2);
    }
    return address;
}

std::string Symbol(SMFICTX* context, const char* name) {
    const char* value = smfi_getsymval(context, const_cast<char*>(name));
    return value != nullptr ? value : "";
}

// The filter answers at DATA and at the end of a message: every other step
// goes on without waiting for an answer where the mail server can do so,
// which spares it a round trip per header field and body chunk. Nothing
// before MAIL FROM is needed. DATA is answered though nothing is done there:
// over TCP the answer acknowledges the mail server's last write at once, where
// otherwise its first header field, a small write behind an unacknowledged
// one, waited for the delayed acknowledgement (40 ms a message, one at a time).
constexpr unsigned long kWithoutAnswer =
    SMFIP_NR_MAIL | SMFIP_NR_RCPT | SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
constexpr unsigned long kNotNeeded = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NOUNKNOWN;

sfsistat OnNegotiate(SMFICTX* context, unsigned long, unsigned long offered, unsigned long,
                     unsigned long, unsigned long* actions, unsigned long* steps, unsigned long*,
                     unsigned long*) {
    *actions = 0;  // the filter changes nothing
    Session* session = SessionOf(context);
    *steps = offered & (kNotNeeded | SMFIP_HDR_LEADSPC);
    if (session != nullptr) {
        *steps |= offered & kWithoutAnswer;
        session->steps = *steps;
    }
    return SMFIS_CONTINUE;
}

// Goes on: without an answer where the step was agreed so.
sfsistat GoOn(const Session* session, unsigned long step) {
    return session != nullptr && (session->steps & step) != 0 ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

sfsistat OnSender(SMFICTX* context, char** argv) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->Reset();
    session->envelope.sender = Address(argv != nullptr ? argv[0] : nullptr);
    session->envelope.authUser = Symbol(context, "{auth_authen}");
    return GoOn(session, SMFIP_NR_MAIL);
}

sfsistat OnRecipient(SMFICTX* context, char** argv) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->envelope.recipients.push_back(Address(argv != nullptr ? argv[0] : nullptr));
    return GoOn(session, SMFIP_NR_RCPT);
}

// The header as it came: one field a line, its folding kept.
sfsistat OnHeader(SMFICTX* context, char* name, char* value) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    std::string& message = session->message;
    message += name != nullptr ? name : "";
    message += (session->steps & SMFIP_HDR_LEADSPC) != 0 ? ":" : ": ";
    for (const char* c = value != nullptr ? value : ""; *c != '\0'; ++c) {
        if (*c == '\n' && (c == value || c[-1] != '\r')) message += '\r';
        message += *c;
    }
    message += "\r\n";
    return GoOn(session, SMFIP_NR_HDR);
}

sfsistat OnEndOfHeader(SMFICTX* context) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->message += "\r\n";
    return GoOn(session, SMFIP_NR_EOH);
}

sfsistat OnBody(SMFICTX* context, unsigned char* chunk, size_t size) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->message.append(reinterpret_cast<const char*>(chunk), size);
    return GoOn(session, SMFIP_NR_BODY);
}

sfsistat OnEndOfMessage(SMFICTX* context) {
    Session* session = SessionOf(context);
    if (session == nullptr) return SMFIS_TEMPFAIL;
    session->envelope.queueId = Symbol(context, "i");
    gChecksUnderWay.Begin();
    const MilterVerdict verdict = gChecker->Check(session->envelope, session->message,
                                                  static_cast<int64_t>(std::time(nullptr)));
    gChecksUnderWay.End();
    // The next message of the session starts afresh; its memory goes now.
    session->Reset();
    session->message.shrink_to_fit();
    if (verdict.outcome == MilterOutcome::kRejected) {
        smfi_setreply(context, const_cast<char*>("550"), const_cast<char*>("5.7.1"),
                      const_cast<char*>(verdict.reply.c_str()));
        return SMFIS_REJECT;
    }
    if (verdict.outcome == MilterOutcome::kUnchecked && verdict.tempfail) {
        smfi_setreply(context, const_cast<char*>("451"), const_cast<char*>("4.7.1"),
                      const_cast<char*>(kTempfailText));
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_CONTINUE;
}

sfsistat OnAbort(SMFICTX* context) {
    auto* session = static_cast<Session*>(smfi_getpriv(context));
    if (session != nullptr) session->Reset();
    return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* context) {
    auto* session = static_cast<Session*>(smfi_getpriv(context));
    delete session;
    smfi_setpriv(context, nullptr);
    return SMFIS_CONTINUE;
}

// The central source into the home's store, as a mail client's start does it:
// a module of its own on the real platform. A source that fails leaves the
// store as it was (the module logs why).
void RefreshSettings(ModuleLibrary& library, const GlobalOptions& options) {
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::make_unique<AnsweringWindows>());
    try {
        RefreshFromCentralSource(library, platform, options.mailStore);
    } catch (const std::exception&) {
    }
    platform.FlushLog();
}

void RefreshAndReload(ModuleLibrary& library, const GlobalOptions& options,
                      MessageChecker& checker) {
    RefreshSettings(library, options);
    std::string error;
    if (checker.ReloadSettings(error)) {
        checker.Log("Milter: settings refreshed", 0);
    } else {
        checker.Log("Milter: the settings could not be read, the last ones stay: " + error, 1);
    }
}

// This server's name, as the shared refresh state records who asked.
std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}

// Keeps the settings fresh: the milter's own refresh every kRefreshSeconds
// and at kRefreshSignal, and, with a shared database (`sharedUrl`), each
// refresh another server was told to make at once, seen within
// kSharedRefreshSeconds. A signal here is passed on to the others. The start's
// refresh is done; this runs for the rest of the milter's life.
void KeepRefreshing(ModuleLibrary& library, const GlobalOptions& options, MessageChecker& checker,
                    const sigset_t& refresh, const std::string& sharedUrl) {
    using Clock = std::chrono::steady_clock;
    std::unique_ptr<SharedRefreshState> shared;
    // The count of asked refreshes this milter has followed; unknown (-1)
    // until the database first answers.
    int64_t followed = -1;
    std::string trouble;  // what went wrong last with the database, logged once
    const auto withDatabase = [&](const std::function<void()>& use) {
        try {
            if (!shared) shared = PostgresRefreshState(sharedUrl);
            use();
            if (!trouble.empty()) checker.Log("Milter: the shared refresh state is read again", 0);
            trouble.clear();
        } catch (const std::exception& e) {
            shared.reset();
            if (trouble != e.what()) {
                checker.Log(
                    std::string("Milter: the shared refresh state could not be used: ") + e.what(),
                    1);
            }
            trouble = e.what();
        }
    };
    if (!sharedUrl.empty()) withDatabase([&] { followed = shared->Asked(); });

    auto due = Clock::now() + std::chrono::seconds(kRefreshSeconds);
    for (;;) {
        auto wait = std::chrono::duration_cast<std::chrono::seconds>(due - Clock::now()) +
                    std::chrono::seconds(1);
        if (!sharedUrl.empty()) wait = std::min<std::chrono::seconds>(wait, kSharedRefreshSeconds);
        const timespec timeout{std::max<time_t>(wait.count(), 1), 0};
        const bool told = sigtimedwait(&refresh, nullptr, &timeout) == kRefreshSignal;
        bool now = told || Clock::now() >= due;
        if (!sharedUrl.empty()) {
            withDatabase([&] {
                if (told) {
                    followed = shared->Ask(HostName(), std::time(nullptr));
                    checker.Log("Milter: the other mail servers are asked to refresh too", 0);
                    return;
                }
                const int64_t asked = shared->Asked();
                if (FollowsAskedRefresh(followed, asked)) {
                    checker.Log("Milter: a refresh was asked at another mail server", 0);
                    now = true;
                }
                followed = asked;
            });
        }
        if (now) {
            RefreshAndReload(library, options, checker);
            due = Clock::now() + std::chrono::seconds(kRefreshSeconds);
        }
    }
}

// The filter itself: libmilter's loop, with a thread that keeps the settings
// fresh. Returns the exit status.
int ServeFilter(ModuleLibrary& library, const GlobalOptions& options, MessageChecker& checker,
                const std::string& listen, const std::string& sharedUrl) {
    // Blocked here, so in every thread libmilter makes: only the refresh
    // thread takes it.
    sigset_t refresh;
    sigemptyset(&refresh);
    sigaddset(&refresh, kRefreshSignal);
    pthread_sigmask(SIG_BLOCK, &refresh, nullptr);

    RefreshAndReload(library, options, checker);
    gChecker = &checker;

    smfiDesc description{};
    description.xxfi_name = const_cast<char*>("postwarden");
    description.xxfi_version = SMFI_VERSION;
    description.xxfi_flags = 0;  // the filter changes nothing
    description.xxfi_envfrom = OnSender;
    description.xxfi_envrcpt = OnRecipient;
    description.xxfi_header = OnHeader;
    description.xxfi_eoh = OnEndOfHeader;
    description.xxfi_body = OnBody;
    description.xxfi_eom = OnEndOfMessage;
    description.xxfi_abort = OnAbort;
    description.xxfi_close = OnClose;
    description.xxfi_negotiate = OnNegotiate;
    if (smfi_register(description) == MI_FAILURE ||
        smfi_setconn(const_cast<char*>(listen.c_str())) == MI_FAILURE ||
        smfi_setbacklog(256) == MI_FAILURE || smfi_opensocket(true) == MI_FAILURE) {
        PrintError("milter: cannot listen on " + listen);
        return kExitFailure;
    }
    // The mail server runs as a user of its own: the socket is for the group.
    if (listen.starts_with("unix:") || listen.starts_with("local:")) {
        ::chmod(listen.substr(listen.find(':') + 1).c_str(), 0660);
    }
    checker.Log("Milter: listening on " + listen, 0);

    std::thread([&library, &options, &checker, refresh, sharedUrl] {
        KeepRefreshing(library, options, checker, refresh, sharedUrl);
    }).detach();

    const int status = smfi_main();
    if (const int unfinished = gChecksUnderWay.Drain(kDrainSeconds); unfinished > 0) {
        checker.Log("Milter: stopped with " + std::to_string(unfinished) +
                        " checks unfinished after " + std::to_string(kDrainSeconds.count()) +
                        " s; the mail server's milter_default_action decides their messages",
                    1);
    } else {
        checker.Log("Milter: stopped", 0);
    }
    // libmilter returns without waiting for its sessions. The checks under
    // way were waited for above (for a while); the process ends here, before
    // anything the sessions use goes. Postfix takes a session cut off so as a
    // milter that is away: milter_default_action.
    std::fflush(nullptr);
    _exit(status == MI_SUCCESS ? kExitOk : kExitFailure);
}

// Runs the filter in a child process and passes signals on: SIGHUP as a
// refresh, SIGTERM and SIGINT as a stop. Returns the exit status.
int WatchFilter(const std::function<int()>& filter) {
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGHUP, SIGTERM, SIGINT, SIGCHLD}) sigaddset(&handled, signal);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const pid_t child = fork();
    if (child < 0) {
        PrintError(std::string("milter: cannot start: ") + std::strerror(errno));
        return kExitFailure;
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_UNBLOCK, &chld, nullptr);
        std::fflush(nullptr);
        _exit(filter());
    }
    for (;;) {
        int signal = 0;
        if (sigwait(&handled, &signal) != 0) continue;
        if (signal == SIGHUP) {
            kill(child, kRefreshSignal);
            continue;
        }
        if (signal != SIGCHLD) kill(child, SIGTERM);
        int status = 0;
        if (signal == SIGCHLD && waitpid(child, &status, WNOHANG) == 0) continue;
        if (signal != SIGCHLD) waitpid(child, &status, 0);
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return signal == SIGCHLD ? kExitFailure : kExitOk;
    }
}

}  // namespace

int RunMilter(const GlobalOptions& global, const std::vector<std::string>& args) {
    GlobalOptions options = global;
    std::string listen, onFailure = "accept", approvalsUrl, home;
    unsigned workers = 0;
    CommandLine cli("milter", kDescription);
    cli.add_option("--listen", listen,
                   "where the mail server connects: unix:PATH or inet:PORT@HOST")
        ->type_name("SOCKET")
        ->required();
    cli.add_option("--home", home, "the home folder (as the global --home)")->type_name("DIR");
    cli.add_option("--on-failure", onFailure,
                   "what a check that fails does to the message: accept (default)\nor "
                   "tempfail (451 4.7.1)")
        ->type_name("ACTION")
        ->check(CLI::IsMember({"accept", "tempfail"}));
    cli.add_option("--approvals", approvalsUrl,
                   "keep the resend approvals in this PostgreSQL database,\nshared by several "
                   "mail servers (default: the home's registry)")
        ->type_name("postgresql://...");
    cli.add_option("--workers", workers, "checks at once at most (default: one per core)")
        ->type_name("N");
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    if (!listen.starts_with("unix:") && !listen.starts_with("local:") &&
        !listen.starts_with("inet:") && !listen.starts_with("inet6:")) {
        return cli.UsageError("--listen wants unix:PATH or inet:PORT@HOST, not \"" + listen + "\"");
    }
    if (!approvalsUrl.empty() && !approvalsUrl.starts_with("postgresql://") &&
        !approvalsUrl.starts_with("postgres://")) {
        return cli.UsageError("--approvals wants a postgresql:// URL");
    }
    if (!home.empty()) {
        const bool ownStore = options.mailStore == options.home + "/" + kMailFolderName;
        options.home = home;
        if (ownStore) options.mailStore = home + "/" + kMailFolderName;
    }
    if (std::string error = MakeFolders(options.home); !error.empty()) {
        PrintError("milter: " + error);
        return kExitFailure;
    }

    ModuleLibrary library(options.modulePath);
    if (!library.Loaded()) {
        PrintError("milter: " + library.Error());
        return kExitNotInstalled;
    }
    if (std::string unreadable = mailstore::MimeUnavailable(); !unreadable.empty()) {
        PrintError("milter: " + unreadable);
        return kExitNotInstalled;
    }
    MilterSetup setup;
    setup.home = options.home;
    setup.mailStore = options.mailStore;
    setup.tempfailOnFailure = onFailure == "tempfail";
    setup.workers = workers;
    if (!approvalsUrl.empty()) {
        // Tried once here, so that a database that cannot be reached stops the
        // start instead of every message.
        try {
            PostgresApprovals(approvalsUrl);
        } catch (const std::exception& e) {
            PrintError("milter: " + std::string(e.what()));
            return kExitFailure;
        }
        setup.approvals = [approvalsUrl] { return PostgresApprovals(approvalsUrl); };
    }
    return WatchFilter([&] {
        MessageChecker checker(library, setup);
        return ServeFilter(library, options, checker, listen, approvalsUrl);
    });
}

}  // namespace postwarden::host
