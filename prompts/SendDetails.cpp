#include "prompts/SendDetails.h"

namespace postwarden {

const SendDetails& NoSendDetails() {
    struct None final : SendDetails {
        SendEvidence Evidence() const override { return {}; }
    };
    static const None none;
    return none;
}

}  // namespace postwarden
