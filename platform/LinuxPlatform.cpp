#include "platform/LinuxPlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/WindowWrapper.h"
#include "platform/HugePages.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogRecord.h"
#include "platform/history/RecipientHistory.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/net/ImapSession.h"
#include "platform/net/UrlFetch.h"
#include "platform/registry/Registry.h"
#include "util/Limits.h"

namespace postwarden {

namespace {

// Writes the log's waiting records before a window shows anything or takes an
// answer: what was traced before a question is in the file while it is asked,
// and stays there if the person kills the process instead of answering.
class LogFirstWindows final : public WindowWrapper {
  public:
    // `platform` must outlive this.
    LogFirstWindows(WindowSystem& target, LinuxPlatform& platform)
        : WindowWrapper(target), platform_(platform) {}

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return Wrap<FlushingWindow>(design, events, platform_);
    }
    void ProcessPendingEvents() override {
        platform_.FlushLog();
        WindowWrapper::ProcessPendingEvents();
    }
    void MessageBox(std::string_view text, std::string_view title) override {
        platform_.FlushLog();
        WindowWrapper::MessageBox(text, title);
    }

  private:
    class FlushingWindow final : public WrappedWindow {
      public:
        FlushingWindow(WindowEvents& form, LinuxPlatform& platform)
            : WrappedWindow(form), platform_(platform) {}

      protected:
        void Passing(std::string_view operation) override {
            if (operation == "ShowModal" || operation == "ShowModeless" ||
                operation == "Activate") {
                platform_.FlushLog();
            }
        }

      private:
        LinuxPlatform& platform_;
    };

    LinuxPlatform& platform_;
};

}  // namespace

LinuxPlatform::LinuxPlatform(Options options, std::unique_ptr<WindowSystem> windows)
    : options_(std::move(options)),
      windows_(std::move(windows)),
      logFirst_(std::make_unique<LogFirstWindows>(*windows_, *this)) {
    // Qt's own messages are events of the log while this platform stands, never
    // text on the mail client's screen. Qt starts its threads only with its
    // application, when a window is shown, by which time the send has traced
    // and the log is open: no thread of Qt's opens it.
    formerToolkitSink_ = SetToolkitMessageSink([this](int level, std::string_view text) {
        Log().Append(kKindEvent, level, "", kToolkitLogSource, text);
    });
}

LinuxPlatform::~LinuxPlatform() {
    SetToolkitMessageSink(std::move(formerToolkitSink_));
}

LogFile& LinuxPlatform::Log() {
    if (!log_) log_.emplace(options_.logPath);
    return *log_;
}

void LinuxPlatform::FlushLog() {
    if (log_) log_->Flush();
}

Registry& LinuxPlatform::Settings() {
    if (!registry_) registry_ = std::make_unique<Registry>(options_.registryPath);
    return *registry_;
}

RecipientHistory* LinuxPlatform::History() {
    if (!history_ && !historyPath_.empty()) {
        history_ = std::make_unique<RecipientHistory>(historyPath_);
    }
    return history_.get();
}

int64_t LinuxPlatform::RecordedSends() {
    RecipientHistory* history = History();
    return history ? history->Sends() : 0;
}

std::vector<bool> LinuxPlatform::KnownRecipients(const std::vector<std::string>& addresses) {
    std::vector<bool> known(addresses.size(), false);
    if (RecipientHistory* history = History()) {
        for (size_t i = 0; i < addresses.size(); ++i) known[i] = history->Knows(addresses[i]);
    }
    return known;
}

std::vector<bool> LinuxPlatform::KnownDomains(const std::vector<std::string>& domains) {
    std::vector<bool> known(domains.size(), false);
    if (RecipientHistory* history = History()) {
        for (size_t i = 0; i < domains.size(); ++i) known[i] = history->KnowsDomain(domains[i]);
    }
    return known;
}

std::vector<std::string> LinuxPlatform::FamiliarDomainsLike(std::string_view domain) {
    RecipientHistory* history = History();
    return history ? history->FamiliarDomainsLike(domain) : std::vector<std::string>{};
}

std::unique_ptr<EngineHelper> LinuxPlatform::NewEngineHelper() {
    return std::make_unique<FileEngineHelper>(Log());
}

std::unique_ptr<EngineLogger> LinuxPlatform::NewEngineLogger() {
    return std::make_unique<FileEngineLogger>(Log());
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
    // A server may keep the send waiting up to its time limit.
    FlushLog();
    return net::FetchUrl(url, policy);
}

std::shared_ptr<MapiSession> LinuxPlatform::CreateMailServerSession(std::string_view url,
                                                                    const FetchPolicy& policy) {
    FlushLog();
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
