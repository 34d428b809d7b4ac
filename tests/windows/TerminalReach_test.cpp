#include "platform/windows/TerminalReach.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"

namespace postwarden::testing {
namespace {

// Waits (five seconds at most) until `pid` sleeps in a wait for its child.
void AwaitBlocked(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!BlockedWaitingForChild(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// How a mail client starts the sender, the process that looks for a terminal.
struct Client {
    const char* name;  // the client's process name, as the reasons give it
    // The client's controlling terminal is a pseudo-terminal, in raw mode when
    // `keyByKey` (a full-screen client) or else in line mode.
    bool ownsPty = true;
    bool keyByKey = true;
    bool waits = true;        // blocked in waitpid (mutt, git) or polling its terminal (aerc)
    bool newSession = false;  // the sender runs in a session of its own, through a double fork
    bool otherUser = false;   // the client runs as another user than the sender
    bool companion = false;   // another program of the client's group reads the terminal
    bool helper = false;      // another program of the client's group, without the terminal
};

void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (size_t at; !what.empty() && (at = text.find(what)) != std::string::npos;) {
        text.replace(at, what.size(), with);
    }
}

// What ReachTerminal() found, as "use|path|lender|why" with the client's
// terminal written %t, its pid %p and the companion's %r.
[[noreturn]] void RunSender(const Client& client, pid_t clientPid, pid_t companion, int report) {
    // Root again, the sender may read everything about the client's processes.
    if (client.otherUser && ::setresuid(0, 0, 0) != 0) ::_exit(1);
    if (client.newSession) {
        ::setsid();
        if (const pid_t sender = ::fork(); sender != 0) {
            ::waitpid(sender, nullptr, 0);
            ::_exit(0);
        }
        AwaitBlocked(::getppid());
    }
    if (client.waits) AwaitBlocked(clientPid);
    const TerminalReach reach = ReachTerminal();
    const char* uses[] = {"none", "own", "borrowed"};
    std::string text = std::string(uses[static_cast<int>(reach.use)]) + "|" + reach.path + "|" +
                       std::to_string(reach.lender) + "|" + reach.why;
    Replace(text, client.ownsPty ? ::ttyname(0) : "", "%t");
    Replace(text, "|" + std::to_string(clientPid) + "|", "|%p|");
    Replace(text, "(pid " + std::to_string(clientPid) + ")", "(pid %p)");
    Replace(text, "(pid " + std::to_string(companion) + ")", "(pid %r)");
    ::_exit(::write(report, text.data(), text.size()) < 0);
}

[[noreturn]] void RunClient(const Client& client, int report) {
    ::prctl(PR_SET_NAME, client.name);
    // Keeps root as its saved user, for the sender to take back.
    if (client.otherUser && ::setresuid(65534, 65534, 0) != 0) ::_exit(1);
    if (!client.ownsPty) ::setsid();
    termios mode{};
    if (client.keyByKey && ::tcgetattr(0, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(0, TCSANOW, &mode);
    }
    pid_t companion = 0;
    if ((client.companion || client.helper) && (companion = ::fork()) == 0) {
        ::prctl(PR_SET_NAME, "reader");
        if (client.helper) {  // as gpgconf under NeoMutt: busy, but not with the terminal
            const int null = ::open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        }
        pollfd keys{0, POLLIN, 0};
        for (;;) ::poll(&keys, 1, -1);
    }
    const pid_t self = ::getpid();
    const pid_t sender = ::fork();
    if (sender == 0) RunSender(client, self, companion, report);
    // Blocked in waitpid, or reading its terminal key by key as aerc does.
    while (::waitpid(sender, nullptr, client.waits ? 0 : WNOHANG) == 0) {
        pollfd keys{client.ownsPty ? 0 : -1, POLLIN, 0};
        ::poll(&keys, 1, 20);
    }
    if (companion > 0) ::kill(companion, SIGKILL);
    ::_exit(0);
}

// Starts the client, which starts the sender; what the sender reported.
std::string Reach(const Client& client) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipe";
    UniqueFd reportRead(ends[0]), reportWrite(ends[1]);
    int master = -1;
    const pid_t pid = client.ownsPty ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
    if (pid == 0) RunClient(client, reportWrite.Get());
    const UniqueFd masterOwner(master);  // closing it early would hang the client up
    reportWrite.Reset();
    std::string report;
    char buffer[512];
    for (ssize_t got; (got = ::read(reportRead.Get(), buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<size_t>(got));
    }
    ::waitpid(pid, nullptr, 0);
    return report;
}

TEST(TerminalReach, ATerminalNobodyReadsKeyByKeyOrNobody) {
    const struct {
        Client client;
        const char* found;
    } cases[] = {
        {{.name = "mutt", .newSession = true},
         "borrowed|%t|%p|terminal %t of mutt (pid %p), which waits for this send"},
        {{.name = "aerc", .waits = false},
         "none||0|the terminal %t is being read by aerc (pid %p)"},
        {{.name = "aerc", .waits = false, .newSession = true},
         "none||0|the terminal %t is being read by aerc (pid %p)"},
        {{.name = "git", .keyByKey = false},
         "own|/dev/tty|0|terminal %t, this send's own, in line mode"},
        // A full-screen program that runs the sender on its own terminal and waits.
        {{.name = "vim"},
         "borrowed|/dev/tty|%p|terminal %t of vim (pid %p), which waits for this send"},
        {{.name = "daemon",
          .ownsPty = false,
          .keyByKey = false,
          .waits = false,
          .newSession = true},
         "none||0|no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .otherUser = true},
         "none||0|no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .companion = true},
         "none||0|the terminal %t of mutt (pid %p) is being read by reader (pid %r)"},
        {{.name = "neomutt", .newSession = true, .helper = true},
         "borrowed|%t|%p|terminal %t of neomutt (pid %p), which waits for this send"},
    };
    for (const auto& c : cases) {
        if (c.client.otherUser && ::getuid() != 0) continue;  // needs root to change users
        EXPECT_EQ(Reach(c.client), c.found) << c.client.name;
    }
}

// A Go program such as aerc may have a thread in waitpid for its child while
// another reads the terminal: a process waits only when every thread does.
TEST(TerminalReach, OneThreadWaitingIsNotTheProcessWaiting) {
    const pid_t process = ::fork();
    if (process == 0) {
        const pid_t self = ::getpid();
        if (const pid_t child = ::fork(); child != 0) {
            std::thread reader([] { ::poll(nullptr, 0, -1); });
            ::waitpid(child, nullptr, 0);
            ::_exit(0);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // goes with its parent, even one gone already
        if (::getppid() == self) ::pause();
        ::_exit(0);
    }
    // Until both threads sleep: the main one in waitpid, the other in poll.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int sleeping = 0;
    while (sleeping < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sleeping = 0;
        const std::string tasks = "/proc/" + std::to_string(process) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            std::ifstream stat(task.path() / "stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), {});
            if (text.find(") S ") != std::string::npos) ++sleeping;
        }
    }
    EXPECT_EQ(sleeping, 2);
    EXPECT_FALSE(BlockedWaitingForChild(process));
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
}

}  // namespace
}  // namespace postwarden::testing
