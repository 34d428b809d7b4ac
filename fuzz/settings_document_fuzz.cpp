// A settings document, as a central source would deliver it, imported into the
// in-memory store. The import must never fail towards its caller, must store
// either all sixteen values or, when something fails, only a prefix of them
// (nothing at all when the document itself is at fault), and must store every
// switch and the count as plain decimal and every value as UTF-8. The same
// bytes read as a file become UTF-8 text or are refused.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "module/CPostwarden.h"
#include "module/SettingKeys.h"
#include "settings/SettingsDocument.h"
#include "tests/fakes/FakePlatform.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

// Reaches the import from here, as the settings tests do.
struct SettingsAccess {
    explicit SettingsAccess(CPostwarden& module) : m(module) {}
    bool ReadSettingsFromXML(const std::string& text) { return m.ReadSettingsFromXML(text); }
    CPostwarden& m;
};

namespace {

constexpr const char* kSource = "Postwarden.ReadSettingsFromXML";
// How much of a broken document the log takes.
constexpr size_t kMaxLoggedBytes = 65536;

struct Written {
    std::string key;
    std::string value;
    bool numeric;
};

const std::vector<std::pair<const char*, bool>>& ImportedKeys() {
    static const std::vector<std::pair<const char*, bool>> keys_ = {
        {keys::kPromptForOutsideDomainsWanted, true},
        {keys::kListOfOutsideDomains, false},
        {keys::kMessageForOutsideDomains, false},
        {keys::kPromptForEmailAddressesDomainsWanted, true},
        {keys::kListOfEmailAddressesDomains, false},
        {keys::kMessageForEmailAddressesDomains, false},
        {keys::kPromptForKeywordsWanted, true},
        {keys::kListOfKeywords, false},
        {keys::kMessageForKeywords, false},
        {keys::kPromptForNumberOfRecipientsWanted, true},
        {keys::kMaxNumberOfRecipients, true},
        {keys::kSeparateDLsWanted, true},
        {keys::kMessageForNumberOfRecipients, false},
        {keys::kPromptForBlankSubjectWanted, true},
        {keys::kMessageForBlankSubject, false},
        {keys::kPromptForAnySendWanted, true}};
    return keys_;
}

// Plain decimal of a 32-bit number: an optional minus, no leading zeros, no
// plus, no blanks.
bool IsPlainDecimal(const std::string& text) {
    if (text.empty()) return false;
    try {
        return std::to_string(ToLong(text)) == text;
    } catch (const RuntimeError&) {
        return false;
    }
}

struct Import {
    bool result = false;
    std::vector<Written> writes;
    std::vector<fakes::LogLine> log;
};

// One import on a fresh store; `failAtCall` > 0 makes that outside call fail.
Import Run(const std::string& text, int64_t failAtCall) {
    fakes::FakePlatform platform;
    std::shared_ptr<fakes::FakeEngine> engine = platform.NewEngine();
    CPostwarden module(platform);
    std::shared_ptr<Engine> e = engine;
    module.YSStartup(e);
    // Keys the document does not carry, to see that they are left alone.
    platform.SetSetting(keys::kSeparatePromptsWanted, "untouched");
    platform.SetSetting(keys::kMessageForAnySend, "untouched");
    platform.log.clear();
    if (failAtCall > 0) platform.FailAtCall(failAtCall);

    Import import;
    import.result = SettingsAccess(module).ReadSettingsFromXML(text);
    for (const std::string& key : platform.settingWrites) {
        bool numeric = false;
        for (const auto& [name, isNumeric] : ImportedKeys()) {
            if (key == name) numeric = isNumeric;
        }
        import.writes.push_back({key, platform.Setting(key).value_or("<absent>"), numeric});
    }
    import.log = platform.log;
    FUZZ_CHECK(platform.Setting(keys::kSeparatePromptsWanted) == "untouched");
    FUZZ_CHECK(platform.Setting(keys::kMessageForAnySend) == "untouched");
    return import;
}

// The writes are the first `writes.size()` keys of the import, in its order.
void CheckPrefix(const std::vector<Written>& writes) {
    FUZZ_CHECK(writes.size() <= ImportedKeys().size());
    for (size_t i = 0; i < writes.size(); ++i) {
        FUZZ_CHECK(writes[i].key == ImportedKeys()[i].first);
        if (writes[i].numeric) FUZZ_CHECK(IsPlainDecimal(writes[i].value));
    }
}

bool IsStepNumber(const std::string& digits) {
    static const char* const steps[] = {"0",  "2",  "10", "12", "14", "20", "22", "24", "30", "32",
                                        "36", "40", "42", "44", "46", "50", "54", "60", "70"};
    for (const char* step : steps) {
        if (digits == step) return true;
    }
    return false;
}

}  // namespace

}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Undisturbed: all sixteen values or none, and an error report exactly when
    // nothing was stored.
    const Import clean = Run(text, 0);
    CheckPrefix(clean.writes);
    FUZZ_CHECK(clean.writes.size() == (clean.result ? ImportedKeys().size() : 0));
    size_t errors = 0;
    for (const fakes::LogLine& line : clean.log) {
        FUZZ_CHECK(line.kind == "event" && line.level == 1 && line.source == kSource);
        ++errors;
        const std::string& m = line.message;
        const std::string_view parse = "Error occurred parsing xml file.  Reason: ";
        const std::string_view at = "Error occurred at line ";
        if (m.rfind(parse, 0) == 0) {
            // Followed by the document itself, or its start when it is large.
            FUZZ_CHECK(clean.log.size() == 2);
            const std::string& contents = clean.log[1].message;
            if (text.size() <= kMaxLoggedBytes) {
                FUZZ_CHECK(contents == "XML Contents:" + text);
            } else {
                const std::string start = "XML Contents:" + text.substr(0, kMaxLoggedBytes - 3);
                FUZZ_CHECK(contents.rfind(start, 0) == 0);
                FUZZ_CHECK(contents.size() < start.size() + 3 + 64);
            }
            break;
        }
        FUZZ_CHECK(m.rfind(at, 0) == 0);
        const size_t dot = m.find(".  Reason: ");
        FUZZ_CHECK(dot != std::string::npos && IsStepNumber(m.substr(at.size(), dot - at.size())));
    }
    FUZZ_CHECK(clean.result == (errors == 0));
    for (const Written& write : clean.writes) FUZZ_CHECK(fuzz::IsUtf8(write.value));

    // The same bytes as a file: text in UTF-8, or refused as a whole.
    std::string decoded;
    if (!fuzz::ThrowsRuntimeError([&] { decoded = SettingsDocumentText(text); })) {
        FUZZ_CHECK(fuzz::IsUtf8(decoded));
    }

    // A failure of one outside call on the way (the helper, the store): only
    // values the undisturbed import stored, in its order, and never all of them
    // with a failure reported.
    const int64_t failAt = 1 + static_cast<int64_t>(std::hash<std::string>()(text) % 24);
    const Import faulted = Run(text, failAt);
    CheckPrefix(faulted.writes);
    FUZZ_CHECK(faulted.writes.size() <= clean.writes.size());
    for (size_t i = 0; i < faulted.writes.size(); ++i) {
        FUZZ_CHECK(faulted.writes[i].value == clean.writes[i].value);
    }
    if (faulted.result) FUZZ_CHECK(faulted.writes.size() == ImportedKeys().size());
    return 0;
}
