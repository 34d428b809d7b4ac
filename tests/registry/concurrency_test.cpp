#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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
    testing::TempFolder folder;
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
        testing::TempFolder folder;
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
