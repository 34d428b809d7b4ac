// The recipient history at the size years of mail give it: what a send's check
// asks of a history of 100,000 addresses (opening it, the count of sends, ten
// recipients and their domains looked up, ten domains searched for
// look-alikes and each found one confirmed), what recording the send adds, and
// `history import` of a Maildir of 10,000 sent messages.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/settings/HistoryImport.h"
#include "platform/LinuxPlatform.h"
#include "platform/history/RecipientHistory.h"
#include "platform/windows/NoWindowSystem.h"
#include "util/LookAlike.h"

namespace {

namespace fs = std::filesystem;
using namespace postwarden;

constexpr int kAddresses = 100'000;
constexpr int kDomains = 20'000;
constexpr int kMessages = 10'000;

class Folder {
  public:
    Folder() : path_(fs::temp_directory_path() / ("pw-history-bench-" + std::to_string(getpid()))) {
        fs::create_directories(path_);
    }
    ~Folder() { fs::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

// A made-up organisation's domain: eight letters picked by a hash of `i`, so
// that, as with real names, hardly two are one slip apart.
std::string Domain(int i) {
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u + 12345u;
    std::string name;
    for (int n = 0; n < 8; ++n) {
        x = x * 1103515245u + 12345u;
        name += static_cast<char>('a' + (x >> 16) % 26);
    }
    return name + ".example";
}

// `domain` with its second and third letters swapped.
std::string Slip(std::string domain) {
    std::swap(domain[1], domain[2]);
    return domain;
}

// 100,000 addresses, five to a domain, each domain written to in two sends or
// more, so every domain is filed for the look-alike search.
const std::string& LargeHistory() {
    static Folder folder;
    static const std::string path = [] {
        const std::string file = folder.File("history.db");
        RecipientHistory history(file);
        std::vector<RecipientHistory::Send> sends;
        for (int i = 0; i < kAddresses; i += 5) {
            const std::string domain = Domain(i / 5 % kDomains);
            for (int half = 0; half < 2; ++half) {
                RecipientHistory::Send send;
                send.when = 1'700'000'000 + i;
                for (int j = 0; j < 5; ++j) {
                    send.addresses.push_back("person" + std::to_string(i + j) + "@" + domain);
                }
                sends.push_back(std::move(send));
            }
        }
        history.Record(sends);
        return file;
    }();
    return path;
}

// A send to ten recipients: five known, three new at domains written to
// before, one at a domain never written to, and one at a look-alike of a
// familiar domain.
std::vector<std::string> Recipients() {
    std::vector<std::string> addresses;
    for (int i = 0; i < 5; ++i) {
        addresses.push_back("person" + std::to_string(i * 7) + "@" + Domain(i * 7 / 5));
    }
    for (int i = 0; i < 3; ++i)
        addresses.push_back("new" + std::to_string(i) + "@" + Domain(900 + i));
    addresses.push_back("ann@" + Domain(kDomains + 1));
    addresses.push_back("bob@" + Slip(Domain(77)));
    return addresses;
}

// What a send's check asks: the sends recorded, each recipient and each
// domain, and the look-alikes of the domains never written to
// (`state.range(0)` 0), or of every domain (1), each confirmed; then, as the
// send leaves, its recipients recorded on the same connection.
void BM_CheckAsksTheHistory(benchmark::State& state) {
    const std::string& path = LargeHistory();
    const std::vector<std::string> addresses = Recipients();
    std::vector<std::string> domains;
    for (const std::string& address : addresses) {
        domains.push_back(address.substr(address.find('@') + 1));
    }
    const bool everyDomain = state.range(0) != 0;
    const bool record = state.range(1) != 0;
    size_t lookAlikes = 0;
    int64_t when = 1'800'000'000;
    for (auto _ : state) {
        // As a send does: a platform of its own, the file opened on first use.
        LinuxPlatform platform({"", "", ""}, std::make_unique<NoWindowSystem>());
        platform.KeepHistoryIn(path);
        benchmark::DoNotOptimize(platform.RecordedSends());
        benchmark::DoNotOptimize(platform.KnownRecipients(addresses));
        const std::vector<bool> known = platform.KnownDomains(domains);
        lookAlikes = 0;
        for (size_t i = 0; i < domains.size(); ++i) {
            if (known[i] && !everyDomain) continue;
            for (const std::string& familiar : platform.FamiliarDomainsLike(domains[i])) {
                lookAlikes += LooksLike(domains[i], familiar);
            }
        }
        if (record) platform.History()->Record({{addresses, ++when, ""}});
    }
    state.counters["look-alikes"] = static_cast<double>(lookAlikes);
}
BENCHMARK(BM_CheckAsksTheHistory)
    ->ArgNames({"every-domain", "record"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

void BM_RecordASend(benchmark::State& state) {
    const std::string& path = LargeHistory();
    const std::vector<std::string> addresses = Recipients();
    int64_t when = 1'800'000'000;
    for (auto _ : state) {
        RecipientHistory history(path);
        history.Record({{addresses, ++when, ""}});
    }
}
BENCHMARK(BM_RecordASend)->Unit(benchmark::kMillisecond);

// A Sent folder of 10,000 messages of five recipients each, over 2,000
// domains, each message with a Message-ID and a Date.
void BM_ImportMaildir(benchmark::State& state) {
    Folder folder;
    const std::string maildir = folder.File("Sent");
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir + "/" + sub);
    const std::string body(2000, 'x');
    for (int i = 0; i < kMessages; ++i) {
        std::ofstream out(maildir + "/cur/" + std::to_string(1'600'000'000 + i) +
                          ".M1P1.bench:2,S");
        out << "From: Me <me@corp.example>\r\nTo: Ann <ann" << i % 3000 << "@" << Domain(i % 2000)
            << ">, bob" << i % 500 << "@" << Domain((i + 1) % 2000) << "\r\nCc: c" << i
            << "@corp.example, d@" << Domain(i % 7) << "\r\nBcc: e" << i % 40
            << "@partner.example\r\nSubject: Report " << i
            << "\r\nDate: Tue, 14 Nov 2023 22:13:20 +0100\r\nMessage-ID: <" << i
            << "@corp.example>\r\n\r\n"
            << body << "\r\n";
    }
    for (auto _ : state) {
        const std::string history = folder.File("history.db");
        fs::remove(history);
        const host::HistoryImportReport report = host::ImportHistory(history, {maildir}, 0);
        if (report.recorded != static_cast<size_t>(kMessages))
            state.SkipWithError("not all recorded");
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_ImportMaildir)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
