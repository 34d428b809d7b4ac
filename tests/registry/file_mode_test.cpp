#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/registry/Registry.h"
#include "tests/FileModes.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

using testing::ModeOf;
using testing::Umask;

using testing::TempFolder;

// The database and SQLite's files beside it, while a connection holds them open.
void ExpectModes(const std::string& database, int mode) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(ModeOf(database + suffix), mode) << std::oct << "registry.db" << suffix;
    }
}

TEST(RegistryFileModeTest, ANewDatabaseIsTheOwnersOnlyWhateverTheUmask) {
    for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        Umask umask(mask);
        TempFolder folder;
        Registry registry(folder.File("registry.db"));
        registry.SaveSetting("Postwarden", "Postwarden", "ListOfKeywords", "projectx");
        ExpectModes(folder.File("registry.db"), 0600);
    }
}

TEST(RegistryFileModeTest, AnExistingDatabaseKeepsItsMode) {
    Umask umask(0);
    for (const int mode : {0640, 0600}) {
        SCOPED_TRACE(mode);
        TempFolder folder;
        Registry(folder.File("registry.db")).SaveSetting("Postwarden", "Postwarden", "A", "1");
        ASSERT_EQ(::chmod(folder.File("registry.db").c_str(), static_cast<mode_t>(mode)), 0);

        Registry registry(folder.File("registry.db"));
        registry.SaveSetting("Postwarden", "Postwarden", "B", "2");
        EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "A", ""), "1");
        // SQLite's own files take the database's mode, never a wider one.
        ExpectModes(folder.File("registry.db"), mode);
    }
}

}  // namespace
}  // namespace postwarden
