#pragma once

// File permission helpers shared by the test programs that check modes.
#include <sys/stat.h>

#include <string>

namespace postwarden::testing {

// Sets the process's umask for one scope.
class Umask {
  public:
    explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
    ~Umask() { ::umask(saved_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

  private:
    mode_t saved_;
};

// The permission bits of `path`; -1 when it does not exist.
inline int ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

}  // namespace postwarden::testing
