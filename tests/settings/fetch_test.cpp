#include "tests/settings/SettingsFixture.h"

namespace postwarden {
namespace {

constexpr const char* kFolder = "Public Folders/All Public Folders/IT";
constexpr const char* kExchange = "FetchSettingsFromExchange";
constexpr const char* kNetwork = "FetchSettingsFromNetworkLocation";

using FetchTest = SettingsTest;

TEST_F(FetchTest, ExchangeItemFoundAndRead) {
    Publish(kFolder, Document(), "2");
    EXPECT_TRUE(s.FetchSettingsFromExchange(kFolder));
    EXPECT_EQ(Lines(kExchange),
              (std::vector<std::string>{
                  "Logged on: True", "Fetching public folder from " + std::string(kFolder),
                  "Found 'Post Warden Settings'; Format: 2", "Read settings successfully: True"}));
    EXPECT_EQ(Stored(keys::kMaxNumberOfRecipients), "25");
    EXPECT_EQ(platform.store.logons, 1);
    EXPECT_TRUE(Events().empty());
}

TEST_F(FetchTest, OutlookNineAndANotLoggedOnSessionStillRead) {
    Publish(kFolder, Document())->properties.erase("BodyFormat");  // reading it would fail
    engine->application->version = "9.0.0.2416";
    platform.store.loggedOnAfterLogon = false;
    EXPECT_TRUE(s.FetchSettingsFromExchange(kFolder));
    EXPECT_EQ(Lines(kExchange)[0], "Logged on: False");
    EXPECT_EQ(Lines(kExchange)[2], "Found 'Post Warden Settings'");
}

TEST_F(FetchTest, AMissingItemIsNoError) {
    Publish(kFolder, Document(), "2", "Other item");
    EXPECT_FALSE(s.FetchSettingsFromExchange(kFolder));
    EXPECT_EQ(Lines(kExchange).back(), "Failed to find 'Post Warden Settings'");
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(platform.settingWrites.empty());
}

TEST_F(FetchTest, AnItemThatIsNoDocumentReadsAsFailed) {
    Publish(kFolder, "");
    EXPECT_FALSE(s.FetchSettingsFromExchange(kFolder));
    EXPECT_EQ(Lines(kExchange).back(), "Read settings successfully: False");
    ASSERT_EQ(Events().size(), 2u);
    EXPECT_EQ(Events()[1], "1|Postwarden.ReadSettingsFromXML|XML Contents:");
}

TEST_F(FetchTest, ExchangeFailuresEndTheFetch) {
    const struct {
        const char* operation;  // "" for the missing folder
        size_t linesBefore;
    } cases[] = {
        {"CreateMapiSession", 0},  {"Logon", 0},      {"", 1},
        {"Folder.Items", 2},       {"Items.Find", 2}, {"Message.Property", 2},
        {"Engine.Application", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        platform.log.clear();
        platform.store.folders.clear();
        if (*c.operation != '\0') {
            Publish(kFolder, Document());
            platform.FailOn(c.operation, RuntimeError(errors::kDeviceIO, "broken"));
        }
        EXPECT_FALSE(s.FetchSettingsFromExchange(kFolder));
        platform.Heal(c.operation);
        EXPECT_EQ(platform.Messages("trace").size(), c.linesBefore);
        EXPECT_EQ(Events(),
                  std::vector<std::string>{
                      "1|Postwarden.FetchSettingsFromExchange|Error occurred.  Reason: " +
                      std::string(*c.operation ? "broken" : "The folder could not be found")});
        EXPECT_EQ(platform.log.back().kind, "event");
        EXPECT_TRUE(platform.settingWrites.empty());
    }
}

// The body of a settings item is text already, whatever encoding its
// declaration names: it is not decoded again.
TEST_F(FetchTest, AnItemsBodyIsReadAsTheTextItIs) {
    std::string text = Document();
    text.replace(0, text.find('\n'), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>");
    text.replace(text.find("Blank?"), 6, "Größe?");
    Publish(kFolder, text);
    EXPECT_TRUE(s.FetchSettingsFromExchange(kFolder));
    EXPECT_EQ(Stored(keys::kMessageForBlankSubject), "Größe?");
    EXPECT_TRUE(Events().empty()) << testing::PrintToString(Events());
}

// A file that cannot be had or read is an error, without a result line.
TEST_F(FetchTest, AMissingFileOrOneInAnUnknownEncodingIsAFailedFetch) {
    std::string text = Document();
    text.replace(0, text.find('\n'), "<?xml version=\"1.0\" encoding=\"x-klingon\"?>");
    platform.files["/srv/pw.xml"] = text;
    const std::pair<const char*, const char*> cases[] = {
        {"/srv/none.xml", "File not found"},
        {"/srv/pw.xml", "The settings document's encoding \"x-klingon\" is not known"},
    };
    for (const auto& [path, reason] : cases) {
        platform.log.clear();
        EXPECT_FALSE(s.FetchSettingsFromNetworkLocation(path));
        EXPECT_EQ(Lines(kNetwork),
                  std::vector<std::string>{"Fetching file from " + std::string(path)});
        EXPECT_EQ(Events(),
                  std::vector<std::string>{"1|Postwarden.FetchSettingsFromNetworkLocation|"
                                           "Error occurred.  Reason: " +
                                           std::string(reason)});
    }
    EXPECT_TRUE(platform.settingWrites.empty());
}

}  // namespace
}  // namespace postwarden
