#pragma once

#include "module/PlatformWrapper.h"
#include "module/SendResult.h"

namespace postwarden::host {

// The platform the host hands the module, keeping the result of the send the
// module last checked. Every other call reaches the platform beneath unchanged.
class ResultRecorder final : public PlatformWrapper {
  public:
    explicit ResultRecorder(Platform& target) : PlatformWrapper(target) {}

    void SendChecked(const SendResult& result) override {
        result_ = result;
        PlatformWrapper::SendChecked(result);
    }

    // The last send's result; as a fresh one before any send reported.
    const SendResult& Result() const { return result_; }
    // Forgets the last send's result, so that one platform serves a send after another.
    void Reset() { result_ = SendResult{}; }

  private:
    SendResult result_;
};

}  // namespace postwarden::host
