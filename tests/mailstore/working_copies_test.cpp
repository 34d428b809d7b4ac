// Working copies (the host's drafts of the message being sent): the copies of
// ended processes are cleaned away, everything else stays.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/UniqueFd.h"
#include "platform/mailstore/Maildir.h"
#include "tests/mailstore/StoreFixture.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

// A child process that delivers a working copy into `folder`, tells its unique
// name, and runs until End() kills it (or this object goes).
class CopyOwner {
  public:
    explicit CopyOwner(const std::string& folder) {
        int names[2];
        if (::pipe(names) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(names[0]);
            try {
                const std::string name =
                    mailstore::DeliverWorkingCopy(folder, "Subject: x\n\nx\n", "DS");
                (void)!::write(names[1], name.data(), name.size());
            } catch (...) {
                ::_exit(1);
            }
            ::close(names[1]);
            for (;;) ::pause();
        }
        ::close(names[1]);
        const UniqueFd in(names[0]);
        char buffer[256];
        for (ssize_t n; (n = ::read(in.Get(), buffer, sizeof buffer)) > 0;) {
            name_.append(buffer, static_cast<size_t>(n));
        }
    }
    ~CopyOwner() { End(); }
    CopyOwner(const CopyOwner&) = delete;
    CopyOwner& operator=(const CopyOwner&) = delete;

    // Kills the process, as a send killed half-way is, and waits until it is gone.
    void End() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ended_ = pid_;
        pid_ = -1;
    }
    const std::string& Name() const { return name_; }
    // The id the process had, once it has ended.
    pid_t EndedPid() const { return ended_; }

  private:
    pid_t pid_ = -1;
    pid_t ended_ = -1;
    std::string name_;
};

class WorkingCopiesTest : public ::testing::Test {
  protected:
    bool Present(const std::string& uniqueName) const {
        for (const char* sub : {"cur", "new", "tmp"}) {
            for (const auto& entry : fs::directory_iterator(drafts + "/" + sub)) {
                if (mailstore::UniqueNameOf(entry.path().filename().string()) == uniqueName) {
                    return true;
                }
            }
        }
        return false;
    }
    void Put(const std::string& sub, const std::string& fileName) {
        std::ofstream(drafts + "/" + sub + "/" + fileName) << "Subject: x\n\nx\n";
    }

    TempFolder temp;
    const std::string drafts = temp.Path() + "/Drafts";
};

TEST_F(WorkingCopiesTest, TheCopiesOfEndedProcessesGoThoseOfRunningOnesStay) {
    CopyOwner killed(drafts), running(drafts);
    ASSERT_TRUE(mailstore::IsWorkingCopy(killed.Name())) << killed.Name();
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "Subject: mine\n\nx\n", "DS");
    const std::string ordinary = mailstore::DeliverMessage(drafts, "Subject: kept\n\nx\n", "DS");
    // What a run killed while it delivered leaves: the file under tmp/ too.
    Put("tmp", killed.Name());
    killed.End();

    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 2u);
    EXPECT_FALSE(Present(killed.Name()));
    EXPECT_TRUE(Present(running.Name())) << "a send going on at the same time keeps its draft";
    EXPECT_TRUE(Present(ours));
    EXPECT_TRUE(Present(ordinary));

    running.End();
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 1u);
    EXPECT_FALSE(Present(running.Name()));
    EXPECT_TRUE(Present(ours));
    EXPECT_EQ(mailstore::ListMessages(drafts).size(), 2u);
}

struct NameCase {
    const char* why;
    std::string name;
    bool workingCopy;
    bool removed;
};

TEST_F(WorkingCopiesTest, OnlyWorkingCopiesOfThisMachineAreTouched) {
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "x", "");
    const std::string host = ours.substr(ours.find('.', ours.find('.') + 1) + 1);
    const std::string me = std::to_string(::getpid());
    CopyOwner ended(drafts);
    ended.End();
    const std::string dead = std::to_string(ended.EndedPid());
    const NameCase cases[] = {
        {"no mark", "1700000000.M1P" + dead + "Q1." + host, false, false},
        {"another program's name", "1700000000.M1P" + dead + "Q1.postwarden_S1." + host, false,
         false},
        {"another machine", "1700000000.M1P" + dead + "Q1_postwarden_S7.other.example", true,
         false},
        {"no start time", "1700000000.M1P" + dead + "Q1_postwarden_S." + host, false, false},
        {"text after the mark", "1700000000.M1P" + dead + "Q1_postwarden_S7x." + host, false,
         false},
        {"no process id", "1700000000.M1PQ1_postwarden_S7." + host, false, false},
        {"an ended process", "1700000000.M1P" + dead + "Q1_postwarden_S7." + host, true, true},
        {"this process id, taken over from an owner that started at another time",
         "1700000000.M1P" + me + "Q1_postwarden_S1." + host, true, true},
    };
    for (const NameCase& c : cases) Put("cur", c.name + ":2,DS");
    mailstore::RemoveAbandonedWorkingCopies(drafts);
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(mailstore::IsWorkingCopy(c.name), c.workingCopy) << c.name;
        EXPECT_EQ(Present(c.name), !c.removed) << c.name;
    }
    EXPECT_TRUE(Present(ours));
}

TEST_F(WorkingCopiesTest, ASendKeepsItsCopyWhileItGrows) {
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "Subject: mine\n\nx\n", "DS");
    // A send takes memory as it goes on; its copy stays its own all the same.
    constexpr size_t kMore = size_t{64} << 20;
    void* more = ::mmap(nullptr, kMore, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(more, MAP_FAILED);
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 0u);
    EXPECT_TRUE(Present(ours));
    ::munmap(more, kMore);
}

TEST_F(WorkingCopiesTest, AMissingFolderHasNothingToRemove) {
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(temp.Path() + "/nowhere"), 0u);
}

}  // namespace
}  // namespace postwarden::testing
