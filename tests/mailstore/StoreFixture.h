#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "module/MapiSession.h"
#include "module/RuntimeError.h"
#include "platform/mailstore/MaildirSession.h"

namespace postwarden::testing {

// The hand-written Maildir corpus kept with the tests; read only.
inline std::string CorpusRoot() {
    return POSTWARDEN_SOURCE_DIR "/tests/fixtures/maildir";
}

// A folder of its own for one test, removed with everything in it afterwards.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pw-mailstore-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// A copy of the corpus that a test may change.
class CorpusCopy : public TempFolder {
  public:
    CorpusCopy() {
        std::filesystem::copy(CorpusRoot(), Root(), std::filesystem::copy_options::recursive);
    }
    std::string Root() const { return Path() + "/store"; }
};

// A session logged on to the store at `root`.
inline std::shared_ptr<MapiSession> LoggedOnSession(const std::string& root = CorpusRoot()) {
    auto session = CreateMaildirSession(root);
    session->Logon();
    return session;
}

// The message `entryId` of the store at `root`; fails the test when there is none.
inline std::shared_ptr<MapiMessage> Message(const std::string& entryId,
                                            const std::string& root = CorpusRoot()) {
    auto message = LoggedOnSession(root)->GetMessageFromID(entryId);
    if (!message) throw std::runtime_error("no message " + entryId);
    return message;
}

// The number of the RuntimeError `call` throws, or 0.
inline int32_t ErrorNumberOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.Number();
    }
    return 0;
}

}  // namespace postwarden::testing
