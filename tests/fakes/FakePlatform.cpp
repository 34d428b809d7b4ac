#include "tests/fakes/FakePlatform.h"

#include <algorithm>

#include "module/SettingKeys.h"
#include "platform/windows/NoWindowSystem.h"
#include "util/AddressForm.h"
#include "util/LookAlike.h"

namespace postwarden::fakes {

FakePlatform::FakePlatform() : windows(std::make_unique<NoWindowSystem>("No window system")) {}
FakePlatform::~FakePlatform() = default;

void FakePlatform::FailOn(const std::string& operation, RuntimeError error) {
    failures_.insert_or_assign(operation, std::move(error));
}

void FakePlatform::Check(const std::string& operation) {
    ++calls_;
    ++callsOf_[operation];
    if (calls_ == failAt_) {
        failedAtCall_ = operation;
        throw RuntimeError(
            errors::kInvalidCall,
            "Injected failure of call " + std::to_string(calls_) + " (" + operation + ")");
    }
    auto nth = failNthOf_.find(operation);
    if (nth != failNthOf_.end() && nth->second == callsOf_[operation]) {
        failNthOf_.erase(nth);
        throw RuntimeError(errors::kInvalidCall, "Injected failure");
    }
    auto it = failures_.find(operation);
    if (it != failures_.end()) throw it->second;
}

int64_t FakePlatform::CallsOf(const std::string& operation) const {
    auto it = callsOf_.find(operation);
    return it == callsOf_.end() ? 0 : it->second;
}

std::vector<std::string> FakePlatform::Messages(const std::string& kind) const {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        if (kind.empty() || line.kind == kind) out.push_back(line.source + "|" + line.message);
    }
    return out;
}

std::vector<std::string> FakePlatform::Events() const {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        if (line.kind == "event") {
            out.push_back(std::to_string(line.level) + "|" + line.source + "|" + line.message);
        }
    }
    return out;
}

bool FakePlatform::Logged(const std::string& message) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const LogLine& l) { return l.message == message; });
}

std::optional<std::string> FakePlatform::Setting(const std::string& key) const {
    auto it = settings.find({settingsAppName, kSettingsSection, key});
    if (it == settings.end()) return std::nullopt;
    return it->second;
}

void FakePlatform::SetSetting(const std::string& key, const std::string& value) {
    settings[{settingsAppName, kSettingsSection, key}] = value;
}

void FakePlatform::RemoveSetting(const std::string& key) {
    settings.erase({settingsAppName, kSettingsSection, key});
}

std::shared_ptr<FakeEngine> FakePlatform::NewEngine() {
    return std::make_shared<FakeEngine>(*this);
}

std::string FakePlatform::GetSetting(std::string_view app, std::string_view section,
                                     std::string_view key, std::string_view defaultValue) {
    Check("GetSetting");
    auto it = settings.find({std::string(app), std::string(section), std::string(key)});
    return it == settings.end() ? std::string(defaultValue) : it->second;
}

void FakePlatform::SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                               std::string_view value) {
    Check("SaveSetting");
    settings[{std::string(app), std::string(section), std::string(key)}] = std::string(value);
    settingWrites.emplace_back(key);
}

std::shared_ptr<MapiSession> FakePlatform::CreateMapiSession(std::string_view progId) {
    Check("CreateMapiSession");
    if (progId != kSessionProgId) throw errors::CannotCreateObject();
    return NewFakeSession(*this);
}

std::string FakePlatform::ReadTextFile(std::string_view path) {
    Check("ReadTextFile");
    auto it = files.find(std::string(path));
    if (it == files.end()) throw RuntimeError(errors::kFileNotFound, "File not found");
    return it->second;
}

std::string FakePlatform::FetchUrl(std::string_view url, const FetchPolicy& policy) {
    Check("FetchUrl");
    serverFetches.emplace_back(url, policy);
    auto it = urls.find(std::string(url));
    if (it == urls.end()) throw RuntimeError(errors::kDeviceIO, "The fetch failed: not found");
    return it->second;
}

std::shared_ptr<MapiSession> FakePlatform::CreateMailServerSession(std::string_view url,
                                                                   const FetchPolicy& policy) {
    Check("CreateMailServerSession");
    serverFetches.emplace_back(url, policy);
    return NewFakeSession(*this);
}

WindowSystem& FakePlatform::Windows() {
    return *windows;
}

void FakePlatform::RememberSend(const std::vector<std::string>& addresses) {
    std::set<std::string> domains;
    for (const std::string& written : addresses) {
        const std::string address = HistoryAddress(written);
        if (address.empty()) continue;
        historyAddresses.insert(address);
        domains.insert(DomainOf(address));
    }
    for (const std::string& domain : domains) ++historyDomains[domain];
    if (!domains.empty()) ++historySends;
}

int64_t FakePlatform::RecordedSends() {
    return Checked("RecordedSends", historySends);
}

std::vector<bool> FakePlatform::KnownRecipients(const std::vector<std::string>& addresses) {
    Check("KnownRecipients");
    std::vector<bool> known;
    for (const std::string& address : addresses) {
        known.push_back(historyAddresses.count(HistoryAddress(address)) != 0);
    }
    return known;
}

std::vector<bool> FakePlatform::KnownDomains(const std::vector<std::string>& domains) {
    Check("KnownDomains");
    std::vector<bool> known;
    for (const std::string& domain : domains) {
        known.push_back(historyDomains.count(ComparedDomain(domain)) != 0);
    }
    return known;
}

std::vector<std::string> FakePlatform::FamiliarDomainsLike(std::string_view domain) {
    Check("FamiliarDomainsLike");
    // Only the look-alikes themselves: the platform's answer at its narrowest.
    std::vector<std::string> found;
    for (const auto& [known, sends] : historyDomains) {
        if (sends >= 2 && LooksLike(domain, known)) found.push_back(known);
    }
    return found;
}

}  // namespace postwarden::fakes
