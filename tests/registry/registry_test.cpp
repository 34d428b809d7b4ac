#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

namespace postwarden {
namespace {

using testing::ModeOf;
using testing::ReadFile;
using testing::TempFolder;
using testing::Umask;
using testing::WriteFile;

constexpr const char* kMail = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";
constexpr uint32_t kHiveLocalMachine = 0x80000002u;

// A registry on a file not made yet.
class RegistryTest : public ::testing::Test {
  protected:
    TempFolder folder;
    Registry registry{folder.File("registry.db")};
};

TEST_F(RegistryTest, ReadsOfAMissingFileAnswerEmptyAndCreateNothing) {
    EXPECT_EQ(registry.GetSetting("App", "Section", "Key", "fallback"), "fallback");
    EXPECT_TRUE(registry.GetAllSettings("App", "Section").empty());
    EXPECT_FALSE(registry.DeleteSetting("App", "Section", "Key"));
    EXPECT_EQ(registry.NewAccess()->OpenKey(kMail, kHiveCurrentUser, 63), 2);
    EXPECT_FALSE(std::filesystem::exists(folder.File("registry.db")));

    registry.SaveSetting("App", "Section", "Key", "v");
    EXPECT_TRUE(std::filesystem::exists(folder.File("registry.db")));
    EXPECT_EQ(registry.GetSetting("App", "Section", "Key", "fallback"), "v");
}

TEST_F(RegistryTest, SettingsReadBackAsStoredAndSurviveReopening) {
    const std::string big(100000, 'x');
    const std::string odd("a\r\nb\0c\t\xC3\xA4", 10);
    registry.SaveSetting("Postwarden", "Postwarden", "Empty", "");
    registry.SaveSetting("Postwarden", "Postwarden", "Big", big);
    registry.SaveSetting("Postwarden", "Postwarden", "Odd", odd);
    registry.SaveSetting("Postwarden", "Postwarden", "Over", "first");
    registry.SaveSetting("Postwarden", "Postwarden", "Over", "second");
    registry.SaveSetting("Other", "Postwarden", "Empty", "other app");
    Registry reopened(folder.File("registry.db"));
    EXPECT_EQ(reopened.GetSetting("Postwarden", "Postwarden", "Empty", "default"), "");
    EXPECT_EQ(reopened.GetSetting("Postwarden", "Postwarden", "Big", ""), big);
    EXPECT_EQ(reopened.GetSetting("Postwarden", "Postwarden", "Odd", ""), odd);
    EXPECT_EQ(reopened.GetSetting("Postwarden", "Postwarden", "Over", ""), "second");
    EXPECT_EQ(reopened.GetSetting("Postwarden", "Other", "Empty", "none"), "none");
    const auto all = reopened.GetAllSettings("Postwarden", "Postwarden");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].first, "Big");
    EXPECT_EQ(all[3].first, "Over");
}

TEST_F(RegistryTest, KeyPathsAndValueNamesIgnoreCase) {
    registry.SaveSetting("Postwarden", "Postwarden", "ListOfKeywords", "one");
    registry.SaveSetting("POSTWARDEN", "postwarden", "LISTOFKEYWORDS", "two");
    EXPECT_EQ(registry.GetSetting("postWarden", "POSTWARDEN", "listofkeywords", ""), "two");
    const auto all = registry.GetAllSettings("Postwarden", "Postwarden");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].first, "ListOfKeywords");  // the first spelling stays

    registry.WriteText(kHiveCurrentUser, "Software\\ÄÖÜ Corp", "Größe", "x");
    EXPECT_EQ(registry.ReadValue(kHiveCurrentUser, "\\software\\\\äöü corp\\", "GRÖSSE"),
              std::nullopt);  // no folding beyond case
    ASSERT_TRUE(registry.ReadValue(kHiveCurrentUser, "\\software\\\\äöü corp\\", "GRÖßE"));
    EXPECT_TRUE(registry.DeleteSetting("postwarden", "POSTWARDEN", "listOfKeywords"));
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "ListOfKeywords", "gone"), "gone");
}

TEST_F(RegistryTest, RegistryAccessOpensKeysAndReadsNumbers) {
    registry.WriteNumber(kHiveCurrentUser, kMail, "EditorPreference", 131073);
    registry.WriteNumber(kHiveCurrentUser, kMail, "Negative", -5);
    registry.WriteText(kHiveCurrentUser, kMail, "TextNumber", " 42");
    registry.WriteText(kHiveCurrentUser, kMail, "Word", "yes");

    std::unique_ptr<RegistryAccess> access = registry.NewAccess();
    EXPECT_THROW(access->QueryValue("EditorPreference", 0), RuntimeError);  // nothing open
    EXPECT_EQ(access->OpenKey("software\\microsoft\\office\\16.0\\outlook\\options\\MAIL",
                              kHiveCurrentUser, 63),
              0);
    EXPECT_EQ(access->QueryValue("editorpreference", 0), 131073);
    EXPECT_EQ(access->QueryValue("Negative", 0), -5);
    EXPECT_EQ(access->QueryValue("TextNumber", 0), 42);
    const auto failure = [&](const char* name) -> std::string {
        try {
            return "read as " + std::to_string(access->QueryValue(name, 0));
        } catch (const RuntimeError& e) {
            return e.Description();
        }
    };
    EXPECT_EQ(failure("Word"), "Type mismatch");
    EXPECT_NE(failure("Missing").find("Missing"), std::string::npos) << failure("Missing");
    access->CloseKey();
    EXPECT_THROW(access->QueryValue("EditorPreference", 0), RuntimeError);

    // Parents of a written key exist; siblings do not.
    EXPECT_EQ(access->OpenKey("Software\\Microsoft\\Office", kHiveCurrentUser, 63), 0);
    EXPECT_EQ(access->OpenKey("Software\\Microsoft\\Office\\9.0\\Outlook\\Options\\Mail",
                              kHiveCurrentUser, 63),
              2);
    EXPECT_THROW(access->QueryValue("EditorPreference", 0), RuntimeError);

    // Hives are separate.
    registry.WriteNumber(kHiveLocalMachine, "Software\\Machine", "Value", 1);
    EXPECT_EQ(access->OpenKey("Software\\Machine", kHiveCurrentUser, 63), 2);
    EXPECT_EQ(access->OpenKey("Software\\Machine", kHiveLocalMachine, 63), 0);
}

// Text, another program's database, a folder that is not there: each
// operation that needs the file fails naming it, and the file is left as it was.
TEST_F(RegistryTest, AFileThatIsNoRegistryFailsEachOperationNamingTheFile) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(folder.File("foreign.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    const struct {
        std::string path;
        std::string bytes;
        const char* says;
    } cases[] = {
        {folder.File("text.db"), "This is not a database, only some text of a fair length.\n",
         "is not a valid registry database"},
        {folder.File("foreign.db"), ReadFile(folder.File("foreign.db")),
         "is not a valid registry database"},
        {folder.Path() + "/missing/registry.db", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (!c.bytes.empty()) WriteFile(c.path, c.bytes);
        Registry other(c.path);  // constructing touches nothing
        const auto expectFailure = [&](const char* what, auto&& operation) {
            try {
                operation();
                ADD_FAILURE() << what << " succeeded";
            } catch (const RuntimeError& e) {
                EXPECT_NE(e.Description().find(c.path), std::string::npos) << e.Description();
                EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
            }
        };
        expectFailure("SaveSetting", [&] { other.SaveSetting("a", "b", "c", "d"); });
        if (c.bytes.empty()) {
            // Nothing there: a read finds nothing.
            EXPECT_EQ(other.GetSetting("a", "b", "c", "default"), "default");
            continue;
        }
        expectFailure("GetSetting", [&] { other.GetSetting("a", "b", "c", ""); });
        expectFailure("GetAllSettings", [&] { other.GetAllSettings("a", "b"); });
        expectFailure("OpenKey", [&] { other.NewAccess()->OpenKey(kMail, kHiveCurrentUser, 63); });
        EXPECT_TRUE(ReadFile(c.path) == c.bytes) << "the file was changed";

        // Once the file is put right, the same object works again.
        std::remove(c.path.c_str());
        other.SaveSetting("a", "b", "c", "d");
        EXPECT_EQ(other.GetSetting("a", "b", "c", ""), "d");
    }
}

TEST_F(RegistryTest, ANewDatabaseIsTheOwnersOnlyAndAnExistingOneKeepsItsMode) {
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

constexpr int kRounds = 40;
constexpr int kKeys = 4;

// The value writer `writer` stores in `round`: its length and letter say both,
// so a torn or mixed value cannot pass for a whole one.
std::string ValueOf(int writer, int round) {
    return std::string(3000 + round * 7, static_cast<char>((writer == 0 ? 'a' : 'A') + round % 26));
}

bool IsWhole(const std::string& value) {
    if (value.size() < 3000 || (value.size() - 3000) % 7 != 0) return false;
    const int round = static_cast<int>(value.size() - 3000) / 7;
    return value == ValueOf(0, round) || value == ValueOf(1, round);
}

std::string Key(int key) {
    return "Key" + std::to_string(key);
}

// Runs `work(i)` in `count` processes at once, each with a connection of its
// own; the test fails for each that does not exit 0. `work` gives the exit
// status, an exception 1.
void InProcesses(int count, const std::function<int(int)>& work) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int status = 1;
            try {
                status = work(i);
            } catch (...) {
            }
            _exit(status);
        }
        children.push_back(pid);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "process " << child << (WEXITSTATUS(status) == 2 ? " read a torn value" : " failed");
    }
}

TEST(RegistryConcurrencyTest, TwoProcessesOnTheSameKeysKeepEveryValueWhole) {
    TempFolder folder;
    const std::string path = folder.File("registry.db");  // made by whichever comes first
    // Each writes every key each round and reads the others back.
    InProcesses(2, [&](int writer) {
        Registry registry(path);
        for (int round = 0; round < kRounds; ++round) {
            for (int key = 0; key < kKeys; ++key) {
                registry.SaveSetting("Postwarden", "Postwarden", Key(key), ValueOf(writer, round));
                const std::string other =
                    registry.GetSetting("Postwarden", "Postwarden", Key((key + 1) % kKeys), "");
                if (!other.empty() && !IsWhole(other)) return 2;
            }
            registry.SaveSetting("Postwarden", "Postwarden", "Last" + std::to_string(writer),
                                 std::to_string(round));
        }
        return 0;
    });

    Registry registry(path);
    for (int key = 0; key < kKeys; ++key) {
        const std::string value = registry.GetSetting("Postwarden", "Postwarden", Key(key), "");
        // Both wrote their last round last: the survivor is one of those.
        EXPECT_TRUE(value == ValueOf(0, kRounds - 1) || value == ValueOf(1, kRounds - 1))
            << Key(key) << " holds " << value.size() << " bytes";
    }
    // No write was lost.
    for (const char* last : {"Last0", "Last1"}) {
        EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", last, ""),
                  std::to_string(kRounds - 1));
    }
}

TEST(RegistryConcurrencyTest, ProcessesCreatingTheSameNewFileAllSucceed) {
    // The first use of a new file makes its schema and turns it to WAL; several
    // processes doing that at once must neither refuse the file as foreign nor
    // give up on the lock.
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        TempFolder folder;
        const std::string path = folder.File("registry.db");
        InProcesses(3, [&](int i) {
            Registry(path).SaveSetting("Postwarden", "Postwarden", Key(i), "v");
            return 0;
        });
        Registry registry(path);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", Key(i), ""), "v");
        }
    }
}

}  // namespace
}  // namespace postwarden
