#pragma once

// Runs the built `postwarden` command as a separate process, the way users and
// scripts do, and collects what it printed.

#include <string>
#include <vector>

namespace postwarden::testing {

struct CommandResult {
    int exitCode = -1;  // -1 when it did not exit normally (a crash)
    std::string out;
    std::string err;
};

// Runs build/postwarden with `args`, feeding `input` on standard input, with
// `env` ("NAME=value") added to the environment, in a session of its own
// without a terminal or a display. A run that stays silent for a minute is
// killed (exitCode -1).
CommandResult RunPostwarden(const std::vector<std::string>& args, const std::string& input = "",
                            const std::vector<std::string>& env = {});

// The same for another copy of the command, or any other program, at `program`.
CommandResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input = "", const std::vector<std::string>& env = {});

// Sets or clears the immutable flag, which holds a file or a folder as it is
// even for root; false when the file system or the user cannot.
bool SetImmutable(const std::string& path, bool on);

// Writes `folder`/`name`: a stand-in for the real sendmail that writes its
// arguments, one a line, to `folder`/args, appends its standard input to
// `folder`/input and exits with $FAKE_STATUS (0 when unset). Returns its path.
std::string WriteFakeSendmail(const std::string& folder, const std::string& name = "sendmail");

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A fresh empty folder under the temporary folder, removed by the destructor.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace postwarden::testing
