#include "platform/mailstore/Maildir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

#include "platform/mailstore/StoreErrors.h"

namespace postwarden::mailstore {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSubfolders[] = {"cur", "new", "tmp"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Compares two runs of digits by value, without converting them (they may be
// longer than any integer type).
int CompareNumbers(std::string_view a, std::string_view b) {
    while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
    while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

std::string_view DigitRun(std::string_view text, size_t from) {
    size_t end = from;
    while (end < text.size() && IsDigit(text[end])) ++end;
    return text.substr(from, end - from);
}

// The host part of a unique name, with the two characters a file name in a
// Maildir may not carry escaped as the convention asks.
std::string HostPart() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    std::string part;
    for (const char* c = host; *c; ++c) {
        if (*c == '/')
            part += "\\057";
        else if (*c == ':')
            part += "\\072";
        else
            part += *c;
    }
    return part;
}

// Spelled into the names of working copies; it cannot appear in a name made by
// NewUniqueName otherwise.
constexpr std::string_view kWorkingCopyMark = "_postwarden_S";

// When process `pid` started, in clock ticks since boot; nothing when it is not
// known (no such process, or no /proc).
std::optional<unsigned long long> StartTimeOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    // The command name in parentheses may hold spaces and ")": the fields
    // after it start behind its last ")", with the state (field 3). The start
    // time is field 22, the 20th of them; the next one, the virtual memory
    // size, changes while the process runs.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 0; i < 19; ++i) fields >> field;
    unsigned long long start = 0;
    if (!(fields >> start)) return std::nullopt;
    return start;
}

std::string NewUniqueName(bool workingCopy) {
    static std::atomic<unsigned> counter{0};
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    std::string name = std::to_string(now.tv_sec) + ".M" + std::to_string(now.tv_usec) + "P" +
                       std::to_string(::getpid()) + "Q" + std::to_string(++counter);
    if (workingCopy) {
        // Read once per process: a child made by fork() has a start of its own.
        static std::atomic<pid_t> cachedPid{0};
        static std::atomic<unsigned long long> cachedStart{0};
        const pid_t pid = ::getpid();
        if (cachedPid.load(std::memory_order_acquire) != pid) {
            cachedStart.store(StartTimeOf(pid).value_or(0), std::memory_order_relaxed);
            cachedPid.store(pid, std::memory_order_release);
        }
        name += std::string(kWorkingCopyMark) +
                std::to_string(cachedStart.load(std::memory_order_relaxed));
    }
    return name + "." + HostPart();
}

// The process that owns a working copy, as its name gives it.
struct Owner {
    pid_t pid = 0;
    unsigned long long started = 0;  // 0 when the owner could not tell
    std::string_view host;
};

bool TakeNumber(std::string_view& text, unsigned long long& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data()) return false;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return true;
}

bool TakePrefix(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) return false;
    text.remove_prefix(prefix.size());
    return true;
}

// The owner named by `uniqueName`, which must read exactly
// "SECONDS.M<usec>P<pid>Q<n>_postwarden_S<start>.HOST".
std::optional<Owner> OwnerOf(std::string_view uniqueName) {
    const size_t firstDot = uniqueName.find('.');
    const size_t secondDot = uniqueName.find('.', firstDot + 1);
    if (firstDot == std::string_view::npos || secondDot == std::string_view::npos) return {};
    std::string_view middle = uniqueName.substr(firstDot + 1, secondDot - firstDot - 1);
    unsigned long long micros = 0, pid = 0, count = 0, started = 0;
    if (!TakePrefix(middle, "M") || !TakeNumber(middle, micros) || !TakePrefix(middle, "P") ||
        !TakeNumber(middle, pid) || !TakePrefix(middle, "Q") || !TakeNumber(middle, count) ||
        !TakePrefix(middle, kWorkingCopyMark) || !TakeNumber(middle, started) || !middle.empty() ||
        pid == 0 || pid > static_cast<unsigned long long>(std::numeric_limits<pid_t>::max())) {
        return {};
    }
    return Owner{static_cast<pid_t>(pid), started, uniqueName.substr(secondDot + 1)};
}

// Whether the owner still runs. A process id in use by a process that started
// at another time was taken over after the owner ended.
bool Running(const Owner& owner) {
    if (::kill(owner.pid, 0) != 0 && errno == ESRCH) return false;
    if (owner.started == 0) return true;
    const std::optional<unsigned long long> started = StartTimeOf(owner.pid);
    return !started || *started == owner.started;
}

void MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw SystemError(errno, path);
}

void SyncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes `bytes` to the new file `path`, owner-only, and syncs it when `sync`.
// Returns false when the name is taken; throws on any other failure, leaving no
// file behind.
bool WriteNewFile(const std::string& path, std::string_view bytes, bool sync) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        throw SystemError(errno, path);
    }
    int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    for (size_t done = 0; error == 0 && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            error = errno;
        else
            done += static_cast<size_t>(n);
    }
    if (error == 0 && sync && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(path.c_str());
        throw SystemError(error, path);
    }
    return true;
}

// A file under tmp/ holding `bytes`; returns its unique name and path.
MessageFile WriteTemporary(const std::string& folder, std::string_view bytes, bool workingCopy) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        MessageFile file{NewUniqueName(workingCopy), {}};
        file.path = folder + "/tmp/" + file.uniqueName;
        // A working copy goes when its process ends, and one left by a crash
        // is removed unread: waiting for it to reach the disk would only hold
        // the send up.
        if (WriteNewFile(file.path, bytes, !workingCopy)) return file;
    }
    throw SystemError(EEXIST, folder + "/tmp");
}

}  // namespace

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsMaildir(const std::string& folder) {
    return std::all_of(std::begin(kSubfolders), std::end(kSubfolders),
                       [&](const char* sub) { return IsFolder(folder + "/" + sub); });
}

std::string_view UniqueNameOf(std::string_view fileName) {
    return fileName.substr(0, fileName.find(':'));
}

bool IsUniqueName(std::string_view text) {
    return !text.empty() && text.front() != '.' && text.find_first_of("/:") == text.npos &&
           text.find('\0') == text.npos;
}

bool DeliveredBefore(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::string_view x = DigitRun(a, i), y = DigitRun(b, j);
            if (const int order = CompareNumbers(x, y); order != 0) return order < 0;
            i += x.size();
            j += y.size();
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

std::vector<MessageFile> ListMessages(const std::string& folder) {
    if (!IsMaildir(folder)) throw NotFound("no mail folder at " + folder);
    std::vector<MessageFile> messages;
    for (const char* sub : {"new", "cur"}) {
        const std::string path = folder + "/" + sub;
        std::error_code error;
        fs::directory_iterator it(path, error);
        if (error) throw SystemError(error.value(), path);
        for (const fs::directory_entry& entry : it) {
            const std::string name = entry.path().filename().string();
            std::error_code typeError;
            if (name.empty() || name.front() == '.' || !entry.is_regular_file(typeError)) continue;
            messages.push_back({std::string(UniqueNameOf(name)), entry.path().string()});
        }
    }
    std::sort(messages.begin(), messages.end(), [](const MessageFile& a, const MessageFile& b) {
        if (a.uniqueName != b.uniqueName) return DeliveredBefore(a.uniqueName, b.uniqueName);
        return a.path < b.path;
    });
    return messages;
}

std::string FindMessage(const std::string& folder, std::string_view uniqueName) {
    if (!IsUniqueName(uniqueName)) return {};
    for (const char* sub : {"cur", "new"}) {
        std::error_code error;
        for (fs::directory_iterator it(folder + "/" + sub, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (UniqueNameOf(name) == uniqueName) return it->path().string();
        }
    }
    return {};
}

namespace {

std::string Deliver(const std::string& folder, std::string_view bytes, std::string_view flags,
                    bool workingCopy) {
    MakeFolder(folder);
    for (const char* sub : kSubfolders) MakeFolder(folder + "/" + sub);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const MessageFile file = WriteTemporary(folder, bytes, workingCopy);
        const std::string target = folder + "/cur/" + file.uniqueName + ":2," + std::string(flags);
        // link() never replaces an existing message, unlike rename().
        if (::link(file.path.c_str(), target.c_str()) == 0) {
            ::unlink(file.path.c_str());
            if (!workingCopy) SyncFolder(folder + "/cur");
            return file.uniqueName;
        }
        const int error = errno;
        ::unlink(file.path.c_str());
        if (error != EEXIST) throw SystemError(error, target);
    }
    throw SystemError(EEXIST, folder + "/cur");
}

}  // namespace

std::string DeliverMessage(const std::string& folder, std::string_view bytes,
                           std::string_view flags) {
    return Deliver(folder, bytes, flags, false);
}

std::string DeliverWorkingCopy(const std::string& folder, std::string_view bytes,
                               std::string_view flags) {
    return Deliver(folder, bytes, flags, true);
}

void ReplaceMessage(const std::string& folder, std::string_view uniqueName,
                    std::string_view bytes) {
    const std::string path = FindMessage(folder, uniqueName);
    if (path.empty()) throw NotFound(folder + "/cur/" + std::string(uniqueName));
    // The new content of a working copy is one too while it waits under tmp/.
    const MessageFile file = WriteTemporary(folder, bytes, IsWorkingCopy(uniqueName));
    if (::rename(file.path.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(file.path.c_str());
        throw SystemError(error, path);
    }
    if (!IsWorkingCopy(uniqueName)) SyncFolder(path.substr(0, path.rfind('/')));
}

bool RemoveMessage(const std::string& folder, std::string_view uniqueName) {
    const std::string path = FindMessage(folder, uniqueName);
    if (path.empty()) return false;
    if (::unlink(path.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    throw SystemError(errno, path);
}

bool IsWorkingCopy(std::string_view uniqueName) {
    return OwnerOf(uniqueName).has_value();
}

size_t RemoveAbandonedWorkingCopies(const std::string& folder) {
    const std::string host = HostPart();
    size_t removed = 0;
    for (const char* sub : kSubfolders) {
        std::error_code error;
        for (fs::directory_iterator it(folder + "/" + sub, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            const std::optional<Owner> owner = OwnerOf(UniqueNameOf(name));
            if (!owner || owner->host != host || Running(*owner)) continue;
            removed += ::unlink(it->path().c_str()) == 0;
        }
    }
    return removed;
}

}  // namespace postwarden::mailstore
