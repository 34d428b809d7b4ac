#include <sys/stat.h>

#include <string>

#include "platform/registry/Registry.h"
#include "tests/registry/TempFolder.h"

namespace postwarden {
namespace {

using testing::RegistryFolder;

// Sets the process's umask for one scope.
class Umask {
  public:
    explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
    ~Umask() { ::umask(saved_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

  private:
    mode_t saved_;
};

// The permission bits of `path`; -1 when it does not exist.
int ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

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
        RegistryFolder folder;
        Registry registry(folder.File());
        registry.SaveSetting("Postwarden", "Postwarden", "ListOfKeywords", "projectx");
        ExpectModes(folder.File(), 0600);
    }
}

TEST(RegistryFileModeTest, AnExistingDatabaseKeepsItsMode) {
    Umask umask(0);
    for (const int mode : {0640, 0600}) {
        SCOPED_TRACE(mode);
        RegistryFolder folder;
        Registry(folder.File()).SaveSetting("Postwarden", "Postwarden", "A", "1");
        ASSERT_EQ(::chmod(folder.File().c_str(), static_cast<mode_t>(mode)), 0);

        Registry registry(folder.File());
        registry.SaveSetting("Postwarden", "Postwarden", "B", "2");
        EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "A", ""), "1");
        // SQLite's own files take the database's mode, never a wider one.
        ExpectModes(folder.File(), mode);
    }
}

}  // namespace
}  // namespace postwarden
