#include "platform/mailstore/CmsContent.h"

#include <dlfcn.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/opensslv.h>

#include <memory>

namespace postwarden::mailstore {

namespace {

// The soname of the libcrypto these headers describe (libssl3 on Debian 12).
const std::string kCryptoLibrary = "libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR);

// The few calls made, looked up once. The library is never closed: OpenSSL
// keeps process-wide state until the process ends.
struct Crypto {
    decltype(&d2i_CMS_ContentInfo) decode = nullptr;
    decltype(&CMS_ContentInfo_free) free = nullptr;
    decltype(&CMS_get0_type) type = nullptr;
    decltype(&OBJ_obj2nid) nid = nullptr;
    decltype(&CMS_get0_content) content = nullptr;
    decltype(&ASN1_STRING_get0_data) data = nullptr;
    decltype(&ASN1_STRING_length) length = nullptr;
};

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// Null when libcrypto cannot be loaded or lacks a call.
const Crypto* Load() {
    static const std::unique_ptr<const Crypto> loaded = []() -> std::unique_ptr<const Crypto> {
        void* library = ::dlopen(kCryptoLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return nullptr;
        auto c = std::make_unique<Crypto>();
        const bool all = Resolve(library, "d2i_CMS_ContentInfo", c->decode) &&
                         Resolve(library, "CMS_ContentInfo_free", c->free) &&
                         Resolve(library, "CMS_get0_type", c->type) &&
                         Resolve(library, "OBJ_obj2nid", c->nid) &&
                         Resolve(library, "CMS_get0_content", c->content) &&
                         Resolve(library, "ASN1_STRING_get0_data", c->data) &&
                         Resolve(library, "ASN1_STRING_length", c->length);
        return all ? std::move(c) : nullptr;
    }();
    return loaded.get();
}

}  // namespace

OpenedCms OpenCms(std::string_view der) {
    OpenedCms opened;
    const Crypto* crypto = Load();
    if (crypto == nullptr || der.empty()) return opened;
    const auto* at = reinterpret_cast<const unsigned char*>(der.data());
    CMS_ContentInfo* parsed = crypto->decode(nullptr, &at, static_cast<long>(der.size()));
    if (parsed == nullptr) return opened;
    const std::shared_ptr<CMS_ContentInfo> cms(parsed, crypto->free);
    switch (crypto->nid(crypto->type(cms.get()))) {
        case NID_pkcs7_signed:
        case NID_pkcs7_digest:
            break;
        case NID_pkcs7_enveloped:
        case NID_pkcs7_signedAndEnveloped:
        case NID_pkcs7_encrypted:
        case NID_id_smime_ct_authEnvelopedData:
            opened.kind = CmsKind::kEncrypted;
            return opened;
        default:
            return opened;
    }
    ASN1_OCTET_STRING** enclosed = crypto->content(cms.get());
    if (enclosed == nullptr || *enclosed == nullptr) return opened;
    const int length = crypto->length(*enclosed);
    opened.kind = CmsKind::kContent;
    opened.content = std::string_view(reinterpret_cast<const char*>(crypto->data(*enclosed)),
                                      static_cast<size_t>(length > 0 ? length : 0));
    opened.holder = cms;
    return opened;
}

}  // namespace postwarden::mailstore
