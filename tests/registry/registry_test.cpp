#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "module/RuntimeError.h"
#include "tests/FileModes.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

using testing::ModeOf;
using testing::ReadFile;
using testing::TempFolder;
using testing::Umask;
using testing::WriteFile;

constexpr const char* kMail = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";
constexpr uint32_t kHiveLocalMachine = 0x80000002u;

TEST(RegistryTest, ReadsOfAMissingFileAnswerEmptyAndCreateNothing) {
    TempFolder folder;
    Registry registry(folder.File("registry.db"));
    EXPECT_EQ(registry.GetSetting("App", "Section", "Key", "fallback"), "fallback");
    EXPECT_TRUE(registry.GetAllSettings("App", "Section").empty());
    EXPECT_FALSE(registry.DeleteSetting("App", "Section", "Key"));
    EXPECT_EQ(registry.NewAccess()->OpenKey(kMail, kHiveCurrentUser, 63), 2);
    EXPECT_FALSE(std::filesystem::exists(folder.File("registry.db")));

    registry.SaveSetting("App", "Section", "Key", "v");
    EXPECT_TRUE(std::filesystem::exists(folder.File("registry.db")));
    EXPECT_EQ(registry.GetSetting("App", "Section", "Key", "fallback"), "v");
}

TEST(RegistryTest, SettingsReadBackAsStoredAndSurviveReopening) {
    TempFolder folder;
    const std::string big(100000, 'x');
    const std::string odd("a\r\nb\0c\t\xC3\xA4", 10);
    {
        Registry registry(folder.File("registry.db"));
        registry.SaveSetting("Postwarden", "Postwarden", "Empty", "");
        registry.SaveSetting("Postwarden", "Postwarden", "Big", big);
        registry.SaveSetting("Postwarden", "Postwarden", "Odd", odd);
        registry.SaveSetting("Postwarden", "Postwarden", "Over", "first");
        registry.SaveSetting("Postwarden", "Postwarden", "Over", "second");
        registry.SaveSetting("Other", "Postwarden", "Empty", "other app");
    }
    Registry registry(folder.File("registry.db"));
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Empty", "default"), "");
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Big", ""), big);
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Odd", ""), odd);
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Over", ""), "second");
    EXPECT_EQ(registry.GetSetting("Postwarden", "Other", "Empty", "none"), "none");
    const auto all = registry.GetAllSettings("Postwarden", "Postwarden");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].first, "Big");
    EXPECT_EQ(all[3].first, "Over");
}

TEST(RegistryTest, KeyPathsAndValueNamesIgnoreCase) {
    TempFolder folder;
    Registry registry(folder.File("registry.db"));
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

TEST(RegistryTest, RegistryAccessOpensKeysAndReadsNumbers) {
    TempFolder folder;
    Registry registry(folder.File("registry.db"));
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
TEST(RegistryTest, AFileThatIsNoRegistryFailsEachOperationNamingTheFile) {
    TempFolder folder;
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
        Registry registry(c.path);  // constructing touches nothing
        const auto expectFailure = [&](const char* what, auto&& operation) {
            try {
                operation();
                ADD_FAILURE() << what << " succeeded";
            } catch (const RuntimeError& e) {
                EXPECT_NE(e.Description().find(c.path), std::string::npos) << e.Description();
                EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
            }
        };
        expectFailure("SaveSetting", [&] { registry.SaveSetting("a", "b", "c", "d"); });
        if (c.bytes.empty()) {
            // Nothing there: a read finds nothing.
            EXPECT_EQ(registry.GetSetting("a", "b", "c", "default"), "default");
            continue;
        }
        expectFailure("GetSetting", [&] { registry.GetSetting("a", "b", "c", ""); });
        expectFailure("GetAllSettings", [&] { registry.GetAllSettings("a", "b"); });
        expectFailure("OpenKey",
                      [&] { registry.NewAccess()->OpenKey(kMail, kHiveCurrentUser, 63); });
        EXPECT_TRUE(ReadFile(c.path) == c.bytes) << "the file was changed";

        // Once the file is put right, the same object works again.
        std::remove(c.path.c_str());
        registry.SaveSetting("a", "b", "c", "d");
        EXPECT_EQ(registry.GetSetting("a", "b", "c", ""), "d");
    }
}

TEST(RegistryTest, ANewDatabaseIsTheOwnersOnlyAndAnExistingOneKeepsItsMode) {
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
