// Fetches the settings document from the central sources an administrator
// configures: an item in an Exchange public folder or an IMAP folder, or a file
// on a network path or at a URL.
#include <chrono>
#include <memory>
#include <string>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/MapiSession.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "settings/ServerUrl.h"
#include "settings/SettingsDocument.h"
#include "util/Limits.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

using errors::Require;

namespace {

constexpr const char* kExchangeSource = "FetchSettingsFromExchange";
constexpr const char* kExchangeErrorSource = "Postwarden.FetchSettingsFromExchange";
constexpr const char* kFileSource = "FetchSettingsFromNetworkLocation";
constexpr const char* kFileErrorSource = "Postwarden.FetchSettingsFromNetworkLocation";
// The subject of the item that carries the settings document.
constexpr const char* kSettingsItem = "Post Warden Settings";

// A fetch from a server with the store's extra certificate authority, ending
// by `deadline` when one is set; the time and size limits are the product's own.
FetchPolicy PolicyTrusting(std::string extraCaFile,
                           std::chrono::steady_clock::time_point deadline) {
    FetchPolicy policy;
    policy.extraCaFile = std::move(extraCaFile);
    policy.deadline = deadline;
    return policy;
}

}  // namespace

bool CPostwarden::FetchSettingsFromExchange(const std::string& folderPath) {
    try {
        bool result = false;
        if (!m_engine) throw errors::ObjectNotSet();
        std::shared_ptr<OutlookApplication> application = m_engine->Application();

        // A URL names a folder on a mail server, which the session is made for;
        // a path names one in the mail store the session logs on to.
        std::shared_ptr<MapiSession> session =
            IsServerUrl(folderPath)
                ? platform_.CreateMailServerSession(
                      folderPath, PolicyTrusting(GetSetting(keys::kFetchSettingsExtraCAFile,
                                                            fallback::kFetchSettingsExtraCAFile),
                                                 m_FetchDeadline))
                : platform_.CreateMapiSession(kSessionProgId);
        Require(session).Logon();
        Log(kExchangeSource, "Logged on: " + std::string(BoolText(session->LoggedOn())), 0);

        std::shared_ptr<MapiFolder> folder = session->GetFolderFromPath(folderPath);
        Log(kExchangeSource, "Fetching public folder from " + WithoutPassword(folderPath), 0);

        std::shared_ptr<MapiItems> items = Require(folder).Items();
        std::shared_ptr<MapiMessage> item = Require(items).Item(std::string_view(kSettingsItem));
        if (!item) {
            Log(kExchangeSource, "Failed to find '" + std::string(kSettingsItem) + "'", 0);
            return false;
        }

        const std::string version = Require(application).Version();
        if (!version.empty() && version[0] == '9') {
            Log(kExchangeSource, "Found '" + std::string(kSettingsItem) + "'", 0);
        } else {
            Log(kExchangeSource,
                "Found '" + std::string(kSettingsItem) +
                    "'; Format: " + item->Property("BodyFormat"),
                0);
        }

        // Text already, decoded by the mail store from its message: an encoding
        // the document declares names the bytes it was once written in, not
        // this text, and the reader takes it as UTF-8.
        const std::string body = item->Property("Body");
        if (body.size() > limits::kMaxSettingsDocumentBytes) {
            throw limits::TooLarge("The settings item's body", limits::kMaxSettingsDocumentBytes,
                                   "a settings document");
        }
        result = ReadSettingsFromXML(body);
        Log(kExchangeSource, "Read settings successfully: " + std::string(BoolText(result)), 0);
        return result;
    } catch (const RuntimeError& e) {
        try {
            ReportFailure(kExchangeErrorSource, 1, FailureText(e.Description()));
        } catch (const RuntimeError&) {
        }
        return false;
    }
}

bool CPostwarden::FetchSettingsFromNetworkLocation(const std::string& filePath) {
    try {
        Log(kFileSource, "Fetching file from " + WithoutPassword(filePath), 0);
        // A file holds bytes, and the document says how to read them as text
        // (the settings item's body arrives as text already). So does a
        // document fetched from a URL, whatever its server said its type was.
        const std::string bytes =
            IsServerUrl(filePath)
                ? platform_.FetchUrl(filePath,
                                     PolicyTrusting(GetSetting(keys::kFetchSettingsExtraCAFile,
                                                               fallback::kFetchSettingsExtraCAFile),
                                                    m_FetchDeadline))
                : platform_.ReadTextFile(filePath);
        const std::string text = SettingsDocumentText(bytes);
        const bool result = ReadSettingsFromXML(text);
        Log(kFileSource, "Read settings successfully: " + std::string(BoolText(result)), 0);
        return result;
    } catch (const RuntimeError& e) {
        try {
            ReportFailure(kFileErrorSource, 1, FailureText(e.Description()));
        } catch (const RuntimeError&) {
        }
        return false;
    }
}

}  // namespace postwarden
