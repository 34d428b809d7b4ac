// The send driver: runs once for every message the user sends, puts it through
// the enabled rules and answers whether the send may go ahead.
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/CPostwarden.h"
#include "module/Evidence.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/MapiSession.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "module/ThreadObjects.h"
#include "prompts/frmYesNoPrompt.h"
#include "util/RuntimeError.h"
#include "util/Text.h"
#include "validation/Globals.h"

namespace postwarden {

namespace {

constexpr const char* kSource = "ProcessItem";

std::string WithBool(const char* label, bool value) {
    return std::string(label) + std::string(BoolText(value));
}

std::string WithNumber(const char* label, int32_t value) {
    return std::string(label) + std::to_string(value);
}

// Hands the send's result to the host however the driver ends.
class ResultHandOver {
  public:
    ResultHandOver(Platform& platform, const SendResult& result)
        : platform_(platform), result_(result) {}
    ~ResultHandOver() { platform_.SendChecked(result_); }
    ResultHandOver(const ResultHandOver&) = delete;
    ResultHandOver& operator=(const ResultHandOver&) = delete;

  private:
    Platform& platform_;
    const SendResult& result_;
};

// What a rule's check reads, through the module's settings store, how it
// compares, through the engine as the six do, and the recipient history,
// through the platform.
class ModuleRuleInput final : public RuleInput {
  public:
    using Reader = std::function<std::string(const std::string&, const std::string&)>;
    using Matcher = std::function<int32_t(std::string_view, std::string_view)>;
    ModuleRuleInput(MapiMessage& message, const std::vector<std::string>& addresses,
                    Platform& platform, Reader read, Matcher matches)
        : message_(message),
          addresses_(addresses),
          platform_(platform),
          read_(std::move(read)),
          matches_(std::move(matches)) {}
    MapiMessage& Message() override { return message_; }
    std::string Setting(const char* key) override {
        const char* fallbackText = FallbackFor(key);
        return read_(key, fallbackText != nullptr ? fallbackText : "");
    }
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        return matches_(value, entry);
    }
    const std::vector<std::string>& Addresses() override { return addresses_; }
    int64_t RecordedSends() override { return platform_.RecordedSends(); }
    std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses) override {
        return platform_.KnownRecipients(addresses);
    }
    std::vector<bool> KnownDomains(const std::vector<std::string>& domains) override {
        return platform_.KnownDomains(domains);
    }
    std::vector<std::string> FamiliarDomainsLike(std::string_view domain) override {
        return platform_.FamiliarDomainsLike(domain);
    }

  private:
    MapiMessage& message_;
    const std::vector<std::string>& addresses_;
    Platform& platform_;
    Reader read_;
    Matcher matches_;
};

}  // namespace

void CPostwarden::NoteRuleFailure(const Rule* rule, std::string_view source,
                                  std::string_view text) {
    if (rule != nullptr &&
        std::find(m_SendResult.failedRules.begin(), m_SendResult.failedRules.end(), rule->name) ==
            m_SendResult.failedRules.end()) {
        m_SendResult.failedRules.emplace_back(rule->name);
    }
    if (m_SendResult.failure.empty()) {
        m_SendResult.failure = std::string(source) + ": " + std::string(text);
    }
}

void CPostwarden::ReportRuleFailure(const Rule& rule, const char* source, int32_t level,
                                    const std::string& text) {
    NoteRuleFailure(&rule, source, text);
    ReportFailure(source, level, text);
}

bool CPostwarden::CheckOtherRules(const bool& separatePromptsWanted, MapiMessage& message,
                                  const std::vector<int32_t>& wanted) {
    ModuleRuleInput input(
        message, m_SendResult.addresses, platform_,
        [this](const std::string& key, const std::string& fallbackText) {
            return GetSetting(key, fallbackText);
        },
        [this](std::string_view value, std::string_view entry) {
            return Helper().MatchesEntry(value, entry);
        });
    for (size_t i = kDriverRuleCount; i < kRuleCount; ++i) {
        const Rule& rule = kRules[i];
        const RuleCheck check = CheckOf(rule);
        if (wanted[i] == 0 || check == nullptr) continue;
        bool ok = true;
        try {
            RuleFinding found;
            if (check(input, found)) {
                ThreadEvidence().findings.push_back({i, std::move(found)});
                ok = ConfirmFiredRule(separatePromptsWanted, rule);
                ThreadGlobals().*rule.flag = true;
            }
        } catch (const RuntimeError& e) {
            ReportRuleFailure(rule, rule.FailureSource().c_str(), 1, FailureText(e.Description()));
        }
        if (!ok) return false;
    }
    return true;
}

bool CPostwarden::ProcessItem(std::shared_ptr<OutlookItem>& item) {
    using errors::Require;
    bool result = true;
    bool ok = true;
    // The progress number a failure reports as its line.
    int32_t stage = 0;
    Globals& flags = ThreadGlobals();
    flags = Globals{};
    SendEvidence& evidence = ThreadEvidence();
    evidence = SendEvidence{};
    m_SendResult = SendResult{};
    const ResultHandOver handOver(platform_, m_SendResult);

    // Everything the send opens is dropped when the driver returns, whichever way.
    std::shared_ptr<OutlookApplication> application;
    std::shared_ptr<OutlookSession> outlookSession;
    std::shared_ptr<MapiSession> session;
    std::shared_ptr<MapiMessage> message;
    std::shared_ptr<MapiRecipients> recipients;
    try {
        stage = 2;
        auto readSwitch = [this](const char* key, const char* fallbackText) {
            return ToLong(GetSetting(key, fallbackText));
        };
        // Each rule's switch, in rule order.
        std::vector<int32_t> wanted;
        for (const Rule& rule : kRules) {
            wanted.push_back(readSwitch(rule.switchKey, rule.SwitchFallback()));
        }
        const int32_t outsideDomainsWanted = wanted[RuleIndex(kOutsideDomainsRule)];
        const int32_t emailAddressesDomainsWanted = wanted[RuleIndex(kEmailAddressesDomainsRule)];
        const int32_t keywordsWanted = wanted[RuleIndex(kKeywordsRule)];
        const int32_t numberOfRecipientsWanted = wanted[RuleIndex(kNumberOfRecipientsRule)];
        const int32_t blankSubjectWanted = wanted[RuleIndex(kBlankSubjectRule)];
        const int32_t anySendWanted = wanted[RuleIndex(kAnySendRule)];
        int32_t separateDLsWanted = 0;
        if (numberOfRecipientsWanted != 0) {
            separateDLsWanted = readSwitch(keys::kSeparateDLsWanted, fallback::kSeparateDLsWanted);
        }

        m_OutsideDomainsPrompted = false;
        m_EmailAddressesDomainsPrompted = false;
        m_KeywordsPrompted = false;
        const bool separatePromptsWanted =
            readSwitch(keys::kSeparatePromptsWanted, fallback::kSeparatePromptsWanted) != 0;

        stage = 4;
        Require(item).Save();
        const std::string entryId = item->EntryID();
        application = Require(m_engine).Application();
        outlookSession = Require(application).Session();
        session = platform_.CreateMapiSession(kSessionProgId);
        if (Require(application).Version().starts_with('9')) {
            Require(session).Logon();
            Log(kSource, WithBool("Logged on: ", session->LoggedOn()), 0);
        } else {
            Require(session).SetMAPIOBJECT(Require(outlookSession).MAPIOBJECT());
        }

        // The message is looked for as well as can be: a failure here only means
        // it was not found this way.
        stage = 7;
        try {
            message = Require(session).GetMessageFromID(entryId);
        } catch (const RuntimeError&) {
        }
        if (!message) {
            try {
                message = FindInDrafts(session, item->Subject());
            } catch (const RuntimeError&) {
            }
        }
        if (!message) {
            try {
                // No source: this line has never had one.
                const std::string text = FailureText("Failed to find item in drafts folder.");
                NoteRuleFailure(nullptr, "", text);
                ReportFailure("", 0, text);
            } catch (const RuntimeError&) {
            }
            return result;
        }

        stage = 8;
        // Members of lists can add up past 32 bits: counted wide, passed on
        // saturated, so the count never wraps below the maximum.
        int64_t extra = 0;
        recipients = message->Recipients();
        const int32_t count = Require(recipients).Count();
        Log(kSource, WithNumber("Starting recipients count: ", count), 0);
        m_SendResult.recipients = count;
        evidence.present = true;
        evidence.recipientCount = count;
        // The mail client's item holds the subject as the person wrote it; the
        // details only go without it when it cannot be read.
        try {
            evidence.subject = CutText(item->Subject(), kMaxEvidenceText);
        } catch (const RuntimeError&) {
        }
        if (recipients->Truncated()) {
            Log(kSource,
                "More recipients than the " + std::to_string(count) +
                    " read: the count is taken as over any maximum",
                0);
        }

        for (int32_t i = 1; i <= count; ++i) {
            stage = 10;
            std::shared_ptr<MapiRecipient> recipient = recipients->Item(i);
            std::shared_ptr<MapiAddressEntry> entry = Require(recipient).AddressEntry();
            const std::string address = entry ? entry->Address() : recipient->Address();
            Log(kSource,
                "Recipient #" + std::to_string(i) + ": " + recipient->Name() + " [" + address + "]",
                0);
            m_SendResult.addresses.push_back(address);

            stage = 12;
            if (outsideDomainsWanted != 0) {
                ok = CheckOutsideDomains(separatePromptsWanted, address);
                if (separatePromptsWanted && !ok) break;
            }
            stage = 14;
            if (emailAddressesDomainsWanted != 0) {
                ok = CheckEmailAddressesDomains(separatePromptsWanted, address);
                if (separatePromptsWanted && !ok) break;
            }
            stage = 16;
            // A distribution list counts as its members.
            if (numberOfRecipientsWanted != 0 && separateDLsWanted != 0 && entry) {
                if (std::shared_ptr<MapiAddressList> members = entry->Members()) {
                    extra += static_cast<int64_t>(members->Count()) - 1;
                }
            }
        }

        stage = 18;
        Log(kSource, WithBool("Keywords (start) passed: ", ok), 0);
        Log(kSource, WithNumber("Prompt for Keywords Wanted: ", keywordsWanted), 0);
        if (ok) {
            m_KeywordsInBody = false;
            m_AttachmentNames.clear();
            m_UnreadParts.clear();
            if (keywordsWanted != 0) ok = CheckKeywords(separatePromptsWanted, message->Subject());
            Log(kSource, WithBool("Keywords (subject) passed: ", ok), 0);
            if (ok && keywordsWanted != 0) {
                m_KeywordsInBody = true;
                // Only to say where a keyword stood: without them it is put down to the body.
                try {
                    m_AttachmentNames = message->AttachmentNames();
                } catch (const RuntimeError&) {
                }
                // What the body lacks, which the rule asks about in place of a
                // keyword; a store that cannot tell cannot give the body either.
                m_UnreadParts = message->UnreadParts();
                const int32_t format = message->BodyFormat();
                switch (format) {
                    case kFormatPlain:
                        ok = CheckKeywords(separatePromptsWanted, message->Body());
                        break;
                    case kFormatRichText:
                        ok = CheckKeywords(separatePromptsWanted, message->RTFBody());
                        break;
                    case kFormatHTML:
                        ok = CheckKeywords(separatePromptsWanted, message->HTMLBody());
                        break;
                    default:
                        Log(kSource, WithNumber("Unrecognized body format: ", format), 0);
                        break;
                }
                Log(kSource, WithBool("Keywords (body) passed: ", ok), 0);
            }
        }

        stage = 20;
        if (ok && numberOfRecipientsWanted != 0) {
            const int64_t wide = recipients->Truncated() ? std::numeric_limits<int32_t>::max()
                                                         : recipients->Count() + extra;
            const int32_t total = static_cast<int32_t>(std::clamp<int64_t>(
                wide, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
            ok = CheckNumberOfRecipients(separatePromptsWanted, total);
        }
        stage = 22;
        if (ok && blankSubjectWanted != 0)
            ok = CheckBlankSubject(separatePromptsWanted, message->Subject());
        stage = 24;
        if (ok && anySendWanted != 0) ok = CheckAnySend(separatePromptsWanted);
        stage = 26;
        if (ok) ok = CheckOtherRules(separatePromptsWanted, *message, wanted);

        Log(kSource, WithBool("Separate prompts wanted: ", separatePromptsWanted), 0);
        for (const Rule& rule : kRules) {
            Log(kSource, rule.ViolatedLabel() + std::string(BoolText(flags.*rule.flag)), 0);
            if (flags.*rule.flag) m_SendResult.fired.emplace_back(rule.name);
        }

        if (separatePromptsWanted) {
            // Each rule that fired has asked already; a No among them ended the checks.
            result = ok;
        } else if (AnyFired(flags)) {
            const int32_t response = ThreadObjects::For(platform_).YesNoPrompt().Ask(
                kPromptValues, kPromptFriendlyName, UsingWordAsEmailEditor);
            m_SendResult.answers.push_back(response);
            if (response == kAnswerNo) result = false;
            Log(kSource,
                "Prompt: Send This Message?  User Response: " + std::to_string(response) +
                    "; (No = 7)",
                0);
        }
        // What the rules found, for the log and for the host to repeat when it
        // says why a send was held. A rule notes its evidence just before it
        // asks, so a rule whose question could not be shown has some too,
        // though its flag was never set. Last, so that a failure to write them
        // can neither keep a question from being asked nor undo its answer.
        for (const Rule& rule : kRules) {
            const std::string found = ShortEvidence(evidence, rule);
            if (found.empty()) continue;
            m_SendResult.evidence.push_back({rule.name, found});
            Log(kSource, rule.EvidenceLabel() + found, 0);
        }
        return result;
    } catch (const RuntimeError& e) {
        // The check must never keep a message from being sent because it failed.
        try {
            const std::string text = FailureText(stage, e.Description());
            NoteRuleFailure(nullptr, "Postwarden.ProcessItem", text);
            ReportFailure("Postwarden.ProcessItem", 1, text);
        } catch (const RuntimeError&) {
        }
        // A failure lets the send go ahead, but never one the person has already
        // refused: a rule answers false, and the form sets result, only on No.
        return result && ok;
    }
}

}  // namespace postwarden
