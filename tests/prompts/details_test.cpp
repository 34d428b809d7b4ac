// What the forms show under their questions: the lines made of a send's
// evidence, and which form shows which.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/Evidence.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

SendEvidence Sample() {
    SendEvidence evidence;
    evidence.present = true;
    evidence.subject = "Plans";
    evidence.recipientCount = 8;
    for (int i = 1; i <= 7; ++i) {
        evidence.outside.Add("a" + std::to_string(i) + "@out.example", "out.example");
    }
    evidence.watched.Add("ceo@corp.example", "ceo@*");
    evidence.keyword = "projectx";
    evidence.keywordPlace = "the subject";
    evidence.count = 8;
    evidence.maximum = 5;
    return evidence;
}

const Lines kHead{"Subject: \"Plans\"", "Recipients: 8"};

TEST(DetailLines, EachRuleAddsWhatItFoundAndNothingWithoutASend) {
    const struct {
        const char* name;
        Globals rules;
        Lines added;
    } cases[] = {
        {"outside: five, then the rest counted",
         {.OutsideDomainsViolated = true},
         {"Outside the company's domains (7):", "  a1@out.example (out.example)",
          "  a2@out.example (out.example)", "  a3@out.example (out.example)",
          "  a4@out.example (out.example)", "  a5@out.example (out.example)", "  and 2 more"}},
        {"watch list",
         {.EmailAddressesDomainsViolated = true},
         {"On the watch list (1):", "  ceo@corp.example matches ceo@*"}},
        {"keyword",
         {.KeywordsViolated = true},
         {"Keyword \"projectx\",", "  found in the subject"}},
        {"count", {.NumberOfRecipientsViolated = true}, {"8 recipients; at most 5 allowed"}},
        {"blank subject: nothing more", {.BlankSubjectViolated = true}, {}},
        {"any send: nothing more", {.AnySendViolated = true}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lines expected = kHead;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(DetailLines(Sample(), c.rules), expected);
        SendEvidence none = Sample();
        none.present = false;
        EXPECT_TRUE(DetailLines(none, c.rules).empty());
    }
}

TEST(DetailLines, LongTextsAreCutAndABlankSubjectIsSaid) {
    SendEvidence evidence = Sample();
    evidence.subject = std::string(100, 's');
    EXPECT_EQ(DetailLines(evidence, {})[0], "Subject: \"" + std::string(80, 's') + "\u2026\"");
    evidence.subject = "   ";
    EXPECT_EQ(DetailLines(evidence, {})[0], "Subject: (blank)");
    // Characters, not bytes: a cut never splits one.
    EXPECT_EQ(CutText("\xc3\xa4\xc3\xb6\xc3\xbc", 2), "\xc3\xa4\xc3\xb6\u2026");
    EXPECT_EQ(CutText("\xc3\xa4\xc3\xb6", 2), "\xc3\xa4\xc3\xb6");
}

struct FixedDetails final : SendDetails {
    SendEvidence evidence = Sample();
    SendEvidence Evidence() const override { return evidence; }
};

class DetailsFormTest : public FormTest {
  protected:
    FixedDetails details;
};

TEST_F(DetailsFormTest, TheSingleRuleFormShowsItsOwnRuleOnly) {
    frmSimpleYesNoPrompt form(platform, details);
    form.SetConfirmationMessage("Watched?", &kEmailAddressesDomainsRule);
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    Lines expected = kHead;
    expected.insert(expected.end(), {"On the watch list (1):", "  ceo@corp.example matches ceo@*"});
    EXPECT_EQ(windows->shown.at(0).details, expected);

    // Asked without a rule, or outside a send, it looks as designed.
    form.SetConfirmationMessage("Sure?");
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    details.evidence.present = false;
    form.SetConfirmationMessage("Sure?", &kKeywordsRule);
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    EXPECT_TRUE(windows->shown.at(1).details.empty());
    EXPECT_TRUE(windows->shown.at(2).details.empty());
}

TEST_F(DetailsFormTest, DetailsThatCannotBeShownLeaveTheQuestionAsked) {
    platform.FailOn("Window.SetDetails");
    frmSimpleYesNoPrompt form(platform, details);
    form.SetConfirmationMessage("Watched?", &kEmailAddressesDomainsRule);
    EXPECT_EQ(form.Ask(kPromptValues, kPromptFriendlyName, false), 7);
    ASSERT_EQ(windows->shown.size(), 1u);
    EXPECT_EQ(windows->shown[0].Control("lblConfirmationMessage").caption, "Watched?");
    const std::string reported = "1|" + std::string(frmSimpleYesNoPrompt::kDetailsFailureSource);
    ASSERT_EQ(platform.Events().size(), 1u);
    EXPECT_TRUE(platform.Events()[0].starts_with(reported)) << platform.Events()[0];
}

}  // namespace
}  // namespace postwarden::testing
