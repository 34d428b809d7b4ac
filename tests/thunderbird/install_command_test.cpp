// `postwarden thunderbird install|uninstall` on a throw-away HOME and profile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "host/ThunderbirdHost.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

class InstallCommandTest : public ::testing::Test {
  protected:
    CommandResult Thunderbird(std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", home.Path() + "/pw", "thunderbird"});
        return RunPostwarden(args, "", {homeVariable});
    }
    std::string ManifestPath() const {
        return home.Path() + "/.mozilla/native-messaging-hosts/" + host::kNativeHostName + ".json";
    }
    std::string AddonPath() const {
        return profile.Path() + "/extensions/" + host::kAddonId + ".xpi";
    }

    TempFolder home, profile;
    std::string homeVariable = "HOME=" + home.Path();
};

TEST_F(InstallCommandTest, InstallLetsTheAddonRunTheHostAndUninstallUndoesIt) {
    // Without a profile it says where the add-on is.
    CommandResult installed = Thunderbird({"install"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    EXPECT_NE(installed.out.find(host::kAddonPackage), std::string::npos) << installed.out;
    installed = Thunderbird({"install", "--profile", profile.Path()});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;

    const auto manifest = nlohmann::json::parse(ReadFile(ManifestPath()), nullptr, false);
    ASSERT_TRUE(manifest.is_object()) << ReadFile(ManifestPath());
    EXPECT_EQ(manifest["name"], host::kNativeHostName);
    EXPECT_EQ(manifest["type"], "stdio");
    const std::string program = manifest["path"];
    EXPECT_TRUE(fs::path(program).is_absolute()) << program;
    EXPECT_EQ(access(program.c_str(), X_OK), 0) << program;
    // The add-on as packed must be the one the manifest lets in.
    const auto addon = nlohmann::json::parse(
        ReadFile(POSTWARDEN_SOURCE_DIR "/integrations/thunderbird/manifest.json"));
    EXPECT_EQ(manifest["allowed_extensions"],
              nlohmann::json::array({addon["browser_specific_settings"]["gecko"]["id"]}));
    EXPECT_EQ(ReadFile(AddonPath()),
              ReadFile(std::string(POSTWARDEN_BINARY_DIR "/") + host::kAddonPackage));

    const CommandResult removed = Thunderbird({"uninstall", "--profile", profile.Path()});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_FALSE(fs::exists(ManifestPath()));
    EXPECT_FALSE(fs::exists(AddonPath()));
    EXPECT_EQ(Thunderbird({"uninstall"}).exitCode, 0) << "nothing left to remove is no error";
}

// The usage errors' wording is checked in tests/host/options_test.cpp.
TEST_F(InstallCommandTest, BadUsageChangesNothing) {
    for (const std::string& bad :
         {std::string("--bogus"), "--profile=" + profile.Path() + "/missing"}) {
        const CommandResult r = Thunderbird({"install", bad});
        EXPECT_EQ(r.exitCode, 2) << bad << r.err;
        EXPECT_FALSE(fs::exists(ManifestPath())) << bad;
    }
}

}  // namespace
}  // namespace postwarden::testing
