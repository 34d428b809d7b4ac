#include "host/audit/AuditSources.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/LinuxPlatform.h"
#include "platform/UniqueFd.h"
#include "platform/mailstore/Maildir.h"
#include "util/Limits.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace fs = std::filesystem;

std::shared_ptr<const MappedFile> MappedFile::Open(const std::string& path, std::string& error) {
    // Without waiting: a named pipe put in the file's place opens at once, and
    // is refused below.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        return nullptr;
    }
    const auto size = static_cast<size_t>(info.st_size);
    // An empty mapping is not allowed; an empty file holds no message either.
    if (size == 0) return std::shared_ptr<const MappedFile>(new MappedFile(nullptr, 0));
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.Get(), 0);
    if (data == MAP_FAILED) {
        error = std::strerror(errno);
        return nullptr;
    }
    ::madvise(data, size, MADV_SEQUENTIAL);
    return std::shared_ptr<const MappedFile>(new MappedFile(data, size));
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

std::string AuditMessage::Bytes() const {
    if (!mbox) return ReadWholeFile(path, limits::kMaxMessageBytes, "a message");
    if (quoted.size() > limits::kMaxMessageBytes) {
        throw limits::TooLarge(name, limits::kMaxMessageBytes, "a message");
    }
    return UnquoteMbox(quoted);
}

namespace {

constexpr std::string_view kFromLine = "From ";

bool IsQuotedFromLine(std::string_view line) {
    const size_t marks = line.find_first_not_of('>');
    return marks != 0 && marks != std::string_view::npos &&
           line.substr(marks).starts_with(kFromLine);
}

// Why a file of this kind holds no message to read; empty for a regular file.
// A named pipe would wait for a writer, a device (/dev/zero) never end.
std::string NotAMessageFile(const fs::file_status& status) {
    switch (status.type()) {
        case fs::file_type::regular:
            return "";
        case fs::file_type::fifo:
            return "a named pipe, not a file";
        case fs::file_type::character:
        case fs::file_type::block:
            return "a device, not a file";
        case fs::file_type::socket:
            return "a socket, not a file";
        case fs::file_type::directory:
            return "a folder, not a file";
        default:
            return "not a regular file";
    }
}

// The messages of the Maildir `folder`, in delivery order; its other entries
// but hidden files go to `found.notRead`.
void AddMaildir(const std::string& folder, AuditSources& found) {
    std::vector<std::pair<std::string, std::string>> files;  // unique name, path
    std::error_code error;
    for (const char* sub : {"new", "cur"}) {
        const fs::path dir = fs::path(folder) / sub;
        if (!fs::is_directory(dir, error)) continue;
        for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
            const std::string file = it->path().filename().string();
            if (file.starts_with('.')) continue;
            // Through a link: a link loop or one to nothing fails here.
            std::error_code broken;
            const fs::file_status status = it->status(broken);
            std::string why = broken ? broken.message() : NotAMessageFile(status);
            if (!why.empty()) {
                found.notRead.push_back({it->path().string(), std::move(why)});
                continue;
            }
            files.emplace_back(std::string(mailstore::UniqueNameOf(file)), it->path().string());
        }
        if (error) {
            found.unreadable.push_back({dir.string(), error.message()});
            return;
        }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return mailstore::DeliveredBefore(a.first, b.first);
    });
    for (auto& [unique, path] : files) found.messages.push_back({path, path, nullptr, {}});
}

void AddFile(const std::string& path, AuditSources& found) {
    std::string error;
    std::shared_ptr<const MappedFile> file = MappedFile::Open(path, error);
    if (!file) {
        found.unreadable.push_back({path, error});
        return;
    }
    if (!file->Bytes().starts_with(kFromLine)) {
        // One message; read again when its turn comes, as a Maildir's are.
        found.messages.push_back({path, path, nullptr, {}});
        return;
    }
    int number = 0;
    for (std::string_view message : SplitMbox(file->Bytes())) {
        found.messages.push_back({path + "#" + std::to_string(++number), "", file, message});
    }
}

}  // namespace

std::vector<std::string_view> SplitMbox(std::string_view bytes) {
    std::vector<std::string_view> messages;
    size_t start = std::string_view::npos;  // where the current message began
    size_t at = 0;
    const auto finish = [&](size_t end) {
        if (start == std::string_view::npos) return;
        std::string_view message = bytes.substr(start, end - start);
        // The blank line before the next From_ line belongs to the format.
        if (message.ends_with("\r\n\r\n")) {
            message.remove_suffix(2);
        } else if (message.ends_with("\n\n")) {
            message.remove_suffix(1);
        }
        messages.push_back(message);
    };
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        if (bytes.substr(at, end - at).starts_with(kFromLine)) {
            finish(at);
            start = end;
        }
        at = end;
    }
    finish(bytes.size());
    return messages;
}

std::string UnquoteMbox(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    size_t at = 0;
    while (at < message.size()) {
        size_t end = message.find('\n', at);
        end = end == std::string_view::npos ? message.size() : end + 1;
        const std::string_view line = message.substr(at, end - at);
        out.append(IsQuotedFromLine(line) ? line.substr(1) : line);
        at = end;
    }
    return out;
}

AuditSources ListSources(const std::vector<std::string>& sources) {
    AuditSources found;
    for (const std::string& source : sources) {
        std::error_code error;
        const fs::file_status status = fs::status(source, error);
        if (error) {
            found.unreadable.push_back(
                {source, error.value() == ENOENT ? "no such file or folder" : error.message()});
        } else if (fs::is_directory(status)) {
            if (fs::is_directory(fs::path(source) / "cur", error) ||
                fs::is_directory(fs::path(source) / "new", error)) {
                AddMaildir(source, found);
            } else {
                found.unreadable.push_back({source, "a folder, but no Maildir (no cur/ or new/)"});
            }
        } else if (std::string why = NotAMessageFile(status); !why.empty()) {
            found.unreadable.push_back({source, std::move(why)});
        } else {
            AddFile(source, found);
        }
    }
    return found;
}

}  // namespace postwarden::host
