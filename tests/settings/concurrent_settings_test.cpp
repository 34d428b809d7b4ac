// The seeding and the import of two module instances in two processes, on one
// real registry database.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"
#include "platform/windows/NoWindowSystem.h"
#include "tests/settings/SettingsFixture.h"

namespace postwarden {
namespace {

constexpr int kRounds = 15;

// Runs in a child: `seeder` marks the store as never initialised and seeds it
// each round; the other imports the settings file each round. Exits with the
// number of error reports in its log (capped), or 100 when an import failed.
[[noreturn]] void RunWriter(const std::string& home, const std::string& document, bool seeder) {
    int status = 0;
    {
        const std::string log = home + (seeder ? "/seeder.log" : "/importer.log");
        LinuxPlatform platform({log, home + "/registry.db", home + "/mail"},
                               std::make_unique<NoWindowSystem>());
        CPostwarden module(platform);
        SettingsAccess access(module);
        for (int round = 0; round < kRounds; ++round) {
            if (seeder) {
                platform.SaveSetting(kSettingsAppName, kSettingsSection,
                                     keys::kPromptForOutsideDomainsWanted, "-2");
                access.EnsureDefaultSettings();
            } else if (!access.FetchSettingsFromNetworkLocation(document)) {
                status = 100;
            }
        }
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            if (line.find("\tevent\t") != std::string::npos && status < 99) ++status;
        }
    }
    _exit(status);
}

TEST(ConcurrentSettingsTest, SeedingAndImportInTwoProcessesKeepWholeValues) {
    char pattern[] = "/tmp/pw-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string home = pattern;
    // Long texts, so a torn write would show.
    std::string text = Document();
    const std::string longList =
        "<i>" + std::string(5000, 'k') + "</i><i>" + std::string(5000, 'q') + "</i>";
    text.replace(text.find("<k>secret</k><k>confidential</k>"), 32, longList);
    const std::string document = home + "/settings.xml";
    std::ofstream(document) << text;

    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) RunWriter(home, document, i == 0);
    }
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << (i == 0 ? "seeder" : "importer") << " reported errors; see " << home;
    }

    // Every value is one of the two writers' values.
    Registry registry(home + "/registry.db");
    auto stored = [&](const char* key) {
        return registry.GetSetting(kSettingsAppName, kSettingsSection, key, "<absent>");
    };
    const std::string list = std::string(5000, 'k') + "\r\n" + std::string(5000, 'q');
    EXPECT_TRUE(stored(keys::kListOfKeywords) == "" || stored(keys::kListOfKeywords) == list);
    EXPECT_TRUE(stored(keys::kMaxNumberOfRecipients) == "0" ||
                stored(keys::kMaxNumberOfRecipients) == "25");
    EXPECT_TRUE(stored(keys::kMessageForBlankSubject) ==
                    FindSetting(keys::kMessageForBlankSubject)->seeded.text ||
                stored(keys::kMessageForBlankSubject) == "Blank?");
    EXPECT_EQ(stored(keys::kSeparatePromptsWanted), "1");
    if (HasFailure()) return;  // keep the folder to look at
    std::system(("rm -rf '" + home + "'").c_str());
}

}  // namespace
}  // namespace postwarden
