// The milter's own texts and its resend approvals in a real registry file: the
// refusal line a sender's client shows, and how often a refused message may go.
// The milter behind a real Postfix is tests/milter/milter_test.py.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/ModuleLoader.h"
#include "host/milter/MessageChecker.h"
#include "host/milter/MilterApprovals.h"
#include "host/send/ClientObjects.h"
#include "module/IModuleAPI.h"
#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

namespace postwarden::testing {
namespace {

using host::kMaxReplyText;
using host::kNoResendHint;
using host::kResendHint;
using host::RefusalLine;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct LineCase {
    std::vector<std::string> fired;
    std::vector<std::string> evidence;
    std::string expected;
};

TEST(RefusalLineTest, SaysWhatFiredAndWhyInPrintableAscii) {
    const std::string start = "Postwarden: not sent: ";
    const std::string end(kResendHint);
    const LineCase cases[] = {
        {{"Outside Domains"},
         {"outside recipients: dave@other.example"},
         start +
             "recipients outside the company's domains (outside recipients: "
             "dave@other.example)" +
             end},
        {{"Outside Domains", "Keywords"},
         {"a", "b"},
         start + "recipients outside the company's domains and watch-listed keywords (a; b)" + end},
        {{}, {}, start + "a rule" + end},
        // What a client would take as a format, a line end or a byte of no
        // charset stays out of the reply.
        {{"Keywords"}, {"100% sure"}, start + "watch-listed keywords (100%% sure)" + end},
        {{"Keywords"}, {"a\r\n550 b"}, start + "watch-listed keywords (a\\x0D\\x0A550 b)" + end},
        {{"Keywords"},
         {"Zo\xC3\xAB \\"},
         start + "watch-listed keywords (Zo\\xC3\\xAB \\\\)" + end},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(RefusalLine(c.fired, c.evidence), c.expected);
    }
}

TEST(RefusalLineTest, LongEvidenceIsCutAndTheHintStays) {
    const std::string long_(2000, 'x');
    for (const std::string& evidence : {long_, std::string(1000, '\x01'), std::string(500, '%')}) {
        const std::string line = RefusalLine({"Keywords"}, {evidence});
        EXPECT_LE(line.size(), kMaxReplyText);
        EXPECT_TRUE(line.ends_with(std::string("...") + std::string(kResendHint))) << line;
        // Never half an escape: every '%' doubled, every '\' starts a whole one.
        const std::string kept = line.substr(0, line.find("..."));
        const size_t percents = kept.size() - kept.find_last_not_of('%') - 1;
        EXPECT_EQ(percents % 2, 0u) << line;
        EXPECT_FALSE(kept.ends_with("\\") || kept.ends_with("\\x")) << line;
        const size_t escape = kept.rfind("\\x");
        if (escape != std::string::npos) {
            EXPECT_LE(escape + 4, kept.size()) << line;
        }
        for (const char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7f);
    }
}

TEST(RefusalLineTest, NoResendPromisedWhenTheApprovalWasNotKept) {
    const std::string line = RefusalLine({"Keywords"}, {"secret"}, false);
    EXPECT_TRUE(line.ends_with(kNoResendHint)) << line;
    EXPECT_EQ(line.find("within 10 minutes"), std::string::npos);
}

TEST(ApprovalOwnerTest, TheLoginElseTheEnvelopeSenderWithoutCase) {
    EXPECT_EQ(host::ApprovalOwner({"Alice@Corp.Example", "", "", {}}), "alice@corp.example");
    EXPECT_EQ(host::ApprovalOwner({"alice@corp.example", "Bob", "", {}}), "bob");
    EXPECT_EQ(host::ApprovalOwner({"", "", "", {}}), "");
}

class LocalApprovalsTest : public ::testing::Test {
  protected:
    TempFolder dir_;
    std::unique_ptr<host::MilterApprovals> approvals_ =
        host::LocalApprovals(dir_.Path() + "/registry.db");
    const std::vector<std::string> outside_ = {"Outside Domains"};
    static constexpr int64_t kAt = 1'800'000'000;
};

TEST_F(LocalApprovalsTest, ARefusedMessageGoesOnceWithinTheWindow) {
    EXPECT_FALSE(approvals_->Take("m alice", outside_, kAt));
    approvals_->Offer("m alice", outside_, kAt);
    EXPECT_FALSE(approvals_->Take("m bob", outside_, kAt + 1));
    EXPECT_FALSE(approvals_->Take("other alice", outside_, kAt + 1));
    EXPECT_TRUE(approvals_->Take("m alice", outside_, kAt + 600));
    EXPECT_FALSE(approvals_->Take("m alice", outside_, kAt + 601));
}

TEST_F(LocalApprovalsTest, ARefusalAfterTheTakenApprovalOffersNoOtherInItsWindow) {
    approvals_->Offer("m", outside_, kAt);
    ASSERT_TRUE(approvals_->Take("m", outside_, kAt + 10));
    approvals_->Offer("m", outside_, kAt + 20);
    EXPECT_FALSE(approvals_->Take("m", outside_, kAt + 30));
    // Once that window is over, a refusal offers one again.
    approvals_->Offer("m", outside_, kAt + 700);
    EXPECT_TRUE(approvals_->Take("m", outside_, kAt + 710));
}

TEST_F(LocalApprovalsTest, ExpiredOrNarrowerApprovalsDoNotCount) {
    approvals_->Offer("late", outside_, kAt);
    EXPECT_FALSE(approvals_->Take("late", outside_, kAt + 601));
    approvals_->Offer("narrow", outside_, kAt);
    EXPECT_FALSE(approvals_->Take("narrow", {"Outside Domains", "Keywords"}, kAt + 1));
    approvals_->Offer("future", outside_, kAt);
    EXPECT_FALSE(approvals_->Take("future", outside_, kAt - 1));
}

// A check that fails lets the message go, or defers it under tempfail, and
// says why in the log; the worker it could not make is tried again next time.
TEST(MessageCheckerTest, AFailedCheckAcceptsOrDefersAsConfigured) {
    host::ModuleLibrary library(std::string(POSTWARDEN_BINARY_DIR) + "/libpostwarden-module.so");
    ASSERT_TRUE(library.Loaded()) << library.Error();
    for (const bool tempfail : {false, true}) {
        TempFolder home;
        host::MilterSetup setup;
        setup.home = home.Path();
        setup.mailStore = home.Path() + "/mail";
        setup.tempfailOnFailure = tempfail;
        setup.workers = 1;
        setup.approvals = []() -> std::unique_ptr<host::MilterApprovals> {
            throw RuntimeError(0, "the approvals are away");
        };
        host::MessageChecker checker(library, setup);
        const host::Envelope envelope{"alice@corp.example", "", "4XY", {"bob@corp.example"}};
        for (int i = 0; i < 2; ++i) {
            const host::MilterVerdict verdict =
                checker.Check(envelope, "Subject: hi\r\n\r\nhello\r\n", 1'800'000'000);
            EXPECT_EQ(verdict.outcome, host::MilterOutcome::kUnchecked);
            EXPECT_EQ(verdict.tempfail, tempfail);
            EXPECT_EQ(verdict.problem, "the approvals are away");
            EXPECT_TRUE(verdict.reply.empty());
        }
        const std::string log = ReadFile(home.Path() + "/postwarden.log");
        const std::string said = std::string(tempfail ? "deferred" : "accepted") +
                                 " without a check (the approvals are away)";
        EXPECT_NE(log.find("Send: " + said + "; rules fired: none; recipients: 1;"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("; queue ID: 4XY"), std::string::npos) << log;
    }
}

TEST(SharedRefreshTest, AServerFollowsWhatWasAskedSinceItLastLooked) {
    EXPECT_FALSE(host::FollowsAskedRefresh(3, 3));
    EXPECT_TRUE(host::FollowsAskedRefresh(3, 4));
    // A database made again from nothing starts its count afresh: a change.
    EXPECT_TRUE(host::FollowsAskedRefresh(3, 0));
    // First read only after the start: whatever was asked may have been
    // missed, but a count never raised asked nothing.
    EXPECT_TRUE(host::FollowsAskedRefresh(-1, 2));
    EXPECT_FALSE(host::FollowsAskedRefresh(-1, 0));
}

// A module whose first window fails to open, as one whose central source
// throws there.
class OpenFails final : public IModuleAPI {
  public:
    std::string RegistryName() override { return "test"; }
    std::string FriendlyName() override { return "test"; }
    int32_t YSStartup(std::shared_ptr<Engine>& engine) override {
        started = engine != nullptr;
        return 0;
    }
    int32_t YSShutdown() override { return 0; }
    std::string YSSendMessage(std::string&) override { return {}; }
    int32_t YSExplorerOpen(HostWindow*) override {
        opened = true;
        throw RuntimeError(0, "the central source is away");
    }
    int32_t YSExplorerClose(HostWindow*) override { return 0; }
    int32_t YSExplorerActivate(HostWindow*) override { return 0; }
    int32_t YSExplorerDeactivate(HostWindow*) override { return 0; }
    int32_t YSInspectorOpen(HostWindow*) override { return 0; }
    int32_t YSInspectorClose(HostWindow*) override { return 0; }
    int32_t YSInspectorActivate(HostWindow*) override { return 0; }
    int32_t YSInspectorDeactivate(HostWindow*) override { return 0; }
    int32_t YSButtonAction(int32_t&, bool&) override { return 0; }
    int32_t YSMenuAction(int32_t&, bool&) override { return 0; }
    int32_t YSHotkeyAction(int32_t&) override { return 0; }
    int32_t YSItemEvent(int32_t&, std::shared_ptr<OutlookItem>&, bool&, std::string&,
                        std::string&) override {
        return 0;
    }
    std::string Version() override { return "0"; }

    bool started = false;
    bool opened = false;
};

TEST(StartAsMailClientTest, AFirstWindowThatFailsToOpenIsNoFailedStart) {
    // The audit's and the milter's workers go on to check with the settings
    // as stored; a start that threw would leave every message unchecked.
    TempFolder store;
    OpenFails module;
    EXPECT_NO_THROW(host::StartAsMailClient(
        module, std::make_shared<host::MailClientApplication>(store.Path())));
    EXPECT_TRUE(module.started);
    EXPECT_TRUE(module.opened);
}

TEST(PostgresApprovalsTest, ADatabaseThatCannotBeReachedIsAnError) {
    EXPECT_ANY_THROW(host::PostgresApprovals("postgresql://nobody@127.0.0.1:1/none"));
}

}  // namespace
}  // namespace postwarden::testing
