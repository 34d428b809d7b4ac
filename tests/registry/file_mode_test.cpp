#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/registry/Registry.h"
#include "tests/FileModes.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

using testing::ModeOf;
using testing::TempFolder;
using testing::Umask;

TEST(RegistryFileModeTest, ANewDatabaseIsTheOwnersOnlyAndAnExistingOneKeepsItsMode) {
    const struct {
        mode_t umask;
        int existing;  // the mode of the database before; none when 0
        int mode;      // the mode of the database and SQLite's files beside it
    } cases[] = {{022, 0, 0600}, {0, 0, 0600}, {0, 0640, 0640}, {0, 0600, 0600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::oct << c.umask << " " << c.existing);
        Umask umask(c.umask);
        TempFolder folder;
        const std::string database = folder.File("registry.db");
        if (c.existing != 0) {
            Registry(database).SaveSetting("Postwarden", "Postwarden", "A", "1");
            ASSERT_EQ(::chmod(database.c_str(), static_cast<mode_t>(c.existing)), 0);
        }
        Registry registry(database);
        registry.SaveSetting("Postwarden", "Postwarden", "ListOfKeywords", "projectx");
        if (c.existing != 0) {
            EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "A", ""), "1");
        }
        // While the connection holds them open; never wider than the database.
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(ModeOf(database + suffix), c.mode) << std::oct << "registry.db" << suffix;
        }
    }
}

}  // namespace
}  // namespace postwarden
