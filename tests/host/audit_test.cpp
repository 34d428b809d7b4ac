// `postwarden audit` over real Maildir folders, mbox files and message files, in
// a home whose settings turn the rules on: what it reports, and that it leaves
// the settings and the log as they were but for its one record.
#include "host/audit/Audit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "host/audit/AuditSources.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string Message(const std::string& to, const std::string& subject, const std::string& body) {
    return "From: Me <me@corp.example>\nTo: " + to + "\nSubject: " + subject +
           "\nDate: Mon, 7 Dec 2026 09:00:00 +0000\nMIME-Version: 1.0\n"
           "Content-Type: text/plain; charset=utf-8\n\n" +
           body + "\n";
}

void Write(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> LogMessages(const std::string& home) {
    std::vector<std::string> messages;
    for (const LogRecord& record : LogRecords(home)) messages.push_back(record.message);
    return messages;
}

class AuditTest : public HomeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("a@corp.example", "s", "b")).exitCode,
                  0);  // seeds the defaults
        Set("PromptForOutsideDomainsWanted", "1");
        Set("ListOfOutsideDomains", "corp.example");
        Set("PromptForKeywordsWanted", "1");
        Set("ListOfKeywords", "projectx;merger");
        Set("PromptForAnySendWanted", "1");  // fires on every message: reported only when named
        Set("SeparatePromptsWanted", "1");   // a question per rule that fires
        const std::string mail = dir_.Path() + "/";
        // A Maildir: outside in new/, a keyword in cur/, and one that passes.
        Write(mail + "Sent/new/1700000002.M1P1.host",
              Message("bob@out.example, ann@corp.example", "Lunch", "see you"));
        Write(mail + "Sent/cur/1700000001.M1P1.host:2,S",
              Message("ann@corp.example", "Plans", "the merger is on"));
        Write(mail + "Sent/cur/1700000003.M1P1.host:2,S",
              Message("ann@corp.example", "Hello", "nothing"));
        fs::create_directories(mail + "Sent/tmp");
        // An mbox: the second message's body has a quoted From line hiding a keyword
        // and a line that only looks like a From_ line once unquoted.
        Write(mail + "archive.mbox",
              "From me@corp.example Mon Dec  7 09:00:00 2026\n" +
                  Message("ann@corp.example", "First", "plain") +
                  "\nFrom me@corp.example Mon Dec  7 09:01:00 2026\n" +
                  Message("x@else.example", "Second", ">From projectx with love\nend") + "\n");
        Write(mail + "one.eml", Message("ann@corp.example", "ProjectX", "x"));
        Write(mail + "broken.eml", "just text, no header at all\n");
        Write(mail + "quoted.eml",
              ">From me Mon Dec  7 09:02:00 2026\n" + Message("x@else.example", "Quoted", "x"));
    }
    std::string At(const std::string& name) { return dir_.Path() + "/" + name; }
    json AuditJson(std::vector<std::string> args) {
        args.insert(args.begin(), {"audit", "--format", "json"});
        const CommandResult r = Pw(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    TempFolder dir_;
};

// The names of the stopped messages, each with its rules.
std::vector<std::string> Stopped(const json& report) {
    std::vector<std::string> out;
    for (const json& message : report["stopped"]) {
        std::string line = fs::path(message["message"].get<std::string>()).filename().string();
        for (const json& rule : message["rules"]) line += " | " + rule["rule"].get<std::string>();
        out.push_back(line);
    }
    return out;
}

TEST_F(AuditTest, EachKindOfSourceGivesItsMessagesInOrder) {
    const struct {
        const char* name;
        std::vector<std::string> sources;
        size_t messages, malformed;
        std::vector<std::string> stopped;
    } cases[] = {
        {"Maildir: delivery order across cur/ and new/",
         {"Sent"},
         3,
         0,
         {"1700000001.M1P1.host:2,S | Keywords", "1700000002.M1P1.host | Outside Domains"}},
        // The quoted From line is body text again, and its keyword found.
        {"mbox", {"archive.mbox"}, 2, 0, {"archive.mbox#2 | Outside Domains | Keywords"}},
        {"a file and a malformed one", {"one.eml", "broken.eml"}, 2, 1, {"one.eml | Keywords"}},
        {"a missing source is skipped", {"missing", "one.eml"}, 1, 0, {"one.eml | Keywords"}},
        // A mail server drops the From_ line before the header.
        {"a file led by a quoted From_ line",
         {"quoted.eml"},
         1,
         0,
         {"quoted.eml | Outside Domains"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> paths;
        for (const std::string& source : c.sources) paths.push_back(At(source));
        const json report = AuditJson(paths);
        ASSERT_FALSE(report.is_discarded());
        EXPECT_EQ(Stopped(report), c.stopped);
        EXPECT_EQ(report["summary"]["messages"], c.messages);
        EXPECT_EQ(report["summary"]["stopped"], c.stopped.size());
        EXPECT_EQ(report["malformed"].size(), c.malformed);
    }
}

TEST_F(AuditTest, FindingsSayWhatMatchedAndTheSummaryCountsPerRule) {
    const json report = AuditJson({At("Sent"), At("archive.mbox"), At("one.eml")});
    ASSERT_FALSE(report.is_discarded());
    const json& mbox = report["stopped"][2];
    EXPECT_EQ(mbox["subject"], "Second");
    EXPECT_EQ(mbox["date"], "Mon, 7 Dec 2026 09:00:00 +0000");
    EXPECT_EQ(mbox["recipients"], 1);
    // Each rule asks its own, the question before every send too, reported or not.
    EXPECT_EQ(mbox["questions"], 3);
    EXPECT_EQ(mbox["rules"][0]["evidence"], "outside recipients: x@else.example");
    EXPECT_EQ(mbox["rules"][1]["evidence"], "keyword \"projectx\" in the body");
    EXPECT_EQ(report["summary"]["rules"], json({{"Outside Domains", 2},
                                                {"Email Addresses Domains", 0},
                                                {"Keywords", 3},
                                                {"Max Number Of Recipients", 0},
                                                {"Blank Subject", 0},
                                                {"Many Organisations", 0},
                                                {"Missing Attachment", 0},
                                                {"New Recipients", 0},
                                                {"Look-Alike Domains", 0}}));
}

// Nothing that could wait for a writer or never end is opened; what is not
// read is named, with why, and counted.
TEST_F(AuditTest, WhatHoldsNoMessageIsNamedAndCountedNotRead) {
    ASSERT_EQ(::mkfifo(At("Sent/new/1700000004.M1P1.host").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", At("Sent/cur/1700000005.M1P1.host:2,S"));
    fs::create_symlink("loop-b", At("Sent/cur/loop-a"));
    fs::create_symlink("loop-a", At("Sent/cur/loop-b"));
    ASSERT_EQ(::mkfifo(At("pipe.eml").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", At("zero.eml"));

    const json report = AuditJson({At("Sent"), At("pipe.eml"), At("zero.eml")});
    ASSERT_FALSE(report.is_discarded());
    EXPECT_EQ(report["summary"]["messages"], 3);
    EXPECT_EQ(report["summary"]["notRead"], 4);
    std::map<std::string, std::string> why;
    for (const json& file : report["notRead"]) {
        why[fs::path(file["file"].get<std::string>()).filename()] = file["reason"];
    }
    EXPECT_EQ(why, (std::map<std::string, std::string>{
                       {"1700000004.M1P1.host", "a named pipe, not a file"},
                       {"1700000005.M1P1.host:2,S", "a device, not a file"},
                       {"loop-a", "Too many levels of symbolic links"},
                       {"loop-b", "Too many levels of symbolic links"}}));
    EXPECT_EQ(report["unreadable"], json::parse(R"([{"source": ")" + At("pipe.eml") +
                                                R"(", "reason": "a named pipe, not a file"},
                             {"source": ")" + At("zero.eml") +
                                                R"(", "reason": "a device, not a file"}])"));

    const CommandResult text = Pw({"audit", At("Sent"), At("pipe.eml")});
    EXPECT_THAT(text.out, HasSubstr("Files not read, no messages (4):\n  " + At("Sent/")));
    EXPECT_THAT(LogMessages(Home()).back(),
                HasSubstr(", 0 not checked, 1 unreadable sources, 4 files not read;"));
}

TEST_F(AuditTest, RulesNamesWhatIsReported) {
    EXPECT_EQ(Stopped(AuditJson({"--rules", "outside-domains", At("Sent"), At("one.eml")})),
              std::vector<std::string>{"1700000002.M1P1.host | Outside Domains"});
    // Named, the question before every send stops every message.
    EXPECT_EQ(
        Stopped(AuditJson({"--rules", "Any Send,KEYWORDS", At("Sent"), At("one.eml")})),
        (std::vector<std::string>{
            "1700000001.M1P1.host:2,S | Keywords | Any Send", "1700000002.M1P1.host | Any Send",
            "1700000003.M1P1.host:2,S | Any Send", "one.eml | Keywords | Any Send"}));
}

// The rules that compare with the person's history read it as it is: a
// domain that looks like one written to twice before is reported, and the
// history's files are left as they were.
TEST_F(AuditTest, LookAlikeDomainsCompareWithTheHistoryAndLeaveItAsItWas) {
    Write(At("sent.mbox"), "From me Mon Dec  7 09:00:00 2026\n" +
                               Message("ann@partner.example", "One", "x") +
                               "\nFrom me Mon Dec  7 09:01:00 2026\n" +
                               Message("bob@partner.example, cy@abxcdef.example", "Two", "y") +
                               "\nFrom me Mon Dec  7 09:02:00 2026\n" +
                               Message("cy@abxcdef.example", "Three", "y") + "\n");
    ASSERT_EQ(Pw({"history", "import", At("sent.mbox")}).exitCode, 0);
    Write(At("typo.eml"), Message("ann@partnre.example", "Three", "z"));
    Write(At("known.eml"), Message("ann@partner.example", "Four", "z"));
    // Filed under a key it shares with abxcdef.example (both are abcdef.example
    // with one letter taken out), but two slips away from it.
    Write(At("unlike.eml"), Message("dee@abcdeyf.example", "Five", "z"));
    const auto files = [this] {
        // Not the WAL's index (-shm), where every reader marks what it reads.
        // An empty WAL is no WAL: readers that close at the same moment may
        // each leave its removal to the other, and the file stays, empty.
        std::map<std::string, std::string> contents;
        for (const std::string name : {"history.db", "history.db-wal"}) {
            const std::string path = Home() + "/" + name;
            contents[name] = fs::exists(path) ? ReadFile(path) : "";
        }
        return contents;
    };
    const std::map<std::string, std::string> before = files();
    ASSERT_FALSE(before.at("history.db").empty());
    const json report = AuditJson(
        {"--rules", "look-alike-domains", At("typo.eml"), At("known.eml"), At("unlike.eml")});
    EXPECT_EQ(Stopped(report), std::vector<std::string>{"typo.eml | Look-Alike Domains"});
    EXPECT_EQ(report["stopped"][0]["rules"][0]["evidence"],
              "partnre.example looks like partner.example");
    EXPECT_EQ(files(), before);
}

TEST_F(AuditTest, LeavesTheSettingsAsTheyWereAndTheLogOneRecord) {
    const std::string registry = ReadFile(Home() + "/registry.db");
    const std::vector<std::string> before = LogMessages(Home());
    const CommandResult r = Pw({"audit", At("Sent"), At("archive.mbox"), At("broken.eml")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Audited 6 messages: 3 would have been stopped."));
    EXPECT_EQ(ReadFile(Home() + "/registry.db"), registry);
    std::vector<std::string> after = LogMessages(Home());
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(
        after.back(),
        "Audit: 6 messages from 3 sources, 3 would have been stopped, 1 malformed, 0 not "
        "checked; Outside Domains: 2, Email Addresses Domains: 0, Keywords: 2, Max Number "
        "Of Recipients: 0, Blank Subject: 0, Many Organisations: 0, Missing Attachment: 0, New "
        "Recipients: 0, Look-Alike Domains: 0");
    after.pop_back();
    EXPECT_EQ(after, before);
}

TEST_F(AuditTest, AHomeNeverUsedGetsNoSettingsStored) {
    TempFolder fresh;
    const CommandResult r = RunPostwarden({"--home", fresh.Path(), "audit", At("one.eml")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("every rule was off"));
    EXPECT_THAT(r.out, HasSubstr("Audited 1 message: 0 would have been stopped."));
    // The module seeds the defaults at start-up: into the audit's copy only.
    EXPECT_FALSE(fs::exists(fresh.Path() + "/registry.db"));
    EXPECT_FALSE(fs::exists(fresh.Path() + "/history.db")) << "an audit makes no history";
    EXPECT_EQ(LogMessages(fresh.Path()).size(), 1u);
}

TEST_F(AuditTest, CentralSettingsAreNotFetched) {
    // A document that adds a keyword only the central source knows.
    TempFolder other;
    const auto pw = [&other](std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", other.Path()});
        return RunPostwarden(args);
    };
    ASSERT_EQ(pw({"settings", "set", "ListOfKeywords", "centralword"}).exitCode, 0);
    ASSERT_EQ(pw({"settings", "set", "PromptForKeywordsWanted", "1"}).exitCode, 0);
    Write(At("central.xml"), pw({"settings", "export"}).out);
    Set("FetchSettingsNetworkLocation", At("central.xml"));
    Write(At("central.eml"), Message("ann@corp.example", "centralword", "x"));

    EXPECT_TRUE(Stopped(AuditJson({At("central.eml")})).empty());
    // The same message at a send, where the central settings are read.
    EXPECT_EQ(Pw({"check", "--answers", "no", At("central.eml")}).exitCode, 1);
}

TEST_F(AuditTest, NoSourceThatCanBeReadIsAFailure) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{At("missing"), At("also-missing")}, "no SOURCE could be read"},
        {{dir_.Path()}, "no Maildir"},
    };
    for (auto [args, error] : cases) {
        args.insert(args.begin(), "audit");
        const CommandResult r = Pw(args);
        EXPECT_EQ(r.exitCode, 3) << error;
        EXPECT_THAT(r.err, HasSubstr(error));
    }
}

TEST(AuditMbox, SplitsAtFromLinesAndUnquotesOneLevel) {
    using host::SplitMbox;
    using host::UnquoteMbox;
    const std::vector<std::string_view> split = SplitMbox(
        "From a Mon\nA: 1\n\nbody\nFrom the start\n\nFrom b Tue\r\nB: 2\r\n\r\nx\r\n\r\n");
    EXPECT_EQ(split, (std::vector<std::string_view>{"A: 1\n\nbody\n", "\n", "B: 2\r\n\r\nx\r\n"}));

    const std::pair<const char*, const char*> quoting[] = {
        {">From here\n", "From here\n"},    {">>From here\n", ">From here\n"},
        {"> From here\n", "> From here\n"}, {">Fromage\n", ">Fromage\n"},
        {"a\n>From x", "a\nFrom x"},        {"From x\n", "From x\n"},
    };
    for (const auto& [quoted, plain] : quoting) EXPECT_EQ(UnquoteMbox(quoted), plain) << quoted;
}

TEST(AuditRules, NamesAsPeopleWriteThem) {
    const std::pair<const char*, const char*> names[] = {
        {"outside-domains", "Outside Domains"},
        {"EmailAddressesDomains", "Email Addresses Domains"},
        {"number_of_recipients", "Max Number Of Recipients"},
        {"BLANK SUBJECT", "Blank Subject"},
        {"anysend", "Any Send"},
        {"outside", ""},
        {"", ""},
    };
    for (const auto& [name, rule] : names) EXPECT_EQ(host::AuditRuleNamed(name), rule) << name;
}

}  // namespace
}  // namespace postwarden::testing
