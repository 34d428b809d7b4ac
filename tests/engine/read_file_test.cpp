#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/LinuxPlatform.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

class ReadWholeFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fifo_ = folder_.File("pipe");
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    }
    testing::TempFolder folder_;
    std::string fifo_;
};

TEST_F(ReadWholeFileTest, ANamedPipeNobodyWritesToReadsAsEmptyInsteadOfWaiting) {
    // In a child, so a read that waits for ever ends the test instead of hanging it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(ReadWholeFile(fifo_).empty() ? 0 : 1);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "reading the pipe waited for a writer";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace postwarden
