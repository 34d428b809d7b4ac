#pragma once

// The mail client's objects and the host's engine, as a FakePlatform's tests
// hand them to the module.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module/HostEngine.h"
#include "module/MailClient.h"

namespace postwarden::fakes {

class FakePlatform;

// The mail client's objects.
class FakeApplication final : public OutlookApplication {
  public:
    explicit FakeApplication(FakePlatform& platform) : platform_(platform) {}
    std::string Version() override;
    std::shared_ptr<OutlookSession> Session() override;
    int32_t ExplorersCount() override;

    std::string version = "16.0.0.0";
    int32_t explorers = 1;

  private:
    FakePlatform& platform_;
};

class FakeItem final : public OutlookItem {
  public:
    explicit FakeItem(FakePlatform& platform) : platform_(platform) {}
    bool Submitted() override;
    std::string TypeName() override;
    void Save() override;
    std::string EntryID() override;
    std::string Subject() override;

    bool submitted = false;
    std::string typeName = "MailItem";
    std::string entryId = "entry-1";
    std::string subject;
    int saves = 0;

  private:
    FakePlatform& platform_;
};

class FakeEngine final : public Engine {
  public:
    explicit FakeEngine(FakePlatform& platform);
    std::shared_ptr<OutlookApplication> Application() override;
    int32_t RegisterModule(IModuleAPI& module, int32_t selector, std::string_view a,
                           std::string_view b) override;

    std::shared_ptr<FakeApplication> application;
    std::vector<int32_t> registeredSelectors;

  private:
    FakePlatform& platform_;
};

}  // namespace postwarden::fakes
