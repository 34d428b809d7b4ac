// `postwarden settings`: one setting at a time, and in bulk: `settings export`
// writes the settings document of a home, `settings import` reads one exactly
// as the central refresh reads a shared file, and `settings set KEY -` /
// `--file PATH` take values too long for the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

// `count` distinct entries of about `width` letters, some with the characters
// a document must escape and some beyond ASCII.
std::vector<std::string> Entries(size_t count, size_t width, const std::string& tag) {
    static const char* kSpecial[] = {"a&b", "<x>", "\"q\"", "it's", "grüße", "日本", "]]>"};
    std::vector<std::string> entries;
    for (size_t i = 0; i < count; ++i) {
        std::string entry = tag + std::to_string(i);
        if (i % 97 == 0) entry += kSpecial[(i / 97) % std::size(kSpecial)];
        while (entry.size() < width) entry += static_cast<char>('a' + (i + entry.size()) % 26);
        entries.push_back(entry);
    }
    return entries;
}

std::string Join(const std::vector<std::string>& entries, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < entries.size(); ++i) text += (i > 0 ? separator : "") + entries[i];
    return text;
}

class SettingsCommandTest : public ::testing::Test {
  protected:
    CommandResult Settings(const std::string& home, std::vector<std::string> args,
                           const std::string& input = "") {
        args.insert(args.begin(), {"--home", home, "settings"});
        return RunPostwarden(args, input);
    }
    void Set(const std::string& home, const std::string& key, const std::string& value) {
        const CommandResult r = Settings(home, {"set", key, "-"}, value);
        ASSERT_EQ(r.exitCode, 0) << key << ": " << r.err;
    }
    // The stored value; "(unset)" when there is none.
    std::string Get(const std::string& home, const std::string& key) {
        const CommandResult r = Settings(home, {"get", key});
        if (r.exitCode != 0) return "(unset)";
        return r.out.substr(0, r.out.size() - 1);
    }
    // The (source, message) of the log's lines from the settings routines.
    std::vector<std::string> SettingsLines(const std::string& home) {
        std::vector<std::string> lines;
        for (const LogRecord& record : LogRecords(home)) {
            if (record.source.find("Settings") != std::string::npos ||
                record.source == "Shutdown") {
                lines.push_back(record.source + ": " + record.message);
            }
        }
        return lines;
    }
    // `settings list` without the lines naming the central sources.
    static std::string WithoutSources(const std::string& listed) {
        std::string kept;
        size_t start = 0;
        for (size_t end; (end = listed.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = listed.substr(start, end - start + 1);
            if (!line.starts_with("FetchSettings")) kept += line;
        }
        return kept;
    }
    std::string Home(const std::string& name) const { return folder.Path() + "/" + name; }

    TempFolder folder;
};

TEST_F(SettingsCommandTest, SetGetListUnsetAndSetNumber) {
    const std::string home = Home("h");
    CommandResult r = Settings(home, {"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(home)) << "reading created the home folder";

    for (const auto& [key, value] : {std::pair{"PromptForAnySendWanted", "1"},
                                     {"ListOfKeywords", "secret\r\nconfidential"},
                                     {"MessageForAnySend", ""},
                                     {"MaxNumberOfRecipients", "25"}}) {
        r = Settings(home, {"set", key, value});
        EXPECT_EQ(r.exitCode, 0) << key;
        EXPECT_EQ(r.err, "") << key;
    }
    // A key the module does not read is stored, with a warning.
    r = Settings(home, {"set", "PromptForKeywordWanted", "1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.err, HasSubstr("does not read a setting named PromptForKeywordWanted"));

    r = Settings(home, {"get", "listofkeywords"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "secret\r\nconfidential\n");
    r = Settings(home, {"get", "MessageForAnySend"});
    EXPECT_EQ(r.exitCode, 0) << "an empty value is set";
    EXPECT_EQ(r.out, "\n");
    // The first change seeded the rest.
    r = Settings(home, {"list"});
    for (const char* line :
         {"ListOfKeywords: secret\\r\\nconfidential\n", "\nMessageForAnySend: \n",
          "\nPromptForAnySendWanted: 1\n", "\nSeparatePromptsWanted: 1\n"}) {
        EXPECT_THAT(r.out, HasSubstr(line)) << line;
    }

    EXPECT_EQ(Settings(home, {"unset", "PROMPTFORANYSENDWANTED"}).exitCode, 0);
    r = Settings(home, {"get", "PromptForAnySendWanted"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "postwarden: PromptForAnySendWanted is not set\n");
    EXPECT_EQ(Settings(home, {"unset", "PromptForAnySendWanted"}).exitCode, 1);

    // set-number writes any key of the current user.
    const std::string mail = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";
    ASSERT_EQ(Settings(home, {"set-number", mail, "EditorPreference", "131072"}).exitCode, 0);
    Registry registry(home + "/registry.db");
    std::unique_ptr<RegistryAccess> access = registry.NewAccess();
    ASSERT_EQ(access->OpenKey(mail, kHiveCurrentUser, 63), 0);
    EXPECT_EQ(access->QueryValue("EditorPreference", 0), 131072);
}

TEST_F(SettingsCommandTest, AChangeToANewHomeOutlivesTheFirstSend) {
    const std::string home = Home("h");
    ASSERT_EQ(Settings(home, {"set", "PromptForKeywordsWanted", "1"}).exitCode, 0);
    ASSERT_EQ(Settings(home, {"set", "ListOfKeywords", "projectx"}).exitCode, 0);
    ASSERT_EQ(Settings(home, {"unset", "PromptForAnySendWanted"}).exitCode, 0);
    const CommandResult r = RunPostwarden({"--home", home, "check", "--answers", "no"},
                                          "To: a@corp.example\nSubject: projectx\n\nx\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_THAT(r.out, HasSubstr("with these keywords"));
    EXPECT_EQ(Get(home, "ListOfKeywords"), "projectx");
    EXPECT_EQ(Get(home, "PromptForAnySendWanted"), "(unset)");

    // A section something else made but nobody seeded: unset seeds it first,
    // or the first send would seed the removed setting back.
    const std::string other = Home("other");
    ASSERT_EQ(Settings(other, {"set-number", SettingsKeyPath("Postwarden", "Postwarden"),
                               "WrittenByAnotherTool", "1"})
                  .exitCode,
              0);
    EXPECT_EQ(Settings(other, {"unset", "PromptForAnySendWanted"}).exitCode, 0);
    EXPECT_EQ(RunPostwarden({"--home", other, "check", "--answers", "no"},
                            "To: a@corp.example\nSubject: s\n\nx\n")
                  .exitCode,
              0);
    EXPECT_EQ(Get(other, "PromptForAnySendWanted"), "(unset)");
}

TEST_F(SettingsCommandTest, ACorruptRegistryIsAOneLineErrorNamingTheFile) {
    const std::string file = Home("h") + "/registry.db";
    std::filesystem::create_directory(Home("h"));
    WriteFile(file, "this is no database, only some text of a certain length\n");
    for (const auto& args : std::vector<std::vector<std::string>>{{"list"},
                                                                  {"get", "ListOfKeywords"},
                                                                  {"set", "ListOfKeywords", "x"},
                                                                  {"unset", "ListOfKeywords"}}) {
        const CommandResult r = Settings(Home("h"), args);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "postwarden: The file " + file +
                             " is not a valid registry database (file is not a database)\n")
            << args[0];
    }
}

TEST_F(SettingsCommandTest, ExportThenImportGivesBackTheSameSettings) {
    const std::string from = Home("from"), to = Home("to");
    const std::vector<std::string> keywords = Entries(10'000, 12, "k");
    const std::vector<std::string> domains = Entries(3'000, 20, "d");
    Set(from, "ListOfKeywords", Join(keywords, ";"));
    Set(from, "ListOfOutsideDomains", Join(domains, "\r\n"));
    Set(from, "ListOfEmailAddressesDomains", " one@x.example ;\t two@y.example;;");
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"MessageForKeywords", "Sure? & <b>\"quoted\" 'single' ünïcödé ✓\r\nline two\ttab ]]>"},
        {"MessageForOutsideDomains", "  spaces around  "},
        {"MessageForBlankSubject", " \t\r\n "},
        {"MessageForEmailAddressesDomains", ""},
        {"MessageForNumberOfRecipients", "lone CR\rand LF\n"},
        {"PromptForKeywordsWanted", "1"},
        {"MaxNumberOfRecipients", "25"},
    };
    for (const auto& [key, value] : texts) {
        ASSERT_EQ(Settings(from, {"set", key, value}).exitCode, 0) << key;
    }

    const CommandResult exported = Settings(from, {"export"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.err, "");
    EXPECT_EQ(exported.out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Settings>\n", 0),
              0u);
    // And the twelve attachment words a fresh home starts with.
    EXPECT_EQ(Occurrences(exported.out, "<Entry>"), keywords.size() + domains.size() + 2 + 12);

    const CommandResult imported = Settings(to, {"import", "-"}, exported.out);
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.out + imported.err, "");
    EXPECT_EQ(Settings(to, {"export"}).out, exported.out);
    for (const auto& [key, value] : texts) EXPECT_EQ(Get(to, key), value) << key;
    // A list comes back as its entries, one a line.
    EXPECT_EQ(Get(to, "ListOfKeywords"), Join(keywords, "\r\n"));
    EXPECT_EQ(Get(to, "ListOfOutsideDomains"), Join(domains, "\r\n"));
    EXPECT_EQ(Get(to, "ListOfEmailAddressesDomains"), "one@x.example\r\ntwo@y.example");
}

TEST_F(SettingsCommandTest, ExportWritesWhatTheModuleWouldTakeForUnsetSettings) {
    // A home never used: the values its first send seeds.
    CommandResult r = Settings(Home("new"), {"export"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  <PromptForAnySendWanted>1</PromptForAnySendWanted>\n"));
    EXPECT_THAT(r.out, HasSubstr("  <NumberOfRecipients>0</NumberOfRecipients>\n"));
    EXPECT_THAT(r.out, HasSubstr("  <ListOfKeywords/>\n"));
    EXPECT_THAT(r.out, HasSubstr("  <MaxNumberOfOrganisations>3</MaxNumberOfOrganisations>\n"));
    EXPECT_THAT(r.out, HasSubstr("    <Entry>pi\u00e8ce jointe</Entry>\n"));
    EXPECT_THAT(
        r.out,
        HasSubstr("  <PromptForLookAlikeDomainsWanted>1</PromptForLookAlikeDomainsWanted>\n"));
    EXPECT_THAT(r.out, HasSubstr("  <SendDelaySeconds>0</SendDelaySeconds>\n"));
    EXPECT_EQ(Occurrences(r.out, "\n  <") - Occurrences(r.out, "\n  </"), 27u)
        << "every setting a document carries, once";

    // Seeded, then unset: what the everyday readers fall back to.
    const std::string home = Home("used");
    ASSERT_EQ(Settings(home, {"set", "MaxNumberOfRecipients", "007"}).exitCode, 0);
    ASSERT_EQ(Settings(home, {"unset", "MessageForBlankSubject"}).exitCode, 0);
    r = Settings(home, {"export"});
    EXPECT_THAT(r.out,
                HasSubstr("<MessageForBlankSubject>Are you sure you want to send this email with "
                          "a blank subject?</MessageForBlankSubject>"));
    EXPECT_THAT(r.out, HasSubstr("<NumberOfRecipients>7</NumberOfRecipients>"));
}

TEST_F(SettingsCommandTest, AValueNoDocumentCanHoldIsNotExported) {
    const std::string home = Home("h");
    ASSERT_EQ(Settings(home, {"set", "MessageForKeywords", "bell \x07"}).exitCode, 0);
    CommandResult r = Settings(home, {"export"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("MessageForKeywords cannot be exported: the character U+0007"));

    // A switch that is no number is exported with a warning: its import fails.
    ASSERT_EQ(Settings(home, {"set", "MessageForKeywords", "fine"}).exitCode, 0);
    ASSERT_EQ(Settings(home, {"set", "--force", "PromptForKeywordsWanted", "yes"}).exitCode, 0);
    r = Settings(home, {"export"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("<PromptForKeywordsWanted>yes</PromptForKeywordsWanted>"));
    EXPECT_THAT(r.err, HasSubstr("PromptForKeywordsWanted holds \"yes\""));
    EXPECT_EQ(Settings(Home("other"), {"import", "-"}, r.out).exitCode, 3);
}

TEST_F(SettingsCommandTest, ImportWritesWhatTheCentralRefreshWrites) {
    const std::string document = Home("central.xml");
    const std::string message = "From: a@corp.example\nTo: b@corp.example\nSubject: s\n\nx\n";
    Set(Home("exported"), "PromptForOutsideDomainsWanted", "1");
    Set(Home("exported"), "ListOfOutsideDomains", "corp.example\r\n*.corp.example");
    const struct {
        const char* name;
        std::string text;
        int importStatus;
    } cases[] = {
        {"good", Settings(Home("exported"), {"export"}).out, 0},
        {"not well-formed", "<S><ListOfKeywords>a & b</ListOfKeywords></S>", 3},
        {"incomplete", "<S><PromptForOutsideDomainsWanted>1</PromptForOutsideDomainsWanted></S>",
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(document, std::ios::binary | std::ios::trunc) << c.text;
        // One home refreshes from the document as a shared file at a send,
        // the other imports it; both were used before.
        const std::string refreshed = Home(std::string("refreshed-") + c.name);
        const std::string imported = Home(std::string("imported-") + c.name);
        Set(refreshed, "FetchSettingsNetworkLocation", document);
        // A public folder the import must not read: the document is its only source.
        Set(imported, "FetchSettingsExchangePublicFolder", Home("Public"));
        const CommandResult sent =
            RunPostwarden({"--home", refreshed, "check", "--answers", "yes"}, message);
        ASSERT_EQ(sent.exitCode, 0) << sent.err;
        const CommandResult r = Settings(imported, {"import", document});
        EXPECT_EQ(r.exitCode, c.importStatus) << r.err;

        EXPECT_EQ(SettingsLines(imported), SettingsLines(refreshed));
        EXPECT_EQ(WithoutSources(Settings(imported, {"list"}).out),
                  WithoutSources(Settings(refreshed, {"list"}).out));
    }
}

TEST_F(SettingsCommandTest, ARefusedDocumentLeavesTheSettingsAndSaysWhy) {
    const std::string home = Home("h");
    ASSERT_EQ(Settings(home, {"set", "ListOfKeywords", "before"}).exitCode, 0);
    const CommandResult good = Settings(home, {"export"});
    std::string noList = good.out;
    noList.erase(noList.find("  <ListOfKeywords>"),
                 noList.find("</ListOfKeywords>\n") + 18 - noList.find("  <ListOfKeywords>"));
    std::string badSwitch = good.out;
    badSwitch.replace(badSwitch.find(">0</PromptForKeywordsWanted>"), 2, ">on");
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string reason;
    } cases[] = {
        {{"import", "-"}, "<S>a & b</S>", "Unescaped & (write &amp; for the character) at line 1"},
        {{"import", "-"}, "", "No document element found"},
        {{"import", "-"}, noList, "Error occurred at line 32."},
        {{"import", "-"}, badSwitch, "Error occurred at line 30.  Reason: Type mismatch"},
        {{"import", "-"}, std::string(5 << 20, ' '), "larger than 4194304 bytes"},
        {{"import", Home("missing.xml")}, "", "Reason: File not found"},
        {{"import", Home("")}, "", "Reason: Path not found"},
    };
    for (const auto& c : cases) {
        const CommandResult r = Settings(home, c.args, c.input);
        EXPECT_EQ(r.exitCode, 3) << c.reason;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, HasSubstr("postwarden: settings import: "));
        EXPECT_THAT(r.err, HasSubstr(c.reason));
        EXPECT_EQ(r.err.find("XML Contents"), std::string::npos) << "the document stays in the log";
        EXPECT_EQ(Get(home, "ListOfKeywords"), "before");
    }
}

TEST_F(SettingsCommandTest, SetTakesItsValueFromStandardInputOrAFileAndRefusesWhatItCannotUse) {
    const std::string home = Home("h");
    ASSERT_EQ(Settings(home, {"set", "ListOfKeywords", "before"}).exitCode, 0);
    // Longer than Linux takes as one argument (128 KiB).
    const std::string keywords = Join(Entries(11'000, 12, "w"), ";");
    ASSERT_GT(keywords.size(), size_t{128} << 10);
    const std::string tooLarge((4 << 20) + 1, 'k');
    const std::string tooMany = Join(Entries(100'001, 1, ""), "\n");
    const std::string file = Home("domains.txt"), missing = Home("missing");
    const std::string domains = "corp.example\r\n*.corp.example";
    WriteFile(file, domains + "\r\n");
    const struct {
        std::vector<std::string> args;  // after "set"
        std::string input;
        int status;
        std::string result;  // a part of the refusal, or the value then stored
    } cases[] = {
        // Refused, and nothing is stored.
        {{"PromptForKeywordsWanted", "-"}, "yes\n", 2, "must be a whole number"},
        {{"ListOfKeywords", "-"}, tooLarge, 2, "larger than 4194304 bytes"},
        {{"--force", "ListOfKeywords", "-"}, tooLarge, 2, "larger than 4194304 bytes"},
        {{"ListOfKeywords", "-"}, tooMany, 2, "more than 100000 entries"},
        {{"--file", missing, "ListOfKeywords"},
         "",
         3,
         "cannot read " + missing + ": File not found"},
        {{"--file"}, "", 2, "--file: 1 required PATH missing"},
        {{"--file", Home("x"), "ListOfKeywords", "value"}, "", 2, "needs one KEY"},
        {{"--frobnicate", "ListOfKeywords", "x"}, "", 2, "not expected: --frobnicate"},
        // Stored, under the one argument that starts with a capital.
        {{"ListOfKeywords", "-"}, keywords + "\n", 0, keywords},
        {{"--file", file, "ListOfOutsideDomains"}, "", 0, domains},
        {{"--force", "--file=" + file, "MessageForAnySend"}, "", 0, domains},
        {{"MessageForKeywords", "-"}, "two line ends\n\n", 0, "two line ends\n"},
        {{"MessageForKeywords", "-"}, "", 0, ""},
        {{"PromptForKeywordsWanted", "-"}, "1\n", 0, "1"},
        // Options come before KEY.
        {{"MessageForKeywords", "--force"}, "", 0, "--force"},
        {{"--", "MessageForKeywords", "-"}, "dash\n", 0, "dash"},
        // Forced, a list the module will skip is stored all the same.
        {{"--force", "ListOfKeywords", "-"}, tooMany, 0, tooMany},
    };
    for (const auto& c : cases) {
        const std::string what = ::testing::PrintToString(c.args);
        std::vector<std::string> args{"set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string before = Settings(home, {"list"}).out;
        const CommandResult r = Settings(home, args, c.input);
        EXPECT_EQ(r.exitCode, c.status) << what << "\n" << r.err.substr(0, 400);
        if (c.status == 0) {
            const std::string key = *std::ranges::find_if(c.args, [](const std::string& arg) {
                return std::isupper(static_cast<unsigned char>(arg[0]));
            });
            EXPECT_TRUE(Get(home, key) == c.result) << what;
        } else {
            EXPECT_THAT(r.err, HasSubstr(c.result)) << what;
            EXPECT_LT(r.err.size(), 400u) << "the value is not repeated whole";
            EXPECT_EQ(Settings(home, {"list"}).out, before) << what;
        }
    }
}

}  // namespace
}  // namespace postwarden::testing
