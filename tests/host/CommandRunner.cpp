#include "tests/host/CommandRunner.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/UniqueFd.h"

namespace postwarden::testing {

namespace {

// In a child: like a mail client's sendmail program, no terminal and no
// display of the test run's, and no scripted answers, unless `env` gives them.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
    signal(SIGPIPE, SIG_DFL);  // the parent ignores it; a program starts with the default
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "POSTWARDEN_ANSWERS"}) {
        unsetenv(name);
    }
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
}

int ExitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool ReadUntil(int fd, std::string& text, const std::string& part, int seconds) {
    for (int waited = 0; text.find(part) == std::string::npos && waited < seconds * 10; ++waited) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text.find(part) != std::string::npos;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

int Started::Wait() const {
    return ExitCode(pid);
}

Started StartProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, const std::vector<std::string>& env,
                     bool onTerminal) {
    Started started;
    if (onTerminal) {
        int terminal = -1;
        started.pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (started.pid == 0) Exec(program, args, env);
        started.output.Reset(terminal);
        return started;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC)) return started;
    started.pid = fork();
    if (started.pid == 0) {
        const int in = ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY | O_CLOEXEC);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(null, 2);
        setsid();
        Exec(program, args, env);
    }
    close(out[1]);
    started.output.Reset(out[0]);
    return started;
}

CommandResult RunPostwarden(const std::vector<std::string>& args, const std::string& input,
                            const std::vector<std::string>& env) {
    std::vector<std::string> chunks;
    if (!input.empty()) chunks.push_back(input);
    return RunProgram(POSTWARDEN_BINARY_DIR "/postwarden", args, chunks, env);
}

CommandResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& chunks,
                         const std::vector<std::string>& env) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        setsid();
        Exec(program, args, env);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // A program may refuse its input without reading all of it: the write then
    // fails with EPIPE instead of ending the test program.
    signal(SIGPIPE, SIG_IGN);
    CommandResult result;
    size_t chunk = 0, written = 0;
    int inFd = in[1];
    if (chunks.empty()) {
        close(inFd);
        inFd = -1;
    }
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen || inFd >= 0) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(fds, 3, 60000) <= 0) {
            // Hung: stop it, so that the test fails instead of waiting for ever.
            kill(pid, SIGKILL);
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (!(i == 0 ? outOpen : errOpen) || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const std::string& bytes = chunks[chunk];
            const ssize_t n = write(inFd, bytes.data() + written, bytes.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n > 0 && written == bytes.size() && ++chunk < chunks.size()) {
                // A pause, so that the program sees the next chunk in a read of its own.
                written = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            } else if (n <= 0 || written == bytes.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (inFd >= 0) close(inFd);
    result.exitCode = ExitCode(pid);
    return result;
}

std::vector<LogRecord> LogRecords(const std::string& home) {
    std::vector<LogRecord> records;
    std::ifstream in(home + "/postwarden.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        auto record = ParseRecord(line);
        EXPECT_TRUE(record.has_value()) << "not a whole record: " << line;
        if (record) records.push_back(*record);
    }
    return records;
}

std::string WriteFakeSendmail(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n"
                           "out=\"$(dirname \"$0\")\"\n"
                           "printf '%s\\n' \"$@\" > \"$out/args\"\n"
                           "cat >> \"$out/input\"\n"
                           "exit ${FAKE_STATUS:-0}\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

bool SetImmutable(const std::string& path, bool on) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    if (!fd || ::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags) == 0;
}

}  // namespace postwarden::testing
