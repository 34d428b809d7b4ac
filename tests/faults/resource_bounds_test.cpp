// Texts far larger than any real one: each is refused where it comes in, at a
// bounded cost, with a description that names the limit, and the send goes on.
// Files over a limit are made sparse, so no test writes hundreds of megabytes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "module/CPostwarden.h"
#include "module/SettingKeys.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/TempFolder.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/settings/SettingsFixture.h"
#include "util/DelimitedList.h"
#include "util/Limits.h"

namespace postwarden {
namespace {

namespace fs = std::filesystem;

// A file of `size` bytes that takes no room on the disk (zero bytes).
void MakeSparse(const std::string& path, uint64_t size) {
    std::ofstream(path).close();
    fs::resize_file(path, size);
}

// The description of the RuntimeError `call` throws; fails the test when it
// throws none or another number.
template <class Call>
std::string Refusal(Call call) {
    try {
        call();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), limits::kErrorTooLarge) << e.Description();
        return e.Description();
    }
    ADD_FAILURE() << "nothing was refused";
    return {};
}

TEST(FileBoundsTest, AFileAtTheLimitIsReadAndADeviceCutOffAtIt) {
    testing::TempFolder dir;
    LinuxPlatform platform(
        {dir.Path() + "/log", dir.Path() + "/registry.db", dir.Path()},
        std::make_unique<ScriptedWindowSystem>(std::vector<ScriptedWindowSystem::Answer>{}));
    const std::string atLimit = dir.Path() + "/at-limit.xml";
    MakeSparse(atLimit, limits::kMaxSettingsDocumentBytes);
    // A larger one is refused unread: the whole send below has one.
    EXPECT_EQ(platform.ReadTextFile(atLimit).size(), limits::kMaxSettingsDocumentBytes);
    // The size of a device says nothing; reading stops when the limit is passed.
    EXPECT_EQ(Refusal([] { ReadWholeFile("/dev/zero", 1 << 20, "a test"); }),
              "/dev/zero is larger than 1048576 bytes, the limit for a test");
}

TEST(ListBoundsTest, ListsOverTheLimitsAreRefusedAndLeftEmpty) {
    DelimitedList list;
    std::string entries;
    for (size_t i = 0; i < limits::kMaxListEntries; ++i) entries += "a;";
    list.SetText(entries);
    EXPECT_EQ(list.Count(), static_cast<int32_t>(limits::kMaxListEntries));

    const struct {
        std::string text, refusal;
    } cases[] = {
        {entries + "b", "The list has more than 100000 entries, the limit for a list"},
        // Only blanks, so no entry at all, but too much text to split for each recipient.
        {std::string(limits::kMaxListTextBytes + 1, ' '),
         "The list text is larger than 4194304 bytes, the limit for a list"},
    };
    for (const auto& c : cases) {
        list.SetText("kept?");
        EXPECT_EQ(Refusal([&] { list.SetText(c.text); }), c.refusal);
        EXPECT_EQ(list.Count(), 0);
    }
}

TEST(MessageBoundsTest, RecipientsPastTheLimitAreCutOffAndSaidToBeMore) {
    std::string atLimit = "Subject: All\nTo: ";
    for (size_t i = 0; i < limits::kMaxRecipients; ++i) {
        atLimit += "a" + std::to_string(i) + "@b,";
    }
    const mailstore::MessageContent full = mailstore::ParseMessage(atLimit + "\n\nHi\n");
    EXPECT_EQ(full.recipients.size(), limits::kMaxRecipients);
    EXPECT_FALSE(full.recipientsTruncated);

    const mailstore::MessageContent over =
        mailstore::ParseMessage(atLimit + "\nCc: a0@b, c@d\n\nHi\n");
    EXPECT_EQ(over.recipients.size(), limits::kMaxRecipients);
    EXPECT_TRUE(over.recipientsTruncated);
    EXPECT_EQ(over.Body(), "Hi\n");  // the rest of the message is still read

    // Repeats do not hide the mailboxes after them.
    std::string repeats = "Subject: All\nTo: ";
    for (size_t i = 0; i <= limits::kMaxRecipients; ++i) repeats += "same@b,";
    const mailstore::MessageContent repeated =
        mailstore::ParseMessage(repeats + "other@evil.example\n\nHi\n");
    EXPECT_TRUE(repeated.recipientsTruncated);

    std::string threeTimes = "Subject: All\nBcc: ";
    for (int i = 0; i < 300'000; ++i) threeTimes += "x" + std::to_string(i) + ",";
    const mailstore::MessageContent many = mailstore::ParseMessage(threeTimes + "\n\nHi\n");
    EXPECT_EQ(many.recipients.size(), limits::kMaxRecipients);
    EXPECT_TRUE(many.recipientsTruncated);
}

TEST(MessageBoundsTest, AddressFieldsOfNamesOnlyAreReadInOnePass) {
    // Names without addresses, in the message's own fields and in an attached
    // message's: the MIME library's address parser would take minutes over them.
    std::string names;
    for (int i = 0; i < 40'000; ++i) {
        names += "Jane Doe" + std::to_string(i) + ", a.b" + std::to_string(i) + ", ";
    }
    const std::string message = "Subject: Names\nFrom: " + names + "\nTo: " + names +
                                "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; "
                                "boundary=XX\n\n--XX\nContent-Type: text/plain\n\nHello\n"
                                "--XX\nContent-Type: message/rfc822\n\nFrom: " +
                                names + "\nSubject: Inner\n\nInner\n--XX--\n";
    const mailstore::MessageContent content = mailstore::ParseMessage(message);
    EXPECT_EQ(content.recipients.size(), 80'000u);
    EXPECT_EQ(content.Body(),
              "Hello\n\nInner\n\nInner");  // the attached message's subject and text
    EXPECT_EQ(mailstore::ParseSubject(message), "Names");
}

// The module on the fakes: what it makes of a refusal.
using ModuleBoundsTest = SettingsTest;

TEST_F(ModuleBoundsTest, ASettingsItemBodyIsReadUpToTheLimitAndRefusedPastIt) {
    std::string body = Document();
    body.resize(limits::kMaxSettingsDocumentBytes, ' ');  // white space after the root element
    Publish("AtLimit", body);
    EXPECT_TRUE(s.FetchSettingsFromExchange("AtLimit"));
    EXPECT_TRUE(Events().empty()) << ::testing::PrintToString(Events());
    EXPECT_EQ(platform.settingWrites, ImportedKeys());

    platform.settingWrites.clear();
    Publish("Over", body + " ");
    EXPECT_FALSE(s.FetchSettingsFromExchange("Over"));
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "1|Postwarden.FetchSettingsFromExchange|Error occurred.  Reason: The "
                            "settings item's body is larger than 4194304 bytes, the limit for a "
                            "settings document"});
    EXPECT_TRUE(platform.settingWrites.empty());
}

TEST_F(ModuleBoundsTest, ADeeplyNestedDocumentIsReadWithoutRecursion) {
    // Half a million levels inside the size limit: parsed and searched without
    // a frame per level, then found to lack its elements.
    std::string doc;
    for (int i = 0; i < 500'000; ++i) doc += "<a>";
    for (int i = 0; i < 500'000; ++i) doc += "</a>";
    ASSERT_LE(doc.size(), limits::kMaxSettingsDocumentBytes);
    platform.files["/srv/deep.xml"] = doc;
    EXPECT_FALSE(s.FetchSettingsFromNetworkLocation("/srv/deep.xml"));
    EXPECT_EQ(Events(),
              std::vector<std::string>{"1|Postwarden.ReadSettingsFromXML|Error occurred at line "
                                       "10.  Reason: Object variable or With block variable not "
                                       "set"});
}

// A whole send on the real platform pieces (registry, log file, Maildir store,
// list splitting): every oversized input is logged and the message goes.
TEST(SendBoundsTest, OversizedInputsAreLoggedAndTheSendGoesAhead) {
    testing::TempFolder dir;
    const std::string logPath = dir.Path() + "/postwarden.log";
    LinuxPlatform platform(
        {logPath, dir.Path() + "/registry.db", dir.Path() + "/mail"},
        std::make_unique<ScriptedWindowSystem>(std::vector{ScriptedWindowSystem::Answer::kNo}));
    const std::string settingsFile = dir.Path() + "/settings.xml";
    MakeSparse(settingsFile, 100u << 20);
    std::string keywords;
    for (size_t i = 0; i <= limits::kMaxListEntries; ++i)
        keywords += "k" + std::to_string(i) + "\r\n";
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {keys::kFetchSettingsNetworkLocation, settingsFile},
             {keys::kPromptForOutsideDomainsWanted, "0"},
             {keys::kPromptForKeywordsWanted, "1"},
             {keys::kListOfKeywords, keywords},
             {keys::kSeparatePromptsWanted, "1"}}) {
        platform.SaveSetting(kSettingsAppName, kSettingsSection, key, value);
    }
    fs::create_directories(dir.Path() + "/mail");
    const std::string drafts = DraftsFolderOf(dir.Path() + "/mail");
    const std::string small = mailstore::DeliverMessage(
        drafts, "To: bob@corp.example\nSubject: Figures\n\nThe figures.\n", "DS");
    const std::string large = mailstore::DeliverMessage(drafts, "Subject: Huge\n\nx\n", "DS");
    const std::string largeFile = mailstore::FindMessage(drafts, large);
    MakeSparse(largeFile, 1ull << 30);

    // The mail client's side; an old client logs on to the store itself.
    fakes::FakePlatform client;
    auto engine = client.NewEngine();
    engine->application->version = "9.0.0.2711";
    CPostwarden module(platform);
    std::shared_ptr<Engine> e = engine;
    module.YSStartup(e);
    EXPECT_NO_THROW(module.YSExplorerOpen(nullptr));
    for (const std::string& id : {small, large}) {
        auto item = std::make_shared<fakes::FakeItem>(client);
        item->entryId = id;
        std::shared_ptr<OutlookItem> sent = item;
        int32_t selector = kSelectorItemSend;
        bool cancel = true;
        std::string folderEntryId, folderStoreId;
        module.YSItemEvent(selector, sent, cancel, folderEntryId, folderStoreId);
        EXPECT_FALSE(cancel) << id;
    }
    module.YSShutdown();
    platform.FlushLog();  // as the host does when the module returns

    const std::string log = ReadWholeFile(logPath);
    for (const std::string& line : {
             "Postwarden.FetchSettingsFromNetworkLocation\tError occurred.  Reason: " +
                 settingsFile + " is larger than 4194304 bytes, the limit for a settings document",
             std::string("Postwarden.CheckKeywords\tError occurred at line 0.  Reason: The list "
                         "has more than 100000 entries, the limit for a list"),
             "Postwarden.ProcessItem\tError occurred at line 8.  Reason: " + largeFile +
                 " is larger than 268435456 bytes, the limit for a message",
         }) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace postwarden
