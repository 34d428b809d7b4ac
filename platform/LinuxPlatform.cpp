#include "platform/LinuxPlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/Limits.h"
#include "platform/HugePages.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/net/ImapSession.h"
#include "platform/net/UrlFetch.h"
#include "platform/registry/Registry.h"

namespace postwarden {

LinuxPlatform::LinuxPlatform(Options options, std::unique_ptr<WindowSystem> windows)
    : options_(std::move(options)), windows_(std::move(windows)) {}

LinuxPlatform::~LinuxPlatform() = default;

LogFile& LinuxPlatform::Log() {
    if (!log_) log_.emplace(options_.logPath);
    return *log_;
}

Registry& LinuxPlatform::Settings() {
    if (!registry_) registry_ = std::make_unique<Registry>(options_.registryPath);
    return *registry_;
}

std::unique_ptr<EngineHelper> LinuxPlatform::NewEngineHelper() {
    return std::make_unique<FileEngineHelper>(Log());
}

std::unique_ptr<EngineLogger> LinuxPlatform::NewEngineLogger() {
    return std::make_unique<FileEngineLogger>(Log());
}

std::unique_ptr<DelimitedList> LinuxPlatform::NewDelimitedList() {
    return std::make_unique<SplitDelimitedList>();
}

std::unique_ptr<RegistryAccess> LinuxPlatform::NewRegistryAccess() {
    return Settings().NewAccess();
}

std::string LinuxPlatform::GetSetting(std::string_view app, std::string_view section,
                                      std::string_view key, std::string_view defaultValue) {
    return Settings().GetSetting(app, section, key, defaultValue);
}

void LinuxPlatform::SaveSetting(std::string_view app, std::string_view section,
                                std::string_view key, std::string_view value) {
    Settings().SaveSetting(app, section, key, value);
}

std::shared_ptr<MapiSession> LinuxPlatform::CreateMapiSession(std::string_view progId) {
    if (progId != kSessionProgId) throw errors::CannotCreateObject();
    return CreateMaildirSession(options_.mailStorePath);
}

std::string LinuxPlatform::ReadTextFile(std::string_view path) {
    // The only text file the module reads is a settings document.
    return ReadWholeFile(std::string(path), limits::kMaxSettingsDocumentBytes,
                         "a settings document");
}

std::string LinuxPlatform::FetchUrl(std::string_view url, const FetchPolicy& policy) {
    return net::FetchUrl(url, policy);
}

std::shared_ptr<MapiSession> LinuxPlatform::CreateMailServerSession(std::string_view url,
                                                                    const FetchPolicy& policy) {
    return net::CreateImapSession(url, policy);
}

std::string ReadWholeFile(const std::string& path, size_t maxBytes, std::string_view purpose,
                          size_t spare) {
    // Opened without waiting, so a named pipe nobody writes to reads as empty
    // instead of holding the send; reads then wait as usual.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) throw RuntimeError(errors::kFileNotFound, "File not found");
        if (error == ENOTDIR) throw RuntimeError(errors::kPathNotFound, "Path not found");
        throw RuntimeError(errors::kPermissionDenied, std::strerror(error));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::string content;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw RuntimeError(errors::kPathNotFound, "Path not found");
    }
    if (info.st_size > 0 && static_cast<uint64_t>(info.st_size) > maxBytes) {
        ::close(fd);
        throw limits::TooLarge(path, maxBytes, purpose);
    }
    if (info.st_size > 0) {
        content.reserve(static_cast<size_t>(info.st_size) + spare);
        AdviseHugePages(content.data(), content.capacity());
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw RuntimeError(errors::kDeviceIO, std::strerror(error));
        }
        if (n == 0) break;
        // The size said nothing (a device) or the file grew while it was read.
        if (static_cast<size_t>(n) > maxBytes - content.size()) {
            ::close(fd);
            throw limits::TooLarge(path, maxBytes, purpose);
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

}  // namespace postwarden
