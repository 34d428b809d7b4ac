#include "tests/fakes/FakeMailClient.h"

#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

namespace {

class FakeMapiObject final : public MapiObject {};

class FakeOutlookSession final : public OutlookSession {
  public:
    explicit FakeOutlookSession(FakePlatform& p) : p_(p) {}
    std::shared_ptr<MapiObject> MAPIOBJECT() override {
        p_.Check("MAPIOBJECT");
        return std::make_shared<FakeMapiObject>();
    }

  private:
    FakePlatform& p_;
};

}  // namespace

std::string FakeApplication::Version() {
    platform_.Check("Application.Version");
    return version;
}
std::shared_ptr<OutlookSession> FakeApplication::Session() {
    platform_.Check("Application.Session");
    return std::make_shared<FakeOutlookSession>(platform_);
}
int32_t FakeApplication::ExplorersCount() {
    platform_.Check("Application.Explorers");
    return explorers;
}

bool FakeItem::Submitted() {
    platform_.Check("Item.Submitted");
    return submitted;
}
std::string FakeItem::TypeName() {
    platform_.Check("Item.TypeName");
    return typeName;
}
void FakeItem::Save() {
    platform_.Check("Item.Save");
    ++saves;
}
std::string FakeItem::EntryID() {
    platform_.Check("Item.EntryID");
    return entryId;
}
std::string FakeItem::Subject() {
    platform_.Check("Item.Subject");
    return subject;
}

FakeEngine::FakeEngine(FakePlatform& platform)
    : application(std::make_shared<FakeApplication>(platform)), platform_(platform) {}
std::shared_ptr<OutlookApplication> FakeEngine::Application() {
    platform_.Check("Engine.Application");
    return application;
}
int32_t FakeEngine::RegisterModule(IModuleAPI&, int32_t selector, std::string_view,
                                   std::string_view) {
    platform_.Check("Engine.RegisterModule");
    registeredSelectors.push_back(selector);
    return 0;
}

}  // namespace postwarden::fakes
