#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "module/MapiSession.h"
#include "platform/mailstore/MaildirSession.h"
#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

namespace postwarden::testing {

// The hand-written Maildir corpus kept with the tests; read only.
inline std::string CorpusRoot() {
    return POSTWARDEN_SOURCE_DIR "/tests/fixtures/maildir";
}

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
