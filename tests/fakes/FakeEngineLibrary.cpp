#include "tests/fakes/FakePlatform.h"
#include "util/Text.h"

namespace postwarden::fakes {

// The engine library's objects: the helper and the logger write into the
// platform's log, the list splits at CR LF, the registry reads its keys.
namespace {

class FakeHelper final : public EngineHelper, Faked {
  public:
    using Faked::Faked;
    std::string SettingsAppName() override {
        return p_.Checked("SettingsAppName", p_.settingsAppName);
    }
    void LogEvent(std::string_view message, int32_t level, std::string_view source) override {
        p_.Check("LogEvent");
        p_.log.push_back({"event", level, "", std::string(source), std::string(message)});
    }
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        p_.Check("MatchesEntry");
        if (p_.matchesEntry) return p_.matchesEntry(value, entry);
        return value == entry ? 1 : 0;
    }
    void PrepareForm(FormObject&) override { p_.Check("PrepareForm"); }
};

class FakeLogger final : public EngineLogger, Faked {
  public:
    using Faked::Faked;
    void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                  int16_t level) override {
        p_.Check("WriteLog");
        p_.log.push_back(
            {"trace", level, std::string(app), std::string(source), std::string(message)});
    }
};

class FakeRegistryAccess final : public RegistryAccess, Faked {
  public:
    using Faked::Faked;
    int32_t OpenKey(std::string_view path, uint32_t hive, int32_t access) override {
        p_.Check("OpenKey");
        p_.openedKeys.emplace_back(std::string(path), hive, access);
        auto it = p_.registry.find(std::string(path));
        if (it == p_.registry.end()) return 2;
        open_ = &it->second;
        return 0;
    }
    int32_t QueryValue(std::string_view name, int32_t) override {
        p_.Check("QueryValue");
        if (!open_) throw RuntimeError(errors::kInvalidCall, "No key is open");
        auto it = open_->find(std::string(name));
        if (it == open_->end())
            throw RuntimeError(errors::kInvalidCall, "The value does not exist");
        return ToLong(it->second);
    }
    void CloseKey() override {
        p_.Check("CloseKey");
        open_ = nullptr;
    }

  private:
    std::map<std::string, std::string>* open_ = nullptr;
};

}  // namespace

std::unique_ptr<EngineHelper> FakePlatform::NewEngineHelper() {
    Check("NewEngineHelper");
    return std::make_unique<FakeHelper>(*this);
}
std::unique_ptr<EngineLogger> FakePlatform::NewEngineLogger() {
    Check("NewEngineLogger");
    return std::make_unique<FakeLogger>(*this);
}
std::unique_ptr<RegistryAccess> FakePlatform::NewRegistryAccess() {
    Check("NewRegistryAccess");
    return std::make_unique<FakeRegistryAccess>(*this);
}

}  // namespace postwarden::fakes
