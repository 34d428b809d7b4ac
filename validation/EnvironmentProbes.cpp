// Two looks at the mail environment: whether Word is the mail client's e-mail
// editor, and a message of the drafts folder found by its subject.
#include <memory>
#include <string>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/MapiSession.h"
#include "module/Platform.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

// The first `n` characters (code points) of a UTF-8 text.
std::string FirstCharacters(const std::string& text, size_t n) {
    size_t end = 0;
    while (end < text.size() && n > 0) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
        --n;
    }
    return text.substr(0, end);
}

constexpr int32_t kKeyAccess = 63;  // query, set, create sub-key, enumerate, notify, create link

}  // namespace

bool CPostwarden::UsingWordAsEditor(const std::string& outlookVersion) {
    // The step reached is reported when something fails.
    int32_t step = 0;
    bool result = false;
    try {
        step = 2;
        result = false;
        step = 4;
        std::unique_ptr<RegistryAccess> registry = platform_.NewRegistryAccess();
        int32_t status = 0;
        if (FirstCharacters(outlookVersion, 1) == "9") {
            status = registry->OpenKey("Software\\Microsoft\\Office\\9.0\\Outlook\\Options\\Mail",
                                       kHiveCurrentUser, kKeyAccess);
        } else {
            // Later versions make Word the editor unless their settings say
            // otherwise, also when the key cannot be opened.
            const std::string key = "Software\\Microsoft\\Office\\" +
                                    FirstCharacters(outlookVersion, 2) +
                                    ".0\\Outlook\\Options\\Mail";
            result = true;
            status = registry->OpenKey(key, kHiveCurrentUser, kKeyAccess);
        }
        step = 12;
        if (status == 0) {
            step = 14;
            const int32_t value = registry->QueryValue("EditorPreference", 0);
            step = 16;
            if (value != 0) {
                step = 18;
                result = (value & 1) != 0;
            }
        }
        step = 20;
        registry->CloseKey();
        return result;
    } catch (const RuntimeError& e) {
        // Its own text and a source without "Postwarden.", as this probe has
        // always written them.
        ReportFailure("UsingWordAsEditor", 0,
                      "Error occurred.  Failed to fetch mail format.  LastLineNumber: " +
                          std::to_string(step) + "; Reason: " + e.Description());
        return result;
    }
}

std::shared_ptr<MapiMessage> CPostwarden::FindInDrafts(std::shared_ptr<MapiSession>& session,
                                                       const std::string& subject) {
    using errors::Require;
    try {
        std::shared_ptr<MapiFolder> folder = Require(session).GetDefaultFolder(kFolderDrafts);
        const int32_t count = Require(Require(folder).Items()).Count();
        // From the newest down: the latest draft with this subject is the one
        // being sent.
        for (int32_t index = count; index >= 1; --index) {
            std::shared_ptr<MapiMessage> item = Require(folder->Items()).Item(index);
            if (Require(item).Subject() == subject) return item;
        }
        return nullptr;
    } catch (const RuntimeError& e) {
        ReportFailure("Postwarden.FindInDrafts", 1, FailureText(e.Description()));
        return nullptr;
    }
}

}  // namespace postwarden
