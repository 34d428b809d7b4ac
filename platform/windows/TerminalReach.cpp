#include "platform/windows/TerminalReach.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/TerminalText.h"
#include "platform/UniqueFd.h"

namespace postwarden {

namespace {

namespace fs = std::filesystem;

// A chain of parents longer than this is not a chain of programs waiting for
// each other.
constexpr int kMaxAncestors = 64;

// What the kernel names the place a thread sleeps in while it waits for a
// child, by kernel version: wait4 and waitpid, waitid.
constexpr std::string_view kChildWaits[] = {"do_wait",        "kernel_wait4",    "kernel_waitid",
                                            "__do_sys_wait4", "__do_sys_waitid", "__se_sys_wait4"};

// The fields of /proc/PID/stat that say how a process stands to its terminal.
struct ProcessStat {
    pid_t pid = 0;
    std::string name;
    pid_t parent = 0;
    pid_t group = 0;
    unsigned tty = 0;  // the controlling terminal's device number; 0 for none
    pid_t foregroundGroup = 0;
};

std::optional<std::string> ReadSmallFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return text.str();
}

std::string ProcPath(pid_t pid) {
    return "/proc/" + std::to_string(pid);
}

std::optional<ProcessStat> ReadStat(pid_t pid) {
    const std::optional<std::string> text = ReadSmallFile(ProcPath(pid) + "/stat");
    if (!text) return std::nullopt;
    // The name may hold blanks and parentheses itself; it ends at the last ')'.
    const size_t open = text->find('(');
    const size_t close = text->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    ProcessStat stat;
    stat.pid = pid;
    stat.name = text->substr(open + 1, close - open - 1);
    std::istringstream fields(text->substr(close + 1));
    char state = 0;
    pid_t session = 0;
    long tty = 0;
    if (!(fields >> state >> stat.parent >> stat.group >> session >> tty >> stat.foregroundGroup)) {
        return std::nullopt;
    }
    stat.tty = static_cast<unsigned>(tty);
    return stat;
}

std::optional<uid_t> RealUid(pid_t pid) {
    const std::optional<std::string> status = ReadSmallFile(ProcPath(pid) + "/status");
    if (!status) return std::nullopt;
    const size_t at = status->find("\nUid:");
    if (at == std::string::npos) return std::nullopt;
    std::istringstream fields(status->substr(at + 5));
    uid_t uid = 0;
    if (!(fields >> uid)) return std::nullopt;
    return uid;
}

// "mutt (pid 812)"; a process may give itself any name, so it is escaped.
std::string Describe(const ProcessStat& process) {
    return EscapeForTerminal(process.name) + " (pid " + std::to_string(process.pid) + ")";
}

// This process's parents, nearest first, up to but not including init, which
// waits for every orphan rather than for us.
std::vector<ProcessStat> Ancestors() {
    std::vector<ProcessStat> chain;
    std::optional<ProcessStat> at = ReadStat(::getpid());
    while (at && at->parent > 1 && static_cast<int>(chain.size()) < kMaxAncestors) {
        at = ReadStat(at->parent);
        if (at) chain.push_back(*at);
    }
    return chain;
}

std::vector<ProcessStat> GroupMembers(pid_t group) {
    std::vector<ProcessStat> members;
    std::error_code error;
    for (auto entry = fs::directory_iterator("/proc", error);
         !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
        if (name.empty() || !std::all_of(name.begin(), name.end(), digit)) continue;
        std::optional<ProcessStat> stat = ReadStat(static_cast<pid_t>(std::stol(name)));
        if (stat && stat->group == group) members.push_back(std::move(*stat));
    }
    return members;
}

bool SameDevice(const std::string& path, dev_t device) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device;
}

// A path that opens the terminal `tty` (a device number as /proc gives it) of
// process `pid`: what one of its standard descriptors names, else the
// pseudo-terminal or console of that number; empty when none is found.
std::string DevicePath(pid_t pid, unsigned tty) {
    const dev_t device = ::makedev((tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00));
    for (int fd = 0; fd <= 2; ++fd) {
        const std::string link = ProcPath(pid) + "/fd/" + std::to_string(fd);
        if (!SameDevice(link, device)) continue;
        std::error_code error;
        const fs::path target = fs::read_symlink(link, error);
        // Seen from another mount namespace the name may not be ours to open.
        return !error && SameDevice(target, device) ? target.string() : link;
    }
    const unsigned major = ::major(device);
    const unsigned minor = ::minor(device);
    std::string guess;
    if (major >= 136 && major <= 143) {
        guess = "/dev/pts/" + std::to_string((major - 136) * 256 + minor);
    } else if (major == 4 && minor < 64) {
        guess = "/dev/tty" + std::to_string(minor);
    }
    return !guess.empty() && SameDevice(guess, device) ? guess : "";
}

TerminalReach Nobody(std::string why) {
    return {TerminalReach::Use::kNone, "", 0, std::move(why)};
}

// Our controlling terminal, open as `fd`. In line mode the terminal driver
// holds the keys until Enter, so nobody reads it key by key and a form may take
// it. In key-by-key mode some program is reading it, and only programs that
// wait for us may share its foreground; then the form borrows their screen.
TerminalReach ReachOwnTerminal(int fd) {
    const std::optional<ProcessStat> self = ReadStat(::getpid());
    std::string name = self ? DevicePath(self->pid, self->tty) : "";
    if (name.empty()) name = "/dev/tty";
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0) {
        return Nobody("the terminal " + name + " cannot be used: " + std::strerror(errno));
    }
    const pid_t foreground = ::tcgetpgrp(fd);
    if (foreground < 0) {
        return Nobody("the terminal " + name + " cannot be used: " + std::strerror(errno));
    }
    if (foreground != ::getpgrp()) {
        return Nobody("this send runs in the background of the terminal " + name);
    }
    if (mode.c_lflag & ICANON) {
        return {TerminalReach::Use::kOwn, "/dev/tty", 0,
                "terminal " + name + ", this send's own, in line mode"};
    }
    const dev_t device = TerminalDevice(fd);
    const std::vector<ProcessStat> ancestors = Ancestors();
    for (const ProcessStat& member : GroupMembers(foreground)) {
        if (member.pid == ::getpid() || (device != 0 && !HoldsTerminal(member.pid, device))) {
            continue;
        }
        const bool ancestor =
            std::any_of(ancestors.begin(), ancestors.end(),
                        [&](const ProcessStat& a) { return a.pid == member.pid; });
        if (!ancestor || !BlockedWaitingForChild(member.pid)) {
            return Nobody("the terminal " + name + " is being read by " + Describe(member));
        }
    }
    // The farthest waiting parent in the foreground is the program whose screen it is.
    const auto lender = std::find_if(ancestors.rbegin(), ancestors.rend(),
                                     [&](const ProcessStat& a) { return a.group == foreground; });
    if (lender == ancestors.rend()) {
        return {TerminalReach::Use::kOwn, "/dev/tty", 0,
                "terminal " + name + ", this send's own, which nobody else reads"};
    }
    return {TerminalReach::Use::kBorrowed, "/dev/tty", foreground,
            "terminal " + name + " of " + Describe(*lender) + ", which waits for this send"};
}

TerminalReach BorrowTerminalOf(const ProcessStat& owner) {
    const std::string path = DevicePath(owner.pid, owner.tty);
    if (path.empty()) return Nobody("the terminal of " + Describe(owner) + " cannot be found");
    const std::string terminal = "the terminal " + path + " of " + Describe(owner);
    if (owner.foregroundGroup <= 0) return Nobody(terminal + " has no foreground program");
    const std::string reader = ReaderInGroup(owner.foregroundGroup, static_cast<dev_t>(owner.tty));
    if (!reader.empty()) return Nobody(terminal + " is being read by " + reader);
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid() || !::isatty(fd.Get())) {
        return Nobody(terminal + " cannot be opened: " + std::strerror(errno));
    }
    return {TerminalReach::Use::kBorrowed, path, owner.foregroundGroup,
            "terminal " + path + " of " + Describe(owner) + ", which waits for this send"};
}

// Why the terminal of `parent`, which does not wait for us, is no use: in the
// likely case its foreground program reads it (aerc, running us in a session of
// our own).
TerminalReach NotWaiting(const ProcessStat& parent) {
    const std::string path = DevicePath(parent.pid, parent.tty);
    const std::string reader =
        ReaderInGroup(parent.foregroundGroup, static_cast<dev_t>(parent.tty));
    if (!path.empty() && !reader.empty()) {
        return Nobody("the terminal " + path + " is being read by " + reader);
    }
    return Nobody("no terminal, and " + Describe(parent) +
                  ", which has one, does not wait for this send");
}

// Without a terminal of our own: the nearest parent with a terminal, provided
// that it and every parent between us wait for us. Only the person's own
// programs count: a program of another user waiting is no sign that the person
// sits at its terminal.
TerminalReach ReachWaitingProgramsTerminal() {
    const uid_t uid = ::getuid();
    for (const ProcessStat& ancestor : Ancestors()) {
        const bool ours = RealUid(ancestor.pid) == uid;
        if (ours && BlockedWaitingForChild(ancestor.pid)) {
            if (ancestor.tty != 0) return BorrowTerminalOf(ancestor);
            continue;
        }
        if (ours && ancestor.tty != 0) return NotWaiting(ancestor);
        break;
    }
    return Nobody("no terminal, and no waiting program's terminal");
}

}  // namespace

bool BlockedWaitingForChild(pid_t pid) {
    int threads = 0;
    std::error_code error;
    for (auto entry = fs::directory_iterator(ProcPath(pid) + "/task", error);
         !error && entry != fs::directory_iterator(); entry.increment(error)) {
        std::optional<std::string> wchan = ReadSmallFile(entry->path().string() + "/wchan");
        if (!wchan) return false;
        while (!wchan->empty() && std::isspace(static_cast<unsigned char>(wchan->back()))) {
            wchan->pop_back();
        }
        if (std::find(std::begin(kChildWaits), std::end(kChildWaits), *wchan) ==
            std::end(kChildWaits)) {
            return false;
        }
        ++threads;
    }
    return !error && threads > 0;
}

dev_t TerminalDevice(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    if (info.st_rdev != makedev(5, 0)) return info.st_rdev;
    const std::optional<ProcessStat> self = ReadStat(::getpid());
    return self ? static_cast<dev_t>(self->tty) : 0;
}

bool HoldsTerminal(pid_t pid, dev_t terminal) {
    std::error_code error;
    fs::directory_iterator entry(ProcPath(pid) + "/fd", error);
    if (error) return true;
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        struct stat info {};
        if (::stat(entry->path().c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == terminal) {
            return true;
        }
    }
    return static_cast<bool>(error);
}

std::string ReaderInGroup(pid_t group, dev_t terminal) {
    if (group <= 0) return "";  // group 0 would be the kernel's own threads
    for (const ProcessStat& member : GroupMembers(group)) {
        if (member.pid != ::getpid() && !BlockedWaitingForChild(member.pid) &&
            HoldsTerminal(member.pid, terminal)) {
            return Describe(member);
        }
    }
    return "";
}

TerminalReach ReachTerminal() {
    const UniqueFd own(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (own.Valid()) return ReachOwnTerminal(own.Get());
    return ReachWaitingProgramsTerminal();
}

}  // namespace postwarden
