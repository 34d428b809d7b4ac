#pragma once

// Starting whole processes for the benchmarks that time the command as a mail
// client runs it, and the message they hand it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace postwarden::bench {

// Runs `program` with `args`, standard input from `inputPath`, output
// discarded; its exit status, -1 when it did not exit. `usage` gets what the
// process used.
inline int RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& inputPath = "/dev/null", rusage* usage = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    rusage used{};
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, raw.data(), environ) == 0) {
        wait4(pid, &status, 0, &used);
    }
    if (usage != nullptr) *usage = used;
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes the everyday message of the benchmarks to `path`: `recipients`
// people in the company on To, and about `bodyBytes` of HTML.
inline void WriteTypicalMessage(const std::string& path, int recipients, size_t bodyBytes) {
    std::ofstream out(path, std::ios::binary);
    out << "From: Me <me@corp.example>\r\nTo: ";
    for (int i = 0; i < recipients; ++i) {
        out << (i ? ",\r\n " : "") << "Person " << i << " <person" << i << "@corp.example>";
    }
    out << "\r\nSubject: Weekly report\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
    const std::string paragraph =
        "<p>The quarterly figures for the northern region are attached; please review "
        "them before the meeting on Thursday.</p>\r\n";
    for (size_t n = 0; n < bodyBytes; n += paragraph.size()) out << paragraph;
    out << "</body></html>\r\n";
}

}  // namespace postwarden::bench
