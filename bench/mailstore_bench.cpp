// Reading the two largest messages the store must cope with: one addressed to
// 10,000 recipients and one with a 25 MB body, each opened through a session
// object as the send check does (entry identifier, subject, body, recipients).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "tests/TempFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace postwarden;

class BenchStore {
  public:
    BenchStore() {
        std::ofstream(root_ + "/distribution-lists") << "list@corp.example: a@corp.example\n";
        manyRecipients_ = Deliver(ManyRecipients());
        largeBody_ = Deliver(LargeBody());
    }
    const std::string& Root() const { return root_; }
    const std::string& ManyRecipientsId() const { return manyRecipients_; }
    const std::string& LargeBodyId() const { return largeBody_; }

  private:
    std::string Deliver(const std::string& bytes) {
        return mailstore::DeliverMessage(DraftsFolderOf(root_), bytes, "DS");
    }

    // 10,000 mailboxes over To, Cc and Bcc, with encoded display names, folded.
    static std::string ManyRecipients() {
        std::string message = "From: Ann <ann@corp.example>\nSubject: Everyone\n";
        const char* fields[] = {"To", "Cc", "Bcc"};
        for (int field = 0, n = 0; field < 3; ++field) {
            message += std::string(fields[field]) + ": ";
            const int end = field == 2 ? 10000 : (field + 1) * 3333;
            for (; n < end; ++n) {
                message += "=?utf-8?q?J=C3=B6rg_" + std::to_string(n) + "?= <user" +
                           std::to_string(n) + "@corp.example>";
                message += n + 1 < end ? ",\n " : "\n";
            }
        }
        return message + "\nHello all.\n";
    }

    // 25 MB of quoted-printable Latin-1 text.
    static std::string LargeBody() {
        std::string message =
            "From: Ann <ann@corp.example>\nTo: bob@corp.example\nSubject: Large\n"
            "MIME-Version: 1.0\nContent-Type: text/plain; charset=iso-8859-1\n"
            "Content-Transfer-Encoding: quoted-printable\n\n";
        const std::string line = "K=F6ln caf=E9 confidential numbers 0123456789 lorem ipsum=\n";
        while (message.size() < 25u * 1024 * 1024) message += line;
        return message + "end\n";
    }

    postwarden::testing::TempFolder folder_;
    const std::string& root_ = folder_.Path();
    std::string manyRecipients_;
    std::string largeBody_;
};

BenchStore& Store() {
    static BenchStore store;
    return store;
}

std::shared_ptr<MapiMessage> Open(const std::string& id) {
    auto session = CreateMaildirSession(Store().Root());
    session->Logon();
    return session->GetMessageFromID(id);
}

void BM_TenThousandRecipients(benchmark::State& state) {
    for (auto _ : state) {
        auto message = Open(Store().ManyRecipientsId());
        auto recipients = message->Recipients();
        int64_t members = 0;
        for (int32_t i = 1; i <= recipients->Count(); ++i) {
            auto entry = recipients->Item(i)->AddressEntry();
            if (entry->Members()) ++members;
            benchmark::DoNotOptimize(entry->Address());
        }
        if (recipients->Count() != 10000) state.SkipWithError("wrong recipient count");
        benchmark::DoNotOptimize(members);
    }
}
BENCHMARK(BM_TenThousandRecipients)->Unit(benchmark::kMillisecond);

void BM_TwentyFiveMegabyteBody(benchmark::State& state) {
    for (auto _ : state) {
        auto message = Open(Store().LargeBodyId());
        const std::string body(message->Body());
        if (body.size() < 20u * 1024 * 1024) state.SkipWithError("body too short");
        benchmark::DoNotOptimize(message->Subject());
    }
}
BENCHMARK(BM_TwentyFiveMegabyteBody)->Unit(benchmark::kMillisecond);

// What the mail client item pays for its subject: the header block only.
void BM_SubjectOfTwentyFiveMegabyteMessage(benchmark::State& state) {
    std::ifstream in(mailstore::FindMessage(DraftsFolderOf(Store().Root()), Store().LargeBodyId()),
                     std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto _ : state) benchmark::DoNotOptimize(mailstore::ParseSubject(bytes));
}
BENCHMARK(BM_SubjectOfTwentyFiveMegabyteMessage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
