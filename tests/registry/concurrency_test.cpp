#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/registry/Registry.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

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

// Runs in a child process: writes every key each round and reads the others
// back. Exit status 0 when every operation succeeded and every read was whole.
[[noreturn]] void Hammer(const std::string& path, int writer) {
    int status = 0;
    try {
        Registry registry(path);  // a connection of this process's own
        for (int round = 0; round < kRounds && status == 0; ++round) {
            for (int key = 0; key < kKeys; ++key) {
                registry.SaveSetting("Postwarden", "Postwarden", "Key" + std::to_string(key),
                                     ValueOf(writer, round));
                const std::string other = registry.GetSetting(
                    "Postwarden", "Postwarden", "Key" + std::to_string((key + 1) % kKeys), "");
                if (!other.empty() && !IsWhole(other)) status = 2;
            }
            registry.SaveSetting("Postwarden", "Postwarden", "Last" + std::to_string(writer),
                                 std::to_string(round));
        }
    } catch (...) {
        status = 1;
    }
    _exit(status);
}

TEST(RegistryConcurrencyTest, TwoProcessesOnTheSameKeysKeepEveryValueWhole) {
    testing::TempFolder folder;
    const std::string path =
        folder.File("registry.db");  // created by whichever process comes first

    pid_t children[2];
    for (int writer = 0; writer < 2; ++writer) {
        children[writer] = fork();
        ASSERT_GE(children[writer], 0);
        if (children[writer] == 0) Hammer(path, writer);
    }
    for (int writer = 0; writer < 2; ++writer) {
        int status = 0;
        ASSERT_EQ(waitpid(children[writer], &status, 0), children[writer]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "writer " << writer
            << (WEXITSTATUS(status) == 2 ? " read a torn value" : " failed on the store");
    }

    Registry registry(path);
    for (int key = 0; key < kKeys; ++key) {
        const std::string value =
            registry.GetSetting("Postwarden", "Postwarden", "Key" + std::to_string(key), "");
        EXPECT_TRUE(IsWhole(value)) << "Key" << key << " holds " << value.size() << " bytes";
        // Both wrote their last round last: the survivor is one of those.
        EXPECT_TRUE(value == ValueOf(0, kRounds - 1) || value == ValueOf(1, kRounds - 1));
    }
    // No write was lost.
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Last0", ""),
              std::to_string(kRounds - 1));
    EXPECT_EQ(registry.GetSetting("Postwarden", "Postwarden", "Last1", ""),
              std::to_string(kRounds - 1));
}

TEST(RegistryConcurrencyTest, ProcessesCreatingTheSameNewFileAllSucceed) {
    // The first use of a new file makes its schema and turns it to WAL; several
    // processes doing that at once must neither refuse the file as foreign nor
    // give up on the lock.
    for (int round = 0; round < 60; ++round) {
        testing::TempFolder folder;
        const std::string path = folder.File("registry.db");
        pid_t children[3];
        for (int i = 0; i < 3; ++i) {
            children[i] = fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                int status = 0;
                try {
                    Registry registry(path);
                    registry.SaveSetting("Postwarden", "Postwarden", "Key" + std::to_string(i),
                                         "v");
                } catch (...) {
                    status = 1;
                }
                _exit(status);
            }
        }
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        Registry registry(path);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(
                registry.GetSetting("Postwarden", "Postwarden", "Key" + std::to_string(i), ""),
                "v");
        }
    }
}

}  // namespace
}  // namespace postwarden
