#include "tests/fakes/FakeMailClient.h"

namespace postwarden::fakes {

namespace {

class FakeMapiObject final : public MapiObject {};

class FakeOutlookSession final : public OutlookSession {
  public:
    explicit FakeOutlookSession(FakePlatform& p) : p_(p) {}
    std::shared_ptr<MapiObject> MAPIOBJECT() override {
        return p_.Checked<std::shared_ptr<MapiObject>>("MAPIOBJECT",
                                                       std::make_shared<FakeMapiObject>());
    }

  private:
    FakePlatform& p_;
};

}  // namespace

std::shared_ptr<OutlookSession> FakeApplication::Session() {
    return p_.Checked<std::shared_ptr<OutlookSession>>("Application.Session",
                                                       std::make_shared<FakeOutlookSession>(p_));
}

}  // namespace postwarden::fakes
