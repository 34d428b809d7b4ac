#pragma once

// The settings of the module's section: every key name, the text the store is
// seeded with, and the default the everyday readers pass when a key is absent.
// Each text is spelled here once; the readers (rules, send driver, forms,
// settings routines) take them from here.

namespace postwarden {

// The section of the settings store that holds every key below.
inline constexpr char kSettingsSection[] = "Postwarden";

namespace keys {
// Where the central settings come from; set from outside the module, never written by it.
inline constexpr char kFetchSettingsExchangePublicFolder[] = "FetchSettingsExchangePublicFolder";
inline constexpr char kFetchSettingsNetworkLocation[] = "FetchSettingsNetworkLocation";

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

inline constexpr char kSeparatePromptsWanted[] = "SeparatePromptsWanted";

// Every key; `numeric` for the switches and the count, which readers convert to
// a whole number.
struct KeyInfo {
    const char* name;
    bool numeric;
};
inline constexpr KeyInfo kAll[] = {
    {kFetchSettingsExchangePublicFolder, false},
    {kFetchSettingsNetworkLocation, false},
    {kPromptForOutsideDomainsWanted, true},
    {kListOfOutsideDomains, false},
    {kMessageForOutsideDomains, false},
    {kPromptForEmailAddressesDomainsWanted, true},
    {kListOfEmailAddressesDomains, false},
    {kMessageForEmailAddressesDomains, false},
    {kPromptForKeywordsWanted, true},
    {kListOfKeywords, false},
    {kMessageForKeywords, false},
    {kPromptForNumberOfRecipientsWanted, true},
    {kMaxNumberOfRecipients, true},
    {kSeparateDLsWanted, true},
    {kMessageForNumberOfRecipients, false},
    {kPromptForBlankSubjectWanted, true},
    {kMessageForBlankSubject, false},
    {kPromptForAnySendWanted, true},
    {kMessageForAnySend, false},
    {kSeparatePromptsWanted, true},
};
}  // namespace keys

// What EnsureDefaultSettings writes into a store that was never initialised.
namespace seeded {
inline constexpr char kPromptForOutsideDomainsWanted[] = "0";
inline constexpr char kListOfOutsideDomains[] = "";
inline constexpr char kMessageForOutsideDomains[] =
    "Are you sure you want to send this email outside the company?";

inline constexpr char kPromptForEmailAddressesDomainsWanted[] = "0";
inline constexpr char kListOfEmailAddressesDomains[] = "";
inline constexpr char kMessageForEmailAddressesDomains[] =
    "Are you sure you want to send this email to these addresses?";

inline constexpr char kPromptForKeywordsWanted[] = "0";
inline constexpr char kListOfKeywords[] = "";
inline constexpr char kMessageForKeywords[] =
    "Are you sure you want to send this email with these keywords?";

inline constexpr char kPromptForNumberOfRecipientsWanted[] = "0";
inline constexpr char kMaxNumberOfRecipients[] = "0";
inline constexpr char kSeparateDLsWanted[] = "0";
inline constexpr char kMessageForNumberOfRecipients[] =
    "Are you sure you want to send this email to all these people?";

inline constexpr char kPromptForBlankSubjectWanted[] = "0";
inline constexpr char kMessageForBlankSubject[] =
    "Are you sure you want to send this email without a subject?";

inline constexpr char kPromptForAnySendWanted[] = "1";
inline constexpr char kMessageForAnySend[] = "Are you sure you want to send this email?";

inline constexpr char kSeparatePromptsWanted[] = "1";

struct Seed {
    const char* key;
    const char* value;
};

// Every seeded setting, in the order it is written. The marker comes first, so
// that an interrupted seeding is not started again.
inline constexpr Seed kAll[] = {
    {keys::kPromptForOutsideDomainsWanted, kPromptForOutsideDomainsWanted},
    {keys::kListOfOutsideDomains, kListOfOutsideDomains},
    {keys::kMessageForOutsideDomains, kMessageForOutsideDomains},
    {keys::kPromptForEmailAddressesDomainsWanted, kPromptForEmailAddressesDomainsWanted},
    {keys::kListOfEmailAddressesDomains, kListOfEmailAddressesDomains},
    {keys::kMessageForEmailAddressesDomains, kMessageForEmailAddressesDomains},
    {keys::kPromptForKeywordsWanted, kPromptForKeywordsWanted},
    {keys::kListOfKeywords, kListOfKeywords},
    {keys::kMessageForKeywords, kMessageForKeywords},
    {keys::kPromptForNumberOfRecipientsWanted, kPromptForNumberOfRecipientsWanted},
    {keys::kMaxNumberOfRecipients, kMaxNumberOfRecipients},
    {keys::kSeparateDLsWanted, kSeparateDLsWanted},
    {keys::kMessageForNumberOfRecipients, kMessageForNumberOfRecipients},
    {keys::kPromptForBlankSubjectWanted, kPromptForBlankSubjectWanted},
    {keys::kMessageForBlankSubject, kMessageForBlankSubject},
    {keys::kPromptForAnySendWanted, kPromptForAnySendWanted},
    {keys::kMessageForAnySend, kMessageForAnySend},
    {keys::kSeparatePromptsWanted, kSeparatePromptsWanted},
};
// The setting whose absence marks a store that was never initialised.
inline constexpr const char* kMarker = kAll[0].key;
}  // namespace seeded

// What the everyday readers (rules, send driver, forms) pass as the default of
// an absent key. Some differ from the seeded texts on purpose: a store whose keys
// are absent leaves every rule off.
namespace fallback {
inline constexpr char kFetchSettingsExchangePublicFolder[] = "";
inline constexpr char kFetchSettingsNetworkLocation[] = "";

inline constexpr char kPromptForOutsideDomainsWanted[] = "0";
inline constexpr char kListOfOutsideDomains[] = "";
inline constexpr const char* kMessageForOutsideDomains = seeded::kMessageForOutsideDomains;

inline constexpr char kPromptForEmailAddressesDomainsWanted[] = "0";
inline constexpr char kListOfEmailAddressesDomains[] = "";
inline constexpr char kMessageForEmailAddressesDomains[] =
    "Are you sure you want to send an email to these addresses?";

inline constexpr char kPromptForKeywordsWanted[] = "0";
inline constexpr char kListOfKeywords[] = "";
inline constexpr const char* kMessageForKeywords = seeded::kMessageForKeywords;

inline constexpr char kPromptForNumberOfRecipientsWanted[] = "0";
inline constexpr char kMaxNumberOfRecipients[] = "20";
inline constexpr char kSeparateDLsWanted[] = "0";
inline constexpr const char* kMessageForNumberOfRecipients = seeded::kMessageForNumberOfRecipients;

inline constexpr char kPromptForBlankSubjectWanted[] = "0";
inline constexpr char kMessageForBlankSubject[] =
    "Are you sure you want to send this email with a blank subject?";

inline constexpr char kPromptForAnySendWanted[] = "0";
inline constexpr const char* kMessageForAnySend = seeded::kMessageForAnySend;

inline constexpr char kSeparatePromptsWanted[] = "1";
}  // namespace fallback

}  // namespace postwarden
