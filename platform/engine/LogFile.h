#pragma once

#include <string>
#include <string_view>

namespace postwarden {

// The log file, opened once per process and appended to with whole records.
// Every record is written by one write() on a descriptor opened with O_APPEND,
// so records of concurrent processes never interleave.
class LogFile {
public:
    // Opens (creating with mode 0600) the file at `path`. Throws RuntimeError
    // when it cannot be opened.
    explicit LogFile(const std::string& path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends one record stamped now. Throws RuntimeError when the write fails.
    void Append(std::string_view kind, int32_t level, std::string_view app, std::string_view source,
                std::string_view message);
    // Appends ready-made lines as they are.
    void AppendRaw(std::string_view lines);

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace postwarden
