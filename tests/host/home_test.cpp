#include "host/Home.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/FileModes.h"
#include "tests/TempFolder.h"

namespace postwarden::host {
namespace {

using testing::ModeOf;
using testing::Umask;

class MakeFoldersTest : public ::testing::Test {
  protected:
    testing::TempFolder folder_;
    const std::string& root_ = folder_.Path();
};

TEST_F(MakeFoldersTest, EveryFolderItMakesIsTheOwnersOnlyWhateverTheUmask) {
    for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        Umask umask(mask);
        const std::string base = root_ + "/" + std::to_string(mask);
        ASSERT_EQ(MakeFolders(base + "/state/postwarden/mail"), "");
        for (const char* folder : {"", "/state", "/state/postwarden", "/state/postwarden/mail"}) {
            EXPECT_EQ(ModeOf(base + folder), 0700) << std::oct << base + folder;
        }
    }
}

TEST_F(MakeFoldersTest, AFolderThatExistsKeepsItsMode) {
    Umask umask(0);
    ASSERT_EQ(::mkdir((root_ + "/shared").c_str(), 0755), 0);
    ASSERT_EQ(MakeFolders(root_ + "/shared/home"), "");
    EXPECT_EQ(ModeOf(root_ + "/shared"), 0755);
    EXPECT_EQ(ModeOf(root_ + "/shared/home"), 0700);
    ASSERT_EQ(::chmod((root_ + "/shared/home").c_str(), 0750), 0);
    EXPECT_EQ(MakeFolders(root_ + "/shared/home"), "");
    EXPECT_EQ(ModeOf(root_ + "/shared/home"), 0750);
}

}  // namespace
}  // namespace postwarden::host
