#pragma once

// Every setting of the module, one row each: its kind, the value a new store
// is seeded with, the fallback of an absent key, the element of the settings
// document and the traced group. The rules (Rules.h), the settings routines
// (settings/) and the `settings` command all walk it.
//
// Spellings kept on purpose: the document names the recipient limit
// "NumberOfRecipients" (its key is MaxNumberOfRecipients).

#include <cstddef>
#include <iterator>
#include <string_view>

namespace postwarden {

// The section of the settings store that holds every key below.
inline constexpr char kSettingsSection[] = "Postwarden";

// The name of each setting, spelled once; the rows of kSettings refer to them.
namespace keys {
// Where the central settings come from; set from outside the module, never written by it.
inline constexpr char kFetchSettingsExchangePublicFolder[] = "FetchSettingsExchangePublicFolder";
inline constexpr char kFetchSettingsNetworkLocation[] = "FetchSettingsNetworkLocation";
// A PEM file of certificate authorities that a fetch from a server trusts
// besides the system's (a company's own CA).
inline constexpr char kFetchSettingsExtraCAFile[] = "FetchSettingsExtraCAFile";

// Also the marker that says whether the store was ever initialised.
inline constexpr char kPromptForOutsideDomainsWanted[] = "PromptForOutsideDomainsWanted";
inline constexpr char kListOfOutsideDomains[] = "ListOfOutsideDomains";
inline constexpr char kMessageForOutsideDomains[] = "MessageForOutsideDomains";

inline constexpr char kPromptForEmailAddressesDomainsWanted[] =
    "PromptForEmailAddressesDomainsWanted";
inline constexpr char kListOfEmailAddressesDomains[] = "ListOfEmailAddressesDomains";
inline constexpr char kMessageForEmailAddressesDomains[] = "MessageForEmailAddressesDomains";

inline constexpr char kPromptForKeywordsWanted[] = "PromptForKeywordsWanted";
inline constexpr char kListOfKeywords[] = "ListOfKeywords";
inline constexpr char kMessageForKeywords[] = "MessageForKeywords";

inline constexpr char kPromptForNumberOfRecipientsWanted[] = "PromptForNumberOfRecipientsWanted";
inline constexpr char kMaxNumberOfRecipients[] = "MaxNumberOfRecipients";
inline constexpr char kSeparateDLsWanted[] = "SeparateDLsWanted";
inline constexpr char kMessageForNumberOfRecipients[] = "MessageForNumberOfRecipients";

inline constexpr char kPromptForBlankSubjectWanted[] = "PromptForBlankSubjectWanted";
inline constexpr char kMessageForBlankSubject[] = "MessageForBlankSubject";

inline constexpr char kPromptForAnySendWanted[] = "PromptForAnySendWanted";
inline constexpr char kMessageForAnySend[] = "MessageForAnySend";

inline constexpr char kPromptForManyOrganisationsWanted[] = "PromptForManyOrganisationsWanted";
inline constexpr char kMaxNumberOfOrganisations[] = "MaxNumberOfOrganisations";
inline constexpr char kMessageForManyOrganisations[] = "MessageForManyOrganisations";

inline constexpr char kPromptForMissingAttachmentWanted[] = "PromptForMissingAttachmentWanted";
inline constexpr char kListOfAttachmentWords[] = "ListOfAttachmentWords";
inline constexpr char kMessageForMissingAttachment[] = "MessageForMissingAttachment";

inline constexpr char kPromptForNewRecipientsWanted[] = "PromptForNewRecipientsWanted";
inline constexpr char kMessageForNewRecipients[] = "MessageForNewRecipients";

inline constexpr char kPromptForLookAlikeDomainsWanted[] = "PromptForLookAlikeDomainsWanted";
inline constexpr char kMessageForLookAlikeDomains[] = "MessageForLookAlikeDomains";

inline constexpr char kSeparatePromptsWanted[] = "SeparatePromptsWanted";

// How long the host counts down before a send leaves, so that the person can
// still take it back; read by the host, not by a rule (host/send/Countdown.h).
inline constexpr char kSendDelaySeconds[] = "SendDelaySeconds";
}  // namespace keys

// Switches (0 off, anything else on) and the number are stored as text and read
// as whole numbers; a value that is none fails the reader that converts it.
enum class SettingKind { kSwitch, kNumber, kText, kList };

inline constexpr bool IsWholeNumber(SettingKind kind) {
    return kind == SettingKind::kSwitch || kind == SettingKind::kNumber;
}

// A text a row may leave out: it reads as nullptr then. Whether it is there
// is a flag of its own, because GCC cannot compare an address with null while
// compiling when the sanitizers keep null checks (-fno-delete-null-pointer-checks),
// and the checks below run while compiling.
struct OptionalText {
    const char* text = nullptr;
    bool present = false;

    constexpr OptionalText() = default;
    constexpr OptionalText(const char* value) : text(value), present(true) {}
    constexpr operator const char*() const { return text; }
};

struct Setting {
    const char* key;
    SettingKind kind;
    // What EnsureDefaultSettings writes into a store that was never initialised;
    // absent for a setting only ever set from outside the module.
    OptionalText seeded{};
    // What the everyday readers (rules, send driver, forms) pass as the default
    // of an absent key; absent when it is the seeded value.
    OptionalText fallback{};
    // The element of the settings document that carries the value, and the step
    // an import reports when reading it fails; absent and 0 when the document
    // does not carry it.
    OptionalText element{};
    int step = 0;
    // The document may leave the element out, and the store then keeps the
    // value it has: settings added after documents were first published, which
    // those documents stay valid without.
    bool optionalElement = false;
    // EnsureDefaultSettings traces the rows of a group together, reading them all
    // before writing a line; 0 when the setting is not traced.
    int group = 0;
};

// In the order the settings are listed, seeded, imported and traced. The
// fallbacks that differ from the seeded values do so on purpose: a store whose
// keys are absent leaves every rule off.
inline constexpr Setting kSettings[] = {
    {.key = keys::kFetchSettingsExchangePublicFolder, .kind = SettingKind::kText, .fallback = ""},
    {.key = keys::kFetchSettingsNetworkLocation, .kind = SettingKind::kText, .fallback = ""},
    {.key = keys::kFetchSettingsExtraCAFile, .kind = SettingKind::kText, .fallback = ""},

    {.key = keys::kPromptForOutsideDomainsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForOutsideDomainsWanted,
     .step = 10,
     .group = 1},
    {.key = keys::kListOfOutsideDomains,
     .kind = SettingKind::kList,
     .seeded = "",
     .element = keys::kListOfOutsideDomains,
     .step = 12,
     .group = 1},
    {.key = keys::kMessageForOutsideDomains,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email outside the company?",
     .element = keys::kMessageForOutsideDomains,
     .step = 14,
     .group = 1},

    {.key = keys::kPromptForEmailAddressesDomainsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForEmailAddressesDomainsWanted,
     .step = 20,
     .group = 2},
    {.key = keys::kListOfEmailAddressesDomains,
     .kind = SettingKind::kList,
     .seeded = "",
     .element = keys::kListOfEmailAddressesDomains,
     .step = 22,
     .group = 2},
    {.key = keys::kMessageForEmailAddressesDomains,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email to these addresses?",
     .fallback = "Are you sure you want to send an email to these addresses?",
     .element = keys::kMessageForEmailAddressesDomains,
     .step = 24,
     .group = 2},

    {.key = keys::kPromptForKeywordsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForKeywordsWanted,
     .step = 30,
     .group = 3},
    {.key = keys::kListOfKeywords,
     .kind = SettingKind::kList,
     .seeded = "",
     .element = keys::kListOfKeywords,
     .step = 32,
     .group = 3},
    {.key = keys::kMessageForKeywords,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email with these keywords?",
     .element = keys::kMessageForKeywords,
     .step = 36,
     .group = 3},

    {.key = keys::kPromptForNumberOfRecipientsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForNumberOfRecipientsWanted,
     .step = 40,
     .group = 4},
    {.key = keys::kMaxNumberOfRecipients,
     .kind = SettingKind::kNumber,
     .seeded = "0",
     .fallback = "20",
     .element = "NumberOfRecipients",
     .step = 42,
     .group = 4},
    {.key = keys::kSeparateDLsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kSeparateDLsWanted,
     .step = 44,
     .group = 4},
    {.key = keys::kMessageForNumberOfRecipients,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email to all these people?",
     .element = keys::kMessageForNumberOfRecipients,
     .step = 46,
     .group = 4},

    {.key = keys::kPromptForBlankSubjectWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForBlankSubjectWanted,
     .step = 50,
     .group = 5},
    {.key = keys::kMessageForBlankSubject,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email without a subject?",
     .fallback = "Are you sure you want to send this email with a blank subject?",
     .element = keys::kMessageForBlankSubject,
     .step = 54,
     .group = 5},

    {.key = keys::kPromptForAnySendWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "1",
     .fallback = "0",
     .element = keys::kPromptForAnySendWanted,
     .step = 60,
     .group = 6},
    {.key = keys::kMessageForAnySend,
     .kind = SettingKind::kText,
     .seeded = "Are you sure you want to send this email?",
     .group = 6},

    {.key = keys::kPromptForManyOrganisationsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForManyOrganisationsWanted,
     .step = 80,
     .optionalElement = true,
     .group = 7},
    {.key = keys::kMaxNumberOfOrganisations,
     .kind = SettingKind::kNumber,
     .seeded = "3",
     .element = keys::kMaxNumberOfOrganisations,
     .step = 82,
     .optionalElement = true,
     .group = 7},
    {.key = keys::kMessageForManyOrganisations,
     .kind = SettingKind::kText,
     .seeded = "Are you sure these organisations may see each other's addresses?",
     .element = keys::kMessageForManyOrganisations,
     .step = 84,
     .optionalElement = true,
     .group = 7},

    {.key = keys::kPromptForMissingAttachmentWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForMissingAttachmentWanted,
     .step = 90,
     .optionalElement = true,
     .group = 8},
    {.key = keys::kListOfAttachmentWords,
     .kind = SettingKind::kList,
     .seeded = "attached;attachment;attach;enclosed;anbei;Anhang;angeh\u00e4ngt;pi\u00e8ce "
               "jointe;ci-joint;adjunto;allegato;bijlage",
     .element = keys::kListOfAttachmentWords,
     .step = 92,
     .optionalElement = true,
     .group = 8},
    {.key = keys::kMessageForMissingAttachment,
     .kind = SettingKind::kText,
     .seeded = "This email mentions an attachment but has none. Send it anyway?",
     .element = keys::kMessageForMissingAttachment,
     .step = 94,
     .optionalElement = true,
     .group = 8},

    {.key = keys::kPromptForNewRecipientsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "0",
     .element = keys::kPromptForNewRecipientsWanted,
     .step = 100,
     .optionalElement = true,
     .group = 9},
    {.key = keys::kMessageForNewRecipients,
     .kind = SettingKind::kText,
     .seeded = "You have never written to these recipients before. Send it anyway?",
     .element = keys::kMessageForNewRecipients,
     .step = 102,
     .optionalElement = true,
     .group = 9},

    {.key = keys::kPromptForLookAlikeDomainsWanted,
     .kind = SettingKind::kSwitch,
     .seeded = "1",
     .element = keys::kPromptForLookAlikeDomainsWanted,
     .step = 110,
     .optionalElement = true,
     .group = 10},
    {.key = keys::kMessageForLookAlikeDomains,
     .kind = SettingKind::kText,
     .seeded = "A recipient's domain only looks like one you know. Send it anyway?",
     .element = keys::kMessageForLookAlikeDomains,
     .step = 112,
     .optionalElement = true,
     .group = 10},

    {.key = keys::kSeparatePromptsWanted, .kind = SettingKind::kSwitch, .seeded = "1"},

    // The host's own, not traced with the rules' settings.
    {.key = keys::kSendDelaySeconds,
     .kind = SettingKind::kNumber,
     .seeded = "0",
     .element = keys::kSendDelaySeconds,
     .step = 120,
     .optionalElement = true},
};

inline constexpr size_t kSettingCount = std::size(kSettings);

// Where the row of `key` (exact spelling) is in kSettings; kSettingCount when
// there is none.
constexpr size_t SettingIndex(std::string_view key) {
    for (size_t i = 0; i < kSettingCount; ++i) {
        if (key == kSettings[i].key) return i;
    }
    return kSettingCount;
}

// The default the everyday readers pass for an absent `setting`.
constexpr OptionalText FallbackOf(const Setting& setting) {
    return setting.fallback.present ? setting.fallback : setting.seeded;
}

// The default the everyday readers pass for an absent setting `key`; nullptr
// for a key without a row or without a fallback.
constexpr const char* FallbackFor(std::string_view key) {
    const size_t index = SettingIndex(key);
    return index < kSettingCount ? FallbackOf(kSettings[index]).text : nullptr;
}

// The setting whose absence marks a store that was never initialised. It is
// seeded first, so that an interrupted seeding is not started again.
inline constexpr const char* kSeedingMarker = keys::kPromptForOutsideDomainsWanted;
static_assert(
    [] {
        for (const Setting& setting : kSettings) {
            if (setting.seeded.present) return std::string_view(setting.key) == kSeedingMarker;
        }
        return false;
    }(),
    "the seeding marker must be the first setting seeded");

// How many settings the settings document carries.
inline constexpr size_t kDocumentElementCount = [] {
    size_t count = 0;
    for (const Setting& setting : kSettings) count += setting.element.present ? 1 : 0;
    return count;
}();

// The fallbacks under their keys' names, for the readers that name one setting.
namespace fallback {
namespace detail {
// Fails to compile for a key without a row or a row without a fallback.
consteval const char* Of(std::string_view key) {
    const size_t index = SettingIndex(key);
    if (index == kSettingCount || !FallbackOf(kSettings[index]).present) {
        throw "no fallback for this key";
    }
    return FallbackOf(kSettings[index]).text;
}
}  // namespace detail

inline constexpr const char* kFetchSettingsExchangePublicFolder =
    detail::Of(keys::kFetchSettingsExchangePublicFolder);
inline constexpr const char* kFetchSettingsNetworkLocation =
    detail::Of(keys::kFetchSettingsNetworkLocation);
inline constexpr const char* kFetchSettingsExtraCAFile =
    detail::Of(keys::kFetchSettingsExtraCAFile);

inline constexpr const char* kPromptForOutsideDomainsWanted =
    detail::Of(keys::kPromptForOutsideDomainsWanted);
inline constexpr const char* kListOfOutsideDomains = detail::Of(keys::kListOfOutsideDomains);
inline constexpr const char* kMessageForOutsideDomains =
    detail::Of(keys::kMessageForOutsideDomains);

inline constexpr const char* kPromptForEmailAddressesDomainsWanted =
    detail::Of(keys::kPromptForEmailAddressesDomainsWanted);
inline constexpr const char* kListOfEmailAddressesDomains =
    detail::Of(keys::kListOfEmailAddressesDomains);
inline constexpr const char* kMessageForEmailAddressesDomains =
    detail::Of(keys::kMessageForEmailAddressesDomains);

inline constexpr const char* kPromptForKeywordsWanted = detail::Of(keys::kPromptForKeywordsWanted);
inline constexpr const char* kListOfKeywords = detail::Of(keys::kListOfKeywords);
inline constexpr const char* kMessageForKeywords = detail::Of(keys::kMessageForKeywords);

inline constexpr const char* kPromptForNumberOfRecipientsWanted =
    detail::Of(keys::kPromptForNumberOfRecipientsWanted);
inline constexpr const char* kMaxNumberOfRecipients = detail::Of(keys::kMaxNumberOfRecipients);
inline constexpr const char* kSeparateDLsWanted = detail::Of(keys::kSeparateDLsWanted);
inline constexpr const char* kMessageForNumberOfRecipients =
    detail::Of(keys::kMessageForNumberOfRecipients);

inline constexpr const char* kPromptForBlankSubjectWanted =
    detail::Of(keys::kPromptForBlankSubjectWanted);
inline constexpr const char* kMessageForBlankSubject = detail::Of(keys::kMessageForBlankSubject);

inline constexpr const char* kPromptForAnySendWanted = detail::Of(keys::kPromptForAnySendWanted);
inline constexpr const char* kMessageForAnySend = detail::Of(keys::kMessageForAnySend);

inline constexpr const char* kPromptForManyOrganisationsWanted =
    detail::Of(keys::kPromptForManyOrganisationsWanted);
inline constexpr const char* kMaxNumberOfOrganisations =
    detail::Of(keys::kMaxNumberOfOrganisations);
inline constexpr const char* kMessageForManyOrganisations =
    detail::Of(keys::kMessageForManyOrganisations);

inline constexpr const char* kPromptForMissingAttachmentWanted =
    detail::Of(keys::kPromptForMissingAttachmentWanted);
inline constexpr const char* kListOfAttachmentWords = detail::Of(keys::kListOfAttachmentWords);
inline constexpr const char* kMessageForMissingAttachment =
    detail::Of(keys::kMessageForMissingAttachment);

inline constexpr const char* kPromptForNewRecipientsWanted =
    detail::Of(keys::kPromptForNewRecipientsWanted);
inline constexpr const char* kMessageForNewRecipients = detail::Of(keys::kMessageForNewRecipients);

inline constexpr const char* kPromptForLookAlikeDomainsWanted =
    detail::Of(keys::kPromptForLookAlikeDomainsWanted);
inline constexpr const char* kMessageForLookAlikeDomains =
    detail::Of(keys::kMessageForLookAlikeDomains);

inline constexpr const char* kSeparatePromptsWanted = detail::Of(keys::kSeparatePromptsWanted);
inline constexpr const char* kSendDelaySeconds = detail::Of(keys::kSendDelaySeconds);
}  // namespace fallback

}  // namespace postwarden
