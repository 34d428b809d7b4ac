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
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/windows/UniqueFd.h"

namespace postwarden::testing {
namespace {

// Waits (five seconds at most) until `pid` sleeps in a wait for its child.
void AwaitBlocked(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!BlockedWaitingForChild(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// How a mail client starts the process that looks for a terminal.
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
};

struct Found {
    TerminalReach reach;
    std::string pty;  // the client's terminal
    pid_t client = 0;
    pid_t companion = 0;
};

std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
        if (got < 0 && errno != EINTR) break;
    }
    return text;
}

// The sender: ReachTerminal() once the programs above it have settled, its
// result written to `report`, one field a line.
[[noreturn]] void RunSender(const Client& client, pid_t clientPid, int report) {
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
    std::ostringstream out;
    out << static_cast<int>(reach.use) << "\n"
        << reach.path << "\n"
        << reach.lender << "\n"
        << reach.why << "\n";
    const std::string text = out.str();
    if (::write(report, text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);
}

[[noreturn]] void RunClient(const Client& client, int report) {
    ::prctl(PR_SET_NAME, client.name);
    // Keeps root as its saved user, for the sender to take back.
    if (client.otherUser && ::setresuid(65534, 65534, 0) != 0) ::_exit(1);
    if (!client.ownsPty) ::setsid();
    if (client.keyByKey) {
        termios mode{};
        ::tcgetattr(0, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(0, TCSANOW, &mode);
    }
    const pid_t self = ::getpid();
    pid_t companion = 0;
    if (client.companion && (companion = ::fork()) == 0) {
        ::prctl(PR_SET_NAME, "reader");
        pollfd keys{0, POLLIN, 0};
        for (;;) ::poll(&keys, 1, -1);
    }
    const pid_t sender = ::fork();
    if (sender == 0) RunSender(client, self, report);
    if (client.waits) {
        ::waitpid(sender, nullptr, 0);
    } else {
        // Reads its terminal key by key while the sender runs, as aerc does.
        while (::waitpid(sender, nullptr, WNOHANG) == 0) {
            pollfd keys{client.ownsPty ? 0 : -1, POLLIN, 0};
            ::poll(&keys, 1, 20);
        }
    }
    if (companion > 0) {
        ::kill(companion, SIGKILL);
        ::waitpid(companion, nullptr, 0);
        const std::string line = std::to_string(companion) + "\n";
        if (::write(report, line.data(), line.size()) < 0) ::_exit(1);
    }
    ::_exit(0);
}

Found Reach(const Client& client) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipe";
    UniqueFd reportRead(ends[0]), reportWrite(ends[1]);
    int master = -1;
    char name[256] = "";
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    const pid_t pid = client.ownsPty ? ::forkpty(&master, name, nullptr, &size) : ::fork();
    if (pid == 0) RunClient(client, reportWrite.get());
    const UniqueFd masterOwner(master);  // closing it early would hang the client up
    reportWrite.Reset();
    std::istringstream lines(ReadToEnd(reportRead.get()));
    ::waitpid(pid, nullptr, 0);

    Found found;
    found.pty = name;
    found.client = pid;
    std::string use, lender, companion;
    std::getline(lines, use);
    std::getline(lines, found.reach.path);
    std::getline(lines, lender);
    std::getline(lines, found.reach.why);
    std::getline(lines, companion);
    found.companion = companion.empty() ? 0 : std::stoi(companion);
    found.reach.use = static_cast<TerminalReach::Use>(use.empty() ? -1 : std::stoi(use));
    found.reach.lender = lender.empty() ? 0 : std::stoi(lender);
    return found;
}

TEST(TerminalReach, ATerminalNobodyReadsKeyByKeyOrNobody) {
    using Use = TerminalReach::Use;
    const struct {
        Client client;
        Use use;
        const char* path;  // null: the client's pseudo-terminal
        bool lends;        // the client's group is to redraw afterwards
        const char* why;   // %t: the client's terminal, %p: the client's pid, %r: the companion's
    } cases[] = {
        {{.name = "mutt", .newSession = true},
         Use::kBorrowed,
         nullptr,
         true,
         "terminal %t of mutt (pid %p), which waits for this send"},
        {{.name = "aerc", .waits = false},
         Use::kNone,
         "",
         false,
         "the terminal %t is being read by aerc (pid %p)"},
        {{.name = "aerc", .waits = false, .newSession = true},
         Use::kNone,
         "",
         false,
         "the terminal %t is being read by aerc (pid %p)"},
        {{.name = "git", .keyByKey = false},
         Use::kOwn,
         "/dev/tty",
         false,
         "terminal %t, this send's own, in line mode"},
        // A full-screen program that runs the sender on its own terminal and waits.
        {{.name = "vim"},
         Use::kBorrowed,
         "/dev/tty",
         true,
         "terminal %t of vim (pid %p), which waits for this send"},
        {{.name = "daemon",
          .ownsPty = false,
          .keyByKey = false,
          .waits = false,
          .newSession = true},
         Use::kNone,
         "",
         false,
         "no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .otherUser = true},
         Use::kNone,
         "",
         false,
         "no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .companion = true},
         Use::kNone,
         "",
         false,
         "the terminal %t of mutt (pid %p) is being read by reader (pid %r)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.client.name) + (c.client.newSession ? " new session" : ""));
        if (c.client.otherUser && ::getuid() != 0) {
            std::cout << "skipped: a client of another user needs root\n";
            continue;
        }
        const Found found = Reach(c.client);
        std::string why = c.why;
        for (size_t at; (at = why.find("%t")) != std::string::npos;) why.replace(at, 2, found.pty);
        for (size_t at; (at = why.find("%p")) != std::string::npos;) {
            why.replace(at, 2, std::to_string(found.client));
        }
        for (size_t at; (at = why.find("%r")) != std::string::npos;) {
            why.replace(at, 2, std::to_string(found.companion));
        }
        EXPECT_EQ(found.reach.why, why);
        EXPECT_EQ(found.reach.use, c.use);
        EXPECT_EQ(found.reach.path, c.path ? c.path : found.pty);
        EXPECT_EQ(found.reach.lender, c.lends ? found.client : 0);
    }
}

// A Go program such as aerc may have a thread in waitpid for its child while
// another reads the terminal: a process waits only when every thread does.
TEST(TerminalReach, OneThreadWaitingIsNotTheProcessWaiting) {
    const pid_t process = ::fork();
    if (process == 0) {
        const pid_t self = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            // Goes with its parent, even one killed before this line.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != self) ::_exit(0);
            ::pause();
            ::_exit(0);
        }
        std::thread reader([] { ::poll(nullptr, 0, -1); });
        ::waitpid(child, nullptr, 0);
        ::_exit(0);
    }
    // Until both threads sleep: the main one in waitpid, the other in poll.
    const std::string tasks = "/proc/" + std::to_string(process) + "/task";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool settled = false;
    while (!settled && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int sleeping = 0;
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            std::ifstream stat(task.path() / "stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), {});
            const size_t close = text.rfind(')');
            if (close != std::string::npos && text.compare(close, 4, ") S ") == 0) ++sleeping;
        }
        settled = sleeping == 2;
    }
    EXPECT_TRUE(settled);
    EXPECT_FALSE(BlockedWaitingForChild(process));
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
}

}  // namespace
}  // namespace postwarden::testing
