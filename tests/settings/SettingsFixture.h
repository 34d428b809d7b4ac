#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/SettingKeys.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden {

// Reaches the module's settings routines from tests.
struct SettingsAccess {
    explicit SettingsAccess(CPostwarden& module) : m(module) {}

    void EnsureDefaultSettings() { m.EnsureDefaultSettings(); }
    bool FetchSettingsFromExchange(const std::string& path) {
        return m.FetchSettingsFromExchange(path);
    }
    bool FetchSettingsFromNetworkLocation(const std::string& path) {
        return m.FetchSettingsFromNetworkLocation(path);
    }
    bool ReadSettingsFromXML(const std::string& text) { return m.ReadSettingsFromXML(text); }

    CPostwarden& m;
};

// A started module on the fakes.
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::shared_ptr<Engine> e = engine;
        module.YSStartup(e);
        platform.log.clear();
    }

    // The lines of one source as messages, in order.
    std::vector<std::string> Lines(const std::string& source) const {
        std::vector<std::string> out;
        for (const fakes::LogLine& line : platform.log) {
            if (line.source == source) out.push_back(line.message);
        }
        return out;
    }
    // The error reports as "LEVEL|SOURCE|MESSAGE" texts.
    std::vector<std::string> Events() const { return platform.Events(); }
    // Events() when `routine` alone reported `text`.
    static std::vector<std::string> Reported(int level, const std::string& routine,
                                             const std::string& text) {
        return {std::to_string(level) + "|Postwarden." + routine + "|" + text};
    }
    // Forgets the log and the writes so far, to look at what comes next.
    void Forget() {
        platform.log.clear();
        platform.settingWrites.clear();
    }
    std::string Stored(const std::string& key) const {
        return platform.Setting(key).value_or("<absent>");
    }
    // Puts a settings item holding `body` into `folder` of the mail store.
    std::shared_ptr<fakes::FakeMessageData> Publish(
        const std::string& folder, const std::string& body, const std::string& format = "1",
        const std::string& subject = "Post Warden Settings") {
        auto item = std::make_shared<fakes::FakeMessageData>();
        item->subject = subject;
        item->properties = {{"Body", body}, {"BodyFormat", format}};
        platform.store.folders[folder].push_back(item);
        return item;
    }

    fakes::FakePlatform platform;
    std::shared_ptr<fakes::FakeEngine> engine = platform.NewEngine();
    CPostwarden module{platform};
    SettingsAccess s{module};
};

// A complete settings document: every element, with values distinct from the
// seeded ones. `extra` goes just before the end of the root element.
inline std::string Document(const std::string& extra = "") {
    return "<?xml version=\"1.0\"?>\n"
           "<PostWarden>\n"
           "  <PromptForOutsideDomainsWanted>1</PromptForOutsideDomainsWanted>\n"
           "  <ListOfOutsideDomains><Domain>corp.example</Domain>\n"
           "    <Domain>*.corp.example</Domain></ListOfOutsideDomains>\n"
           "  <MessageForOutsideDomains>Outside?</MessageForOutsideDomains>\n"
           "  <PromptForEmailAddressesDomainsWanted>0</PromptForEmailAddressesDomainsWanted>\n"
           "  <ListOfEmailAddressesDomains/>\n"
           "  <MessageForEmailAddressesDomains>Watched?</MessageForEmailAddressesDomains>\n"
           "  <PromptForKeywordsWanted>1</PromptForKeywordsWanted>\n"
           "  <ListOfKeywords><k>secret</k><k>confidential</k></ListOfKeywords>\n"
           "  <MessageForKeywords>Keywords?</MessageForKeywords>\n"
           "  <PromptForNumberOfRecipientsWanted>1</PromptForNumberOfRecipientsWanted>\n"
           "  <NumberOfRecipients>25</NumberOfRecipients>\n"
           "  <SeparateDLsWanted>1</SeparateDLsWanted>\n"
           "  <MessageForNumberOfRecipients>Many?</MessageForNumberOfRecipients>\n"
           "  <PromptForBlankSubjectWanted>1</PromptForBlankSubjectWanted>\n"
           "  <MessageForBlankSubject>Blank?</MessageForBlankSubject>\n"
           "  <PromptForAnySendWanted>0</PromptForAnySendWanted>\n" +
           extra + "</PostWarden>\n";
}

// The 27 trace lines of a freshly seeded store, in the order of the settings.
inline const std::vector<std::string> kSeededTrace = {
    "PromptForOutsideDomainsWanted: 0",
    "ListOfOutsideDomains: ",
    "MessageForOutsideDomains: Are you sure you want to send this email outside the company?",
    "PromptForEmailAddressesDomainsWanted: 0",
    "ListOfEmailAddressesDomains: ",
    "MessageForEmailAddressesDomains: Are you sure you want to send this email to these addresses?",
    "PromptForKeywordsWanted: 0",
    "ListOfKeywords: ",
    "MessageForKeywords: Are you sure you want to send this email with these keywords?",
    "PromptForNumberOfRecipientsWanted: 0",
    "MaxNumberOfRecipients: 0",
    "SeparateDLsWanted: 0",
    "MessageForNumberOfRecipients: Are you sure you want to send this email to all these people?",
    "PromptForBlankSubjectWanted: 0",
    "MessageForBlankSubject: Are you sure you want to send this email without a subject?",
    "PromptForAnySendWanted: 1",
    "MessageForAnySend: Are you sure you want to send this email?",
    "PromptForManyOrganisationsWanted: 0",
    "MaxNumberOfOrganisations: 3",
    "MessageForManyOrganisations: Are you sure these organisations may see each other's "
    "addresses?",
    "PromptForMissingAttachmentWanted: 0",
    "ListOfAttachmentWords: attached;attachment;attach;enclosed;anbei;Anhang;angeh\u00e4ngt;"
    "pi\u00e8ce jointe;ci-joint;adjunto;allegato;bijlage",
    "MessageForMissingAttachment: This email mentions an attachment but has none. Send it anyway?",
    "PromptForNewRecipientsWanted: 0",
    "MessageForNewRecipients: You have never written to these recipients before. Send it anyway?",
    "PromptForLookAlikeDomainsWanted: 1",
    "MessageForLookAlikeDomains: A recipient's domain only looks like one you know. Send it "
    "anyway?",
};

// The keys of the traced settings in their order, the last `leaveOut` left out.
inline std::vector<std::string> TracedKeys(size_t leaveOut = 0) {
    std::vector<std::string> keys;
    for (size_t i = 0; i + leaveOut < kSeededTrace.size(); ++i) {
        keys.push_back(kSeededTrace[i].substr(0, kSeededTrace[i].find(':')));
    }
    return keys;
}

// The 16 keys every document carries, in the order an import writes them: the
// traced ones up to the any-send switch (its question no document carries).
inline std::vector<std::string> ImportedKeys() {
    std::vector<std::string> keys = TracedKeys();
    keys.resize(16);
    return keys;
}

// The 10 keys a document may leave out, in the order an import writes them
// after the 16: the traced ones after the any-send question.
inline std::vector<std::string> OptionalKeys() {
    const std::vector<std::string> keys = TracedKeys();
    return std::vector<std::string>(keys.begin() + 17, keys.end());
}

}  // namespace postwarden
