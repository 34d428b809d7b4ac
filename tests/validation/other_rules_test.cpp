// The rules after the six: many organisations seeing each other, an
// attachment mentioned but missing, recipients never written to and domains
// that look like known ones; their checks through the send driver, and the
// search for attachment words in what the sender wrote.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "module/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"
#include "util/Glob.h"
#include "validation/AttachmentWords.h"
#include "validation/RecipientDomains.h"

namespace postwarden {
namespace {

const std::vector<std::string> kWords = {"attached",         "attachment", "attach",
                                         "enclosed",         "Anhang",     "angeh\u00e4ngt",
                                         "pi\u00e8ce jointe"};

TEST(AttachmentWordsTest, FindsAWholeWordInWhatTheSenderWroteOnly) {
    const struct {
        const char* body;
        std::optional<std::string> word;  // nothing: no mention
        std::string line;
    } cases[] = {
        {"Hi,\nplease see the attached report.\nAnn", "attached",
         "please see the attached report."},
        {"ATTACHED is the plan", "attached", "ATTACHED is the plan"},
        {"Siehe ANHANG.", "Anhang", "Siehe ANHANG."},
        {"Datei angeh\u00c4ngt", "angeh\u00e4ngt", "Datei angeh\u00c4ngt"},
        {"Voir la Pi\u00c8ce Jointe", "pi\u00e8ce jointe", "Voir la Pi\u00c8ce Jointe"},
        {"  attachment:\tnone yet  \r\nok", "attachment", "attachment:\tnone yet"},
        // The first line that mentions one, and its first word of the list.
        {"enclosed and attached\nattach", "attached", "enclosed and attached"},
        // Whole words only.
        {"the attachedness of it", std::nullopt, ""},
        {"reattach later", std::nullopt, ""},
        {"unattached_x", std::nullopt, ""},
        {"attached2", std::nullopt, ""},
        {"(attached)", "attached", "(attached)"},
        {"the attachment's name", "attachment", "the attachment's name"},
        // Quoted lines are not the sender's.
        {"Thanks!\n> see attached\n>> attached", std::nullopt, ""},
        {"   > see attached", std::nullopt, ""},
        // Nor what follows a signature separator or an enclosed message's header.
        {"Hi\n-- \nAnn, attached files", std::nullopt, ""},
        {"Hi\n--\r\nattached", std::nullopt, ""},
        {"Hi\n-----Original Message-----\nsee attached", std::nullopt, ""},
        {"Hi\n-------- Forwarded Message --------\nattached", std::nullopt, ""},
        {"Hi\nFrom: Bob\nSent: Monday\nSubject: x\n\nattached", std::nullopt, ""},
        // A sender's "From:" line alone ends nothing.
        {"From: me, with the plan attached", "attached", "From: me, with the plan attached"},
        // A reply's attribution, on one line or wrapped, and in another language.
        {"Top\n\nOn Mon, 1 Jan 2024, Bob wrote:\nsee attached", std::nullopt, ""},
        {"Top\nOn Mon, 1 Jan 2024 at 10:00, Bob <bob@x.example>\nwrote:\nattached", std::nullopt,
         ""},
        {"Top\nAm 01.01.24 um 10:00 schrieb Bob:\nAnhang", std::nullopt, ""},
        {"Top\nLe 1 janv. 2024, Bob a \u00e9crit :\nattached", std::nullopt, ""},
        // Text above the attribution is the sender's.
        {"Here it is, attached.\n\nOn Mon, Bob wrote:\n> send it", "attached",
         "Here it is, attached."},
        // An attribution followed by quoted lines: the answers between them count.
        {"On Mon, Bob wrote:\n> can you send it?\n\nYes, attached.\n", "attached",
         "Yes, attached."},
        {"On Mon, Bob wrote:\n\n> see attached\n\nThanks.", std::nullopt, ""},
        // A line that only begins like an attribution ends nothing.
        {"On Monday I will send it\nattached then", "attached", "attached then"},
        {"", std::nullopt, ""},
    };
    const validation::AttachmentWords words(kWords);
    for (const auto& c : cases) {
        const std::optional<validation::AttachmentMention> found = words.FindIn(c.body);
        ASSERT_EQ(found.has_value(), c.word.has_value()) << c.body;
        if (!found) continue;
        EXPECT_EQ(found->word, *c.word) << c.body;
        EXPECT_EQ(found->line, c.line) << c.body;
    }
}

TEST(AttachmentWordsTest, EmptyWordsAreDroppedAndAnEmptyListFindsNothing) {
    const validation::AttachmentWords none({"", "  "});
    EXPECT_TRUE(none.Empty());
    EXPECT_FALSE(none.FindIn("attached").has_value());
    const validation::AttachmentWords one({"", " enclosed "});
    EXPECT_FALSE(one.Empty());
    ASSERT_TRUE(one.FindIn("Enclosed: the form").has_value());
    EXPECT_EQ(one.FindIn("Enclosed: the form")->word, "enclosed");
}

TEST(RecipientDomainsTest, EveryDomainTheMailReachesMustBeTheCompanys) {
    const auto exact = [](std::string_view value, std::string_view entry) {
        return value == entry;
    };
    const struct {
        const char* written;
        std::vector<const char*> entries;
        bool inside;
        std::vector<std::string> outside;
        std::string named;
    } cases[] = {
        {"ann@corp.example", {"corp.example"}, true, {}, "corp.example"},
        {"ann@partner.example", {"corp.example"}, false, {"partner.example"}, "partner.example"},
        {"boss%rival.example@corp.example",
         {"corp.example"},
         false,
         {"rival.example"},
         "rival.example"},
        {"boss%rival.example@partner.example",
         {"corp.example"},
         false,
         {"partner.example", "rival.example"},
         "partner.example"},
        {"ann@xn--bcher-kva.example", {"b\u00fccher.example"}, true, {}, "xn--bcher-kva.example"},
        // Nothing written after an "@": named by where the route leads.
        {"rival.example!boss", {"corp.example"}, false, {"rival.example"}, "rival.example"},
        {"undisclosed", {"corp.example"}, false, {}, ""},
    };
    for (const auto& c : cases) {
        validation::RecipientDomains domains(c.written);
        bool inside = false;
        for (const char* entry : c.entries) inside = domains.Compare(entry, exact);
        EXPECT_EQ(inside, c.inside) << c.written;
        EXPECT_EQ(domains.AllInside(), c.inside) << c.written;
        EXPECT_EQ(domains.Outside(), c.outside) << c.written;
        const std::string written =
            std::string(c.written).substr(std::string(c.written).find('@') == std::string::npos
                                              ? std::string(c.written).size()
                                              : std::string(c.written).find('@') + 1);
        if (!c.inside) {
            EXPECT_EQ(domains.NamedOutside(written), c.named) << c.written;
        }
    }
}

class OtherRulesTest : public ValidationTest {
  protected:
    void SetUp() override {
        ValidationTest::SetUp();
        message->subject = "Plans";
        message->properties["Body"] = "Hello";
        platform.store.byEntryId[item->entryId] = message;
        item->subject = "Plans";
        platform.SetSetting(keys::kPromptForAnySendWanted, "0");
        platform.SetSetting(keys::kListOfOutsideDomains, "corp.example;*.corp.example");
        // The engine's comparison, as the command's engine makes it.
        platform.matchesEntry = [](std::string_view value, std::string_view entry) {
            return GlobMatch(value, entry) ? int32_t{1} : int32_t{0};
        };
    }
    void Add(const std::string& address, int32_t type = kRecipientTo) {
        fakes::FakeRecipientData recipient{address, address, true, "", {}};
        recipient.type = type;
        message->recipients.push_back(recipient);
    }
    // The recipients `a@one.example` ... in To, one domain each.
    void AddOrganisations(int count, int32_t type = kRecipientTo) {
        for (int i = 1; i <= count; ++i) Add("a@org" + std::to_string(i) + ".example", type);
    }
    bool Send() { return v.ProcessItem(item); }
    std::string TraceOf(const std::string& prefix) const {
        for (const std::string& line : Lines("trace")) {
            if (line.starts_with("ProcessItem|" + prefix)) return line.substr(12);
        }
        return "(none)";
    }
    const SendResult& Result() const { return platform.results.back(); }

    std::shared_ptr<fakes::FakeItem> item = std::make_shared<fakes::FakeItem>(platform);
    std::shared_ptr<fakes::FakeMessageData> message = std::make_shared<fakes::FakeMessageData>();
};

TEST_F(OtherRulesTest, ManyOrganisationsCountsDistinctOutsideDomainsInToAndCcOverTheLimit) {
    platform.SetSetting(keys::kPromptForManyOrganisationsWanted, "1");
    const struct {
        const char* what;
        std::vector<std::pair<std::string, int32_t>> recipients;
        bool fires;
    } cases[] = {
        {"three is the limit",
         {{"a@o1.example", 1}, {"b@o2.example", 2}, {"c@o3.example", 1}},
         false},
        {"four in To and Cc",
         {{"a@o1.example", 1}, {"b@o2.example", 2}, {"c@o3.example", 1}, {"d@o4.example", 2}},
         true},
        {"Bcc sees nobody",
         {{"a@o1.example", 1}, {"b@o2.example", 2}, {"c@o3.example", 1}, {"d@o4.example", 3}},
         false},
        {"a domain counts once, whatever its case",
         {{"a@o1.example", 1}, {"b@O1.Example", 2}, {"c@o2.example", 1}, {"d@o3.example", 1}},
         false},
        {"the company's domains do not count",
         {{"a@o1.example", 1},
          {"b@corp.example", 2},
          {"c@sales.corp.example", 1},
          {"d@o2.example", 1},
          {"e@o3.example", 1}},
         false},
        {"a domain an address routes on to counts",
         {{"a@o1.example", 1},
          {"b%o4.example@corp.example", 1},
          {"c@o2.example", 1},
          {"d@o3.example", 1}},
         true},
    };
    for (const auto& c : cases) {
        message->recipients.clear();
        for (const auto& [address, type] : c.recipients) Add(address, type);
        platform.log.clear();
        Answers({kYes});
        EXPECT_TRUE(Send()) << c.what;
        EXPECT_EQ(ThreadGlobals().ManyOrganisationsViolated, c.fires) << c.what;
        EXPECT_EQ(TraceOf("Violated Many Organisations Rule: "),
                  std::string("Violated Many Organisations Rule: ") + (c.fires ? "True" : "False"))
            << c.what;
        EXPECT_EQ(Shown().size(), c.fires ? 1u : 0u) << c.what;
    }
}

TEST_F(OtherRulesTest, ManyOrganisationsNamesTheDomainsAndSuggestsBcc) {
    platform.SetSetting(keys::kPromptForManyOrganisationsWanted, "1");
    platform.SetSetting(keys::kMaxNumberOfOrganisations, "2");
    AddOrganisations(7);
    Add("boss@corp.example", kRecipientCc);
    Answers({kNo});
    EXPECT_FALSE(Send());
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
              "Are you sure these organisations may see each other's addresses?");
    const std::vector<std::string> details(Shown()[0].details.begin() + 2,
                                           Shown()[0].details.end());
    EXPECT_EQ(details,
              (std::vector<std::string>{
                  "Organisations in To and Cc (7, at most 2):", "  org1.example", "  org2.example",
                  "  org3.example", "  org4.example", "  org5.example", "  and 2 more",
                  "Each of them sees every other's address; Bcc keeps them apart."}));
    const std::string summary =
        "7 organisations in To and Cc, at most 2 (org1.example, org2.example, org3.example, "
        "org4.example, org5.example and 2 more); Bcc keeps them apart";
    EXPECT_EQ(TraceOf("Evidence of Many Organisations Rule: "),
              "Evidence of Many Organisations Rule: " + summary);
    EXPECT_EQ(Result().fired, std::vector<std::string>{"Many Organisations"});
    ASSERT_EQ(Result().evidence.size(), 1u);
    EXPECT_EQ(Result().evidence[0].text, summary);
    EXPECT_EQ(Result().answers, std::vector<int32_t>{7});
}

TEST_F(OtherRulesTest, ManyOrganisationsWithoutCompanyDomainsCountsEveryDomainAndNoLimitIsZero) {
    platform.SetSetting(keys::kPromptForManyOrganisationsWanted, "1");
    platform.SetSetting(keys::kListOfOutsideDomains, "");
    for (const auto& [limit, fires] :
         {std::pair{"1", false}, std::pair{"0", true}, std::pair{"-5", true}}) {
        message->recipients.clear();
        Add("a@corp.example");
        platform.SetSetting(keys::kMaxNumberOfOrganisations, limit);
        Answers({kYes});
        EXPECT_TRUE(Send());
        EXPECT_EQ(ThreadGlobals().ManyOrganisationsViolated, fires) << limit;
    }
    // A limit that is no number is the rule's failure; the send goes on.
    platform.SetSetting(keys::kMaxNumberOfOrganisations, "many");
    EXPECT_TRUE(Send());
    EXPECT_FALSE(ThreadGlobals().ManyOrganisationsViolated);
    EXPECT_EQ(Result().failedRules, std::vector<std::string>{"Many Organisations"});
    EXPECT_EQ(Events().back(),
              "1|Postwarden.CheckManyOrganisations|Error occurred.  Reason: Type mismatch");
}

TEST_F(OtherRulesTest, MissingAttachmentAsksWhenTheWrittenTextMentionsOneAndThereIsNone) {
    platform.SetSetting(keys::kPromptForMissingAttachmentWanted, "1");
    Add("bob@corp.example");
    const struct {
        const char* body;
        int32_t attachments;
        bool fires;
    } cases[] = {
        {"Please see the attached report.", 0, true},
        {"Please see the attached report.", 1, false},
        {"See you on Monday.", 0, false},
        {"Thanks!\n\nOn Mon, Bob wrote:\n> see attached", 0, false},
    };
    for (const auto& c : cases) {
        message->properties["Body"] = c.body;
        message->attachmentCount = c.attachments;
        // The rules' search body, which ends with attachment names, is not read.
        message->body = "attached";
        platform.log.clear();
        Answers({kYes});
        EXPECT_TRUE(Send()) << c.body;
        EXPECT_EQ(ThreadGlobals().MissingAttachmentViolated, c.fires) << c.body;
        EXPECT_EQ(TraceOf("Violated Missing Attachment Rule: "),
                  std::string("Violated Missing Attachment Rule: ") + (c.fires ? "True" : "False"))
            << c.body;
    }
}

TEST_F(OtherRulesTest, MissingAttachmentShowsTheWordAndItsLineCutAroundTheWord) {
    platform.SetSetting(keys::kPromptForMissingAttachmentWanted, "1");
    platform.SetSetting(keys::kListOfAttachmentWords, "enclosed");
    Add("bob@corp.example");
    const std::string longLine =
        std::string(300, 'x') + " the form is enclosed " + std::string(300, 'y');
    for (const auto& [body, line, shortLine] :
         {std::tuple<std::string, std::string, std::string>{
              "Dear Bob,\n  The form is ENCLOSED.  \n", "  The form is ENCLOSED.",
              "\"The form is ENCLOSED.\""},
          {longLine,
           "  \u2026" + std::string(71, 'x') + " the form is enclosed " + std::string(161, 'y') +
               "\u2026",
           "\"\u2026" + std::string(7, 'x') + " the form is enclosed " + std::string(31, 'y') +
               "\u2026\""}}) {
        message->properties["Body"] = body;
        platform.log.clear();
        Answers({kYes});
        EXPECT_TRUE(Send());
        ASSERT_EQ(Shown().size(), 1u);
        const std::vector<std::string> details(Shown()[0].details.begin() + 2,
                                               Shown()[0].details.end());
        EXPECT_EQ(details, (std::vector<std::string>{
                               "Mentions an attachment (\"enclosed\"), but has none:", line}));
        EXPECT_EQ(TraceOf("Evidence of Missing Attachment Rule: "),
                  "Evidence of Missing Attachment Rule: \"enclosed\" in " + shortLine +
                      ", but no attachment");
    }
}

TEST_F(OtherRulesTest, MissingAttachmentFailuresAreTheRulesAndTheSendGoesOn) {
    platform.SetSetting(keys::kPromptForMissingAttachmentWanted, "1");
    message->properties["Body"] = "attached";
    Add("bob@corp.example");
    platform.SetSetting(keys::kListOfAttachmentWords, " ; ");
    EXPECT_TRUE(Send());
    EXPECT_EQ(Events().back(),
              "1|Postwarden.CheckMissingAttachment|Error occurred.  Reason: List of attachment "
              "words to look for is empty.");
    EXPECT_EQ(Result().failedRules, std::vector<std::string>{"Missing Attachment"});
    platform.SetSetting(keys::kListOfAttachmentWords, "attached");
    platform.FailOn("Message.AttachmentCount");
    EXPECT_TRUE(Send());
    EXPECT_FALSE(ThreadGlobals().MissingAttachmentViolated);
    EXPECT_EQ(Result().failedRules, std::vector<std::string>{"Missing Attachment"});
}

TEST_F(OtherRulesTest, OneFormAsksEveryRuleThatFiredAndTicksTheNewRowsBelowTheSix) {
    platform.SetSetting(keys::kSeparatePromptsWanted, "0");
    platform.SetSetting(keys::kPromptForManyOrganisationsWanted, "1");
    platform.SetSetting(keys::kPromptForMissingAttachmentWanted, "1");
    platform.SetSetting(keys::kPromptForBlankSubjectWanted, "1");
    message->subject = "";
    message->properties["Body"] = "attached";
    AddOrganisations(4);
    Answers({kYes});
    EXPECT_TRUE(Send());
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].form, "frmYesNoPrompt");
    EXPECT_EQ(Result().fired, (std::vector<std::string>{"Blank Subject", "Many Organisations",
                                                        "Missing Attachment"}));
    for (const Rule& rule : kRules) {
        EXPECT_EQ(Shown()[0].Control(rule.checkBox).enabled, ThreadGlobals().*rule.flag)
            << rule.name;
    }
    // Both findings are under the questions, in rule order.
    const std::vector<std::string>& details = Shown()[0].details;
    const auto at = [&](const std::string& line) {
        return std::find(details.begin(), details.end(), line) - details.begin();
    };
    EXPECT_LT(at("Organisations in To and Cc (4, at most 3):"),
              at("Mentions an attachment (\"attached\"), but has none:"));
    EXPECT_LT(at("Mentions an attachment (\"attached\"), but has none:"),
              static_cast<long>(details.size()));
}

// The history the look-alike cases compare with: partner.example and
// ab.example written to twice (familiar), parnter.example once.
void KnownDomainsHistory(fakes::FakePlatform& platform) {
    for (int i = 0; i < 2; ++i) platform.RememberSend({"ann@partner.example", "x@ab.example"});
    platform.RememberSend({"bob@parnter.example"});
}

TEST_F(OtherRulesTest, LookAlikeDomainsAsksAboutAnUnknownDomainThatLooksLikeAKnownOne) {
    platform.SetSetting(keys::kListOfOutsideDomains,
                        "corp.example;*.corp.example;subsidiary?.example;acmecorp.example;"
                        "acme-corp.example");
    KnownDomainsHistory(platform);
    const struct {
        const char* what;
        std::vector<std::string> recipients;
        std::string evidence;  // empty: the rule does not fire
    } cases[] = {
        {"a zero for an o", {"a@c0rp.example"}, "c0rp.example looks like corp.example"},
        {"two letters swapped", {"a@corp.exmaple"}, "corp.exmaple looks like corp.example"},
        {"a Cyrillic o", {"a@c\u043erp.example"}, "c\u043erp.example looks like corp.example"},
        {"a familiar domain of the history",
         {"a@partnre.example"},
         "partnre.example looks like partner.example"},
        {"named once, whatever the case",
         {"A@C0RP.Example", "b@c0rp.example", "c@corp.example"},
         "c0rp.example looks like corp.example"},
        {"a domain the address routes on to",
         {"boss%c0rp.example@corp.example"},
         "c0rp.example looks like corp.example"},
        {"each look-alike",
         {"a@c0rp.example", "b@partnre.example"},
         "c0rp.example looks like corp.example, partnre.example looks like partner.example"},
        {"the company's own domain", {"a@corp.example", "b@sales.corp.example"}, ""},
        // The company owns both spellings.
        {"a company domain like another", {"a@acme-corp.example"}, ""},
        {"a short label that differs", {"a@ac.example"}, ""},
        {"a domain written to before, however it looks", {"a@parnter.example"}, ""},
        {"a domain like nothing known", {"a@faraway.example"}, ""},
        // "subsidiary.example" is one slip from the entry's text, but an
        // entry with "?" or "*" names no domain to be taken for.
        {"an entry with a wildcard", {"a@subsidiary.example"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        message->recipients.clear();
        for (const std::string& address : c.recipients) Add(address, kRecipientCc);
        platform.log.clear();
        Answers({kNo});
        // On by default: no switch is set.
        EXPECT_EQ(Send(), c.evidence.empty());
        EXPECT_EQ(ThreadGlobals().LookAlikeDomainsViolated, !c.evidence.empty());
        EXPECT_EQ(TraceOf("Violated Look-Alike Domains Rule: "),
                  std::string("Violated Look-Alike Domains Rule: ") +
                      (c.evidence.empty() ? "False" : "True"));
        if (c.evidence.empty()) {
            EXPECT_TRUE(Shown().empty());
            continue;
        }
        EXPECT_EQ(TraceOf("Evidence of Look-Alike Domains Rule: "),
                  "Evidence of Look-Alike Domains Rule: " + c.evidence);
        ASSERT_EQ(Result().evidence.size(), 1u);
        EXPECT_EQ(Result().evidence[0].rule, "Look-Alike Domains");
        EXPECT_EQ(Result().evidence[0].text, c.evidence);
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
                  "A recipient's domain only looks like one you know. Send it anyway?");
    }
}

TEST_F(OtherRulesTest, LookAlikeDomainsListsEachOnAFormLineAndCanBeSwitchedOff) {
    platform.SetSetting(keys::kListOfOutsideDomains, "");
    KnownDomainsHistory(platform);
    // Without company domains, the history's familiar domains still count.
    for (const char* domain :
         {"partnre", "partenr", "partne", "partners", "partmer", "pa1tner", "qartner"}) {
        Add(std::string("a@") + domain + ".example");
    }
    Answers({kYes});
    EXPECT_TRUE(Send());
    ASSERT_EQ(Shown().size(), 1u);
    const std::vector<std::string> details(Shown()[0].details.begin() + 2,
                                           Shown()[0].details.end());
    EXPECT_EQ(details, (std::vector<std::string>{
                           "Domains that look like ones you know, but are not them:",
                           "  partnre.example looks like partner.example",
                           "  partenr.example looks like partner.example",
                           "  partne.example looks like partner.example",
                           "  partners.example looks like partner.example",
                           "  partmer.example looks like partner.example", "  and 2 more"}));
    EXPECT_TRUE(Result().evidence[0].text.ends_with(
        "partmer.example looks like partner.example and 2 more"))
        << Result().evidence[0].text;

    platform.SetSetting(keys::kPromptForLookAlikeDomainsWanted, "0");
    platform.log.clear();
    EXPECT_TRUE(Send());
    EXPECT_FALSE(ThreadGlobals().LookAlikeDomainsViolated);
    EXPECT_EQ(TraceOf("Violated Look-Alike Domains Rule: "),
              "Violated Look-Alike Domains Rule: False");
    EXPECT_EQ(platform.CallsOf("KnownDomains"), 1) << "a rule switched off reads no history";
}

TEST_F(OtherRulesTest, NewRecipientsAsksAboutAddressesNeverWrittenToOnceTheHistoryHas20Sends) {
    platform.SetSetting(keys::kPromptForNewRecipientsWanted, "1");
    const struct {
        const char* what;
        int sends;            // of known@partner.example, before the send
        const char* company;  // ListOfOutsideDomains
        std::vector<std::string> recipients;
        std::string evidence;  // empty: the rule does not fire
    } cases[] = {
        {"a new address at 20 sends",
         20,
         "corp.example",
         {"new@partner.example"},
         "never written to before: new@partner.example"},
        {"the same at 19 sends", 19, "corp.example", {"new@partner.example"}, ""},
        {"a known address in another spelling",
         25,
         "corp.example",
         {"\"Known\"@Partner.Example."},
         ""},
        {"a colleague written to first",
         20,
         "corp.example;*.corp.example",
         {"ann@corp.example", "bob@sales.corp.example"},
         ""},
        {"a colleague without company domains",
         20,
         "",
         {"ann@corp.example"},
         "never written to before: ann@corp.example"},
        {"inside, but routed outside",
         20,
         "corp.example",
         {"x%rival.example@corp.example"},
         "never written to before: x%rival.example@corp.example"},
        {"each new address once, as first written",
         20,
         "corp.example",
         {"known@partner.example", "New@Partner.example", "new@partner.example",
          "undisclosed-recipients", "eve@rival.example"},
         "never written to before: New@Partner.example, eve@rival.example"},
        {"seven new addresses",
         20,
         "",
         {"a@n.example", "b@n.example", "c@n.example", "d@n.example", "e@n.example", "f@n.example",
          "g@n.example"},
         "never written to before: a@n.example, b@n.example, c@n.example, d@n.example, "
         "e@n.example and 2 more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform.historyAddresses.clear();
        platform.historyDomains.clear();
        platform.historySends = 0;
        for (int i = 0; i < c.sends; ++i) platform.RememberSend({"known@partner.example"});
        platform.SetSetting(keys::kListOfOutsideDomains, c.company);
        message->recipients.clear();
        for (const std::string& address : c.recipients) Add(address);
        platform.log.clear();
        Answers({kNo});
        EXPECT_EQ(Send(), c.evidence.empty());
        EXPECT_EQ(ThreadGlobals().NewRecipientsViolated, !c.evidence.empty());
        EXPECT_EQ(TraceOf("Violated New Recipients Rule: "),
                  std::string("Violated New Recipients Rule: ") +
                      (c.evidence.empty() ? "False" : "True"));
        if (c.evidence.empty()) continue;
        EXPECT_EQ(TraceOf("Evidence of New Recipients Rule: "),
                  "Evidence of New Recipients Rule: " + c.evidence);
        EXPECT_EQ(Result().fired, std::vector<std::string>{"New Recipients"});
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
                  "You have never written to these recipients before. Send it anyway?");
        EXPECT_EQ(Shown()[0].details[2].rfind("Never written to before (", 0), 0u)
            << Shown()[0].details[2];
    }
}

TEST_F(OtherRulesTest, AHistoryThatCannotBeReadIsTheRulesFailureAndTheSendGoesOn) {
    platform.SetSetting(keys::kPromptForNewRecipientsWanted, "1");
    for (int i = 0; i < 20; ++i) platform.RememberSend({"known@partner.example"});
    Add("new@c0rp.example");
    const struct {
        const char* call;
        std::vector<std::string> failed;
    } cases[] = {
        {"RecordedSends", {"New Recipients"}},
        {"KnownRecipients", {"New Recipients"}},
        {"KnownDomains", {"Look-Alike Domains"}},
        {"FamiliarDomainsLike", {}},  // asked only when no company domain is like it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        platform.FailOn(c.call);
        Answers({kYes, kYes});
        EXPECT_TRUE(Send());
        EXPECT_EQ(Result().failedRules, c.failed);
        if (!c.failed.empty()) {
            const std::string source =
                c.failed[0] == "New Recipients" ? "NewRecipients" : "LookAlikeDomains";
            EXPECT_EQ(Events().back(),
                      "1|Postwarden.Check" + source + "|Error occurred.  Reason: Injected failure");
        }
        // The other rule still asks.
        EXPECT_EQ(Shown().size(), 2u - c.failed.size());
        platform.Heal(c.call);
    }
    platform.SetSetting(keys::kListOfOutsideDomains, "");
    platform.RememberSend({"a@corp.example"});
    platform.RememberSend({"a@corp.example"});
    platform.FailOn("FamiliarDomainsLike");
    Answers({kYes, kYes});
    EXPECT_TRUE(Send());
    EXPECT_EQ(Result().failedRules, std::vector<std::string>{"Look-Alike Domains"});
}

}  // namespace
}  // namespace postwarden
