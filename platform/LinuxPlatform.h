#pragma once

// platform/ holds the real stand-ins for the outside components the module is
// handed through module/Platform.h; LinuxPlatform puts them together.
//   engine/     the host engine library: the log file and its records
//   registry/   the per-user settings store, one SQLite file
//   history/    whom the person has sent mail to, another SQLite file
//   mailstore/  the mail store a MAPI session opens: Maildir folders, messages
//               parsed with GMime, address lists, HTML as text
//   net/        central settings from web and IMAP servers (libcurl, loaded
//               at the first fetch)
//   windows/    the window systems: the Qt windows (a plugin loaded when a
//               window is shown), the terminal form, scripted answers, and
//               the choice between them
//   TerminalText.h, UniqueFd.h, HugePages.h, Environment.h  small helpers
//               shared by these

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/Platform.h"
#include "platform/engine/LogFile.h"
#include "platform/windows/WindowPlugin.h"

namespace postwarden {

class Registry;
class RecipientHistory;

// The SOURCE of the log's events that are Qt's own messages.
inline constexpr std::string_view kToolkitLogSource = "Qt";

// The real platform: the engine library over the log file, the registry database,
// the Maildir mail store, files, servers (platform/net/), and a window system
// chosen by the host. While it stands, Qt's own messages go into its log.
class LinuxPlatform final : public Platform {
  public:
    struct Options {
        std::string logPath;        // postwarden.log; empty for no log
        std::string registryPath;   // registry.db
        std::string mailStorePath;  // root of the Maildir store
    };

    // `windows` must be non-null. Nothing is opened until it is first needed.
    LinuxPlatform(Options options, std::unique_ptr<WindowSystem> windows);
    ~LinuxPlatform() override;

    std::unique_ptr<EngineHelper> NewEngineHelper() override;
    std::unique_ptr<EngineLogger> NewEngineLogger() override;
    std::unique_ptr<RegistryAccess> NewRegistryAccess() override;
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override;
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value) override;
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) override;
    std::string ReadTextFile(std::string_view path) override;
    std::string FetchUrl(std::string_view url, const FetchPolicy& policy) override;
    std::shared_ptr<MapiSession> CreateMailServerSession(std::string_view url,
                                                         const FetchPolicy& policy) override;
    int64_t RecordedSends() override;
    std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses) override;
    std::vector<bool> KnownDomains(const std::vector<std::string>& domains) override;
    std::vector<std::string> FamiliarDomainsLike(std::string_view domain) override;
    // The window system it was made with, behind one that writes the log's
    // waiting records before anything is shown.
    WindowSystem& Windows() override { return *logFirst_; }
    // The window system it was made with, as it was handed over.
    WindowSystem& ChosenWindows() { return *windows_; }

    // The log file, opened on first use. One that cannot be opened or written
    // is reported once on standard error and then left out; it never throws.
    LogFile& Log();
    // Writes the log's waiting records, if it was opened: before the host
    // waits for anything or hands the message on.
    void FlushLog();
    Registry& Settings();
    // Keeps the recipient history in the file `path` (history.db), opened on
    // first use. Without one the history reads as empty.
    void KeepHistoryIn(std::string path) { historyPath_ = std::move(path); }
    // The recipient history; null when none is kept.
    RecipientHistory* History();
    const Options& options() const { return options_; }

  private:
    Options options_;
    std::unique_ptr<WindowSystem> windows_;
    std::unique_ptr<WindowSystem> logFirst_;  // over windows_
    std::optional<LogFile> log_;
    std::unique_ptr<Registry> registry_;
    std::string historyPath_;
    std::unique_ptr<RecipientHistory> history_;
    ToolkitMessageSink formerToolkitSink_;  // put back when this goes
};

// Reads a whole file; throws "File not found" (53), "Path not found" (76) or
// another RuntimeError naming the cause. A file of more than `maxBytes` is
// refused before it is read, or as soon as reading passes the limit (a device or
// a file still growing), with limits::TooLarge naming `purpose`. The string has
// capacity for `spare` bytes more.
std::string ReadWholeFile(const std::string& path, size_t maxBytes = SIZE_MAX,
                          std::string_view purpose = {}, size_t spare = 0);

}  // namespace postwarden
