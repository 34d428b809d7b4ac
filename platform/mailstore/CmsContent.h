#pragma once

// S/MIME bodies (CMS) opened as a recipient's mail client opens them. OpenSSL's
// libcrypto is loaded at the first one, never before: the MIME library is
// loaded on every check, and hardly any mail needs it.

#include <memory>
#include <string_view>

namespace postwarden::mailstore {

enum class CmsKind {
    kContent,     // signed (or digested) data: its content was read
    kEncrypted,   // enveloped or otherwise encrypted data
    kUnreadable,  // no CMS, content not enclosed, another kind, or no libcrypto
};

struct OpenedCms {
    CmsKind kind = CmsKind::kUnreadable;
    // kContent: the enclosed content, which lies in `holder` (not in `der`).
    std::string_view content;
    std::shared_ptr<const void> holder;
};

// What the CMS structure `der` (DER or BER) holds. Signed data gives its
// enclosed content, unwrapped without judging the signature: signed is not
// secret, and the recipient's client shows it either way. Never throws.
OpenedCms OpenCms(std::string_view der);

}  // namespace postwarden::mailstore
