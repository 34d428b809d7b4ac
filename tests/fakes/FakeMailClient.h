#pragma once

// The mail client's objects and the host's engine, as a FakePlatform's tests
// hand them to the module. FakePlatform.h includes this file at its end, so
// either header gives both.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

class FakeApplication final : public OutlookApplication, Faked {
  public:
    using Faked::Faked;
    std::string Version() override { return p_.Checked("Application.Version", version); }
    std::shared_ptr<OutlookSession> Session() override;
    int32_t ExplorersCount() override { return p_.Checked("Application.Explorers", explorers); }

    std::string version = "16.0.0.0";
    int32_t explorers = 1;
};

class FakeItem final : public OutlookItem, Faked {
  public:
    using Faked::Faked;
    bool Submitted() override { return p_.Checked("Item.Submitted", submitted); }
    std::string TypeName() override { return p_.Checked("Item.TypeName", typeName); }
    void Save() override { saves += p_.Checked("Item.Save", 1); }
    std::string EntryID() override { return p_.Checked("Item.EntryID", entryId); }
    std::string Subject() override { return p_.Checked("Item.Subject", subject); }

    bool submitted = false;
    std::string typeName = "MailItem";
    std::string entryId = "entry-1";
    std::string subject;
    int saves = 0;
};

class FakeEngine final : public Engine, Faked {
  public:
    explicit FakeEngine(FakePlatform& platform)
        : Faked(platform), application(std::make_shared<FakeApplication>(platform)) {}
    std::shared_ptr<OutlookApplication> Application() override {
        return p_.Checked<std::shared_ptr<OutlookApplication>>("Engine.Application", application);
    }
    int32_t RegisterModule(IModuleAPI&, int32_t selector, std::string_view,
                           std::string_view) override {
        p_.Check("Engine.RegisterModule");
        registeredSelectors.push_back(selector);
        return 0;
    }

    std::shared_ptr<FakeApplication> application;
    std::vector<int32_t> registeredSelectors;
};

}  // namespace postwarden::fakes
