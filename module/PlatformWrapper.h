#pragma once

#include "module/Platform.h"

namespace postwarden {

// A Platform that passes every call to another one, so that a host, a recorder
// or a fault injector overrides only the calls it changes. `target` must remain
// live while this wrapper is in use.
class PlatformWrapper : public Platform {
  public:
    explicit PlatformWrapper(Platform& target) : target_(target) {}

    std::unique_ptr<EngineHelper> NewEngineHelper() override { return target_.NewEngineHelper(); }
    std::unique_ptr<EngineLogger> NewEngineLogger() override { return target_.NewEngineLogger(); }
    std::unique_ptr<RegistryAccess> NewRegistryAccess() override {
        return target_.NewRegistryAccess();
    }
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override {
        return target_.GetSetting(app, section, key, defaultValue);
    }
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value) override {
        target_.SaveSetting(app, section, key, value);
    }
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) override {
        return target_.CreateMapiSession(progId);
    }
    std::string ReadTextFile(std::string_view path) override { return target_.ReadTextFile(path); }
    std::string FetchUrl(std::string_view url, const FetchPolicy& policy) override {
        return target_.FetchUrl(url, policy);
    }
    std::shared_ptr<MapiSession> CreateMailServerSession(std::string_view url,
                                                         const FetchPolicy& policy) override {
        return target_.CreateMailServerSession(url, policy);
    }
    WindowSystem& Windows() override { return target_.Windows(); }
    int64_t RecordedSends() override { return target_.RecordedSends(); }
    std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses) override {
        return target_.KnownRecipients(addresses);
    }
    std::vector<bool> KnownDomains(const std::vector<std::string>& domains) override {
        return target_.KnownDomains(domains);
    }
    std::vector<std::string> FamiliarDomainsLike(std::string_view domain) override {
        return target_.FamiliarDomainsLike(domain);
    }
    void SendChecked(const SendResult& result) override { target_.SendChecked(result); }

    Platform& target() { return target_; }

  private:
    Platform& target_;
};

}  // namespace postwarden
