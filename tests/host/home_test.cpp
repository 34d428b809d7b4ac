#include "host/Home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/FileModes.h"
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

}  // namespace
}  // namespace postwarden::host
