// Where the command keeps its files and finds the ones it ships with.
#include "host/Home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "host/InstallLayout.h"
#include "tests/TempFolder.h"

namespace postwarden::host {
namespace {

using testing::ModeOf;
using testing::Umask;

TEST(MakeFoldersTest, EveryFolderItMakesIsTheOwnersOnlyAndAFolderThatExistsKeepsItsMode) {
    testing::TempFolder folder;
    for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        Umask umask(mask);
        const std::string base = folder.Path() + "/" + std::to_string(mask);
        ASSERT_EQ(MakeFolders(base + "/state/postwarden/mail"), "");
        for (const char* made : {"", "/state", "/state/postwarden", "/state/postwarden/mail"}) {
            EXPECT_EQ(ModeOf(base + made), 0700) << std::oct << base + made;
        }
    }
    const std::string shared = folder.Path() + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(MakeFolders(shared + "/home"), "");
    EXPECT_EQ(ModeOf(shared), 0755);
    EXPECT_EQ(ModeOf(shared + "/home"), 0700);
    ASSERT_EQ(::chmod((shared + "/home").c_str(), 0750), 0);
    EXPECT_EQ(MakeFolders(shared + "/home"), "");
    EXPECT_EQ(ModeOf(shared + "/home"), 0750);
}

// Beside the executable first (a build folder), then in the install relative to it.
TEST(CompanionLookup, BesideTheProgramWinsThenTheInstall) {
    const struct {
        const char* name;
        bool beside;     // the file stands beside the executable
        bool installed;  // the file stands in <prefix>/lib/postwarden
        const char* expected;
    } cases[] = {
        {"beside only", true, false, "/usr/bin/libx.so"},
        {"installed only", false, true, "/usr/lib/postwarden/libx.so"},
        {"both: the build folder's own", true, true, "/usr/bin/libx.so"},
        {"neither: where it was expected first", false, false, "/usr/bin/libx.so"},
    };
    for (const auto& c : cases) {
        testing::TempFolder root;
        std::filesystem::create_directories(root.Path() + "/usr/lib/postwarden");
        std::filesystem::create_directories(root.Path() + "/usr/bin");
        if (c.beside) testing::WriteFile(root.Path() + "/usr/bin/libx.so", "x");
        if (c.installed) testing::WriteFile(root.Path() + "/usr/lib/postwarden/libx.so", "x");
        // Written without "..", as the person reads it.
        EXPECT_EQ(FindCompanionFrom(root.Path() + "/usr/bin", "libx.so", "lib/postwarden"),
                  root.Path() + c.expected)
            << c.name;
    }
}

}  // namespace
}  // namespace postwarden::host
