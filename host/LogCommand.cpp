#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/Command.h"
#include "host/Home.h"

namespace postwarden::host {

namespace {

// Copies what `fd` holds from where it stands to standard output. False when
// reading fails.
bool CopyToStdout(int fd) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        std::fwrite(buffer, 1, static_cast<size_t>(n), stdout);
    }
}

}  // namespace

// Prints the log file as it stands, and with --follow what is added to it.
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf(
            "Usage: postwarden log [--follow]\n\n"
            "Prints the log: one record per line, TAB-separated:\n"
            "TIMESTAMP KIND LEVEL APP SOURCE MESSAGE (control characters escaped).\n\n"
            "  -f, --follow   keep printing records as they are added (stop with Ctrl-C)\n");
        return kExitOk;
    }
    bool follow = false;
    for (const std::string& arg : args) {
        if (arg == "--follow" || arg == "-f") {
            follow = true;
        } else {
            PrintError("log: unknown argument " + arg + " (see postwarden log --help)");
            return kExitUsage;
        }
    }
    const std::string path = options.home + "/" + kLogFileName;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0) {
        if (errno != ENOENT) {
            PrintError("cannot read " + path + ": " + std::strerror(errno));
            return kExitFailure;
        }
        if (!follow) return kExitOk;  // nothing logged yet
        ::usleep(250000);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    bool ok = CopyToStdout(fd);
    while (ok && follow) {
        std::fflush(stdout);
        ::usleep(250000);
        ok = CopyToStdout(fd);
    }
    ::close(fd);
    if (!ok) {
        PrintError("cannot read " + path + ": " + std::strerror(errno));
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace postwarden::host
