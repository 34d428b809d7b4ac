#include "tests/settings/SettingsFixture.h"

namespace postwarden {
namespace {

constexpr const char* kSource = "EnsureDefaultSettings";
constexpr const char* kUsingDefaults = "No exchange folder or network file present, using defaults";

std::vector<std::string> WithDefaultsLine(std::vector<std::string> trace) {
    trace.insert(trace.begin(), kUsingDefaults);
    return trace;
}

using EnsureDefaultSettingsTest = SettingsTest;

TEST_F(EnsureDefaultSettingsTest,
       FirstOpenSeedsTheEighteenKeysThenTracesThemAndTheSecondOnlyTraces) {
    s.EnsureDefaultSettings();

    EXPECT_EQ(Lines(kSource), WithDefaultsLine(kSeededTrace));
    std::vector<std::string> order = TracedKeys();
    order.push_back("SeparatePromptsWanted");
    EXPECT_EQ(platform.settingWrites, order);
    EXPECT_EQ(Stored("SeparatePromptsWanted"), "1");
    EXPECT_EQ(Stored("MaxNumberOfRecipients"), "0");
    EXPECT_EQ(Stored("FetchSettingsExchangePublicFolder"), "<absent>");
    for (const fakes::LogLine& line : platform.log) {
        EXPECT_EQ(line.level, 0);
        EXPECT_EQ(line.kind, "trace");
    }

    // The second open only traces.
    platform.log.clear();
    platform.settingWrites.clear();
    s.EnsureDefaultSettings();
    EXPECT_TRUE(platform.settingWrites.empty());
    EXPECT_EQ(Lines(kSource), kSeededTrace);
}

TEST_F(EnsureDefaultSettingsTest, AMarkerOfMinusTwoSeedsAgainOnEveryOpen) {
    platform.SetSetting(keys::kPromptForOutsideDomainsWanted, "-2");
    platform.SetSetting(keys::kMessageForAnySend, "changed by hand");
    for (int open = 0; open < 2; ++open) {
        platform.log.clear();
        s.EnsureDefaultSettings();
        EXPECT_EQ(Lines(kSource), WithDefaultsLine(kSeededTrace));
        platform.SetSetting(keys::kPromptForOutsideDomainsWanted, " -2 ");
    }
}

TEST_F(EnsureDefaultSettingsTest, AStoredMarkerKeepsEverythingElseAsItIs) {
    // Only the marker is left: nothing is filled in, absent keys trace as 0 or empty.
    // Switches and counts are traced as the converted number.
    platform.SetSetting(keys::kPromptForOutsideDomainsWanted, "07");
    platform.SetSetting(keys::kSeparateDLsWanted, " 3");
    platform.SetSetting(keys::kListOfKeywords, "a\r\nb");
    s.EnsureDefaultSettings();
    EXPECT_TRUE(platform.settingWrites.empty());
    const std::vector<std::string> lines = Lines(kSource);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[0], "PromptForOutsideDomainsWanted: 7");
    EXPECT_EQ(lines[2], "MessageForOutsideDomains: ");
    EXPECT_EQ(lines[7], "ListOfKeywords: a\r\nb");
    EXPECT_EQ(lines[10], "MaxNumberOfRecipients: 0");
    EXPECT_EQ(lines[11], "SeparateDLsWanted: 3");
    EXPECT_EQ(lines[15], "PromptForAnySendWanted: 0");
}

// A switch that is no number ends the routine, after the groups traced before it.
TEST_F(EnsureDefaultSettingsTest, ASwitchThatIsNoNumberEndsTheRoutineAtStepEight) {
    const struct {
        const char* marker;
        const char* keywordsSwitch;
        size_t traced;
        const char* reason;
    } cases[] = {
        {"", "0", 0, "Type mismatch"},    {"abc", "0", 0, "Type mismatch"},
        {"1.0", "0", 0, "Type mismatch"}, {"99999999999", "0", 0, "Overflow"},
        {"0", "on", 6, "Type mismatch"},  // the first two groups
    };
    for (const auto& c : cases) {
        platform.log.clear();
        platform.SetSetting(keys::kPromptForOutsideDomainsWanted, c.marker);
        platform.SetSetting(keys::kPromptForKeywordsWanted, c.keywordsSwitch);
        platform.settingWrites.clear();
        s.EnsureDefaultSettings();
        EXPECT_TRUE(platform.settingWrites.empty()) << c.marker;
        EXPECT_EQ(Lines(kSource).size(), c.traced) << c.marker;
        EXPECT_EQ(Events(), std::vector<std::string>{"0|Postwarden.EnsureDefaultSettings|Error "
                                                     "occurred at line 8.  Reason:" +
                                                     std::string(c.reason)})
            << c.marker;
    }
}

TEST_F(EnsureDefaultSettingsTest, AFailingStoreIsReportedWithTheStepReached) {
    platform.FailOn("GetSetting", RuntimeError(errors::kDeviceIO, "disk gone"));
    s.EnsureDefaultSettings();
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "0|Postwarden.EnsureDefaultSettings|Error occurred at line 2.  "
                            "Reason:disk gone"});

    platform.Heal("GetSetting");
    platform.log.clear();
    platform.FailOn("SaveSetting", RuntimeError(errors::kDeviceIO, "read-only"));
    s.EnsureDefaultSettings();
    EXPECT_EQ(Lines(kSource), std::vector<std::string>{kUsingDefaults});
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "0|Postwarden.EnsureDefaultSettings|Error occurred at line 8.  "
                            "Reason:read-only"});
}

// --- With central sources ---

constexpr const char* kFolder = "Public Folders\\All Public Folders\\IT";
constexpr const char* kFile = "\\\\server\\share\\postwarden.xml";

class CentralSourcesTest : public SettingsTest {
  protected:
    // The stored settings except the location keys.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> out;
        for (const auto& [key, value] : platform.settings) out[std::get<2>(key)] = value;
        return out;
    }
};

TEST_F(CentralSourcesTest, AFolderThatDeliversWinsAndNothingIsSeeded) {
    platform.SetSetting(keys::kFetchSettingsExchangePublicFolder, kFolder);
    platform.SetSetting(keys::kFetchSettingsNetworkLocation, kFile);
    platform.files[kFile] = Document();
    Publish(kFolder, Document());

    s.EnsureDefaultSettings();
    EXPECT_EQ(platform.CallsOf("ReadTextFile"), 0);
    EXPECT_EQ(platform.settingWrites, ImportedKeys());
    EXPECT_FALSE(platform.Setting(keys::kSeparatePromptsWanted));
    const std::vector<std::string> lines = Lines(kSource);
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[1], "ListOfOutsideDomains: corp.example\r\n*.corp.example");
    EXPECT_EQ(lines[10], "MaxNumberOfRecipients: 25");
    EXPECT_EQ(lines[16], "MessageForAnySend: ");
}

TEST_F(CentralSourcesTest, TheFileIsTriedWhenTheFolderFails) {
    platform.SetSetting(keys::kFetchSettingsExchangePublicFolder, kFolder);  // no such folder
    platform.SetSetting(keys::kFetchSettingsNetworkLocation, kFile);
    platform.files[kFile] = Document();
    s.EnsureDefaultSettings();
    EXPECT_EQ(platform.settingWrites, ImportedKeys());
    EXPECT_TRUE(platform.Logged("Read settings successfully: True"));
    EXPECT_FALSE(platform.Logged(kUsingDefaults));
}

TEST_F(CentralSourcesTest, BothFailingOnAFreshStoreSeedsTheDefaults) {
    platform.SetSetting(keys::kFetchSettingsExchangePublicFolder, kFolder);
    platform.SetSetting(keys::kFetchSettingsNetworkLocation, kFile);
    Publish(kFolder, "not xml");
    s.EnsureDefaultSettings();
    EXPECT_EQ(Lines(kSource), WithDefaultsLine(kSeededTrace));
    EXPECT_EQ(platform.settingWrites.size(), 18u);
}

TEST_F(CentralSourcesTest, AFailedFetchOnAnInitialisedStoreChangesNothing) {
    s.EnsureDefaultSettings();
    platform.SetSetting(keys::kListOfKeywords, "local");
    platform.SetSetting(keys::kFetchSettingsNetworkLocation, kFile);
    const auto before = Snapshot();
    platform.settingWrites.clear();

    for (const std::string& body :
         {std::string("<broken"), Document().replace(Document().find(">25<") + 1, 2, "x")}) {
        platform.files[kFile] = body;
        s.EnsureDefaultSettings();
        EXPECT_TRUE(platform.settingWrites.empty());
        EXPECT_EQ(Snapshot(), before);
    }
    platform.files.clear();
    s.EnsureDefaultSettings();
    EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace postwarden
