// `postwarden audit` over a Maildir of 10,000 typical sent messages (10
// recipients, 50 KB of HTML; some to an outside domain, some with a keyword):
// the whole audit with a worker per core, and with one worker.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/audit/Audit.h"
#include "host/audit/AuditSources.h"
#include "module/SettingKeys.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"

namespace {

namespace fs = std::filesystem;
using namespace postwarden;

constexpr int kMessages = 10'000;

struct Corpus {
    fs::path dir;
    std::string registry;
    std::string maildir;
    ~Corpus() { fs::remove_all(dir); }
};

// Rules as an organisation might have them: 100 keywords, 20 domains of its
// own and 20 watched ones, every rule but the question before every send on.
void StoreSettings(const std::string& path) {
    Registry registry(path);
    std::string keywords, domains, watched;
    for (int i = 0; i < 100; ++i) keywords += "keyword" + std::to_string(i) + "\r\n";
    keywords += "projectx";
    for (int i = 0; i < 20; ++i) {
        domains += "dept" + std::to_string(i) + ".corp.example\r\n";
        watched += "rival" + std::to_string(i) + ".example\r\n";
    }
    domains += "corp.example";
    for (auto [key, value] : std::initializer_list<std::pair<const char*, std::string>>{
             {keys::kPromptForOutsideDomainsWanted, "1"},
             {keys::kListOfOutsideDomains, domains},
             {keys::kPromptForEmailAddressesDomainsWanted, "1"},
             {keys::kListOfEmailAddressesDomains, watched},
             {keys::kPromptForKeywordsWanted, "1"},
             {keys::kListOfKeywords, keywords},
             {keys::kPromptForNumberOfRecipientsWanted, "1"},
             {keys::kMaxNumberOfRecipients, "50"},
             {keys::kPromptForBlankSubjectWanted, "1"},
             {keys::kPromptForAnySendWanted, "0"},
             {keys::kSeparatePromptsWanted, "0"}}) {
        registry.SaveSetting(kSettingsAppName, kSettingsSection, key, value);
    }
}

// Every 7th message goes to an outside domain as well, every 10th names the
// keyword in its body.
std::string TypicalMessage(int n) {
    std::string m = "From: Me <me@corp.example>\r\nTo: ";
    for (int i = 0; i < 10; ++i) {
        const bool outside = i == 9 && n % 7 == 0;
        m += (i ? ",\r\n " : "") + std::string("Person ") + std::to_string(i) + " <person" +
             std::to_string(i) + (outside ? "@partner.example>" : "@corp.example>");
    }
    m += "\r\nSubject: Weekly report " + std::to_string(n) +
         "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
    const std::string paragraph =
        "<p>The quarterly figures for the northern region are attached; please review "
        "them before the meeting on <b>Thursday</b>.</p>\r\n";
    while (m.size() < 50 * 1024) m += paragraph;
    if (n % 10 == 0) m += "<p>About projectx, as discussed.</p>\r\n";
    return m + "</body></html>\r\n";
}

// Processor time of every thread of the process so far, in seconds: on a
// machine shared with others, what the audit costs whatever else runs.
double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

const Corpus& TheCorpus() {
    static const Corpus corpus = [] {
        Corpus c;
        c.dir = fs::temp_directory_path() / ("pw-bench-audit-" + std::to_string(getpid()));
        fs::remove_all(c.dir);
        c.registry = (c.dir / "registry.db").string();
        c.maildir = (c.dir / "Sent").string();
        for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(c.dir / "Sent" / sub);
        StoreSettings(c.registry);
        for (int n = 0; n < kMessages; ++n) {
            std::ofstream(
                c.dir / "Sent" / "cur" / (std::to_string(1700000000 + n) + ".M1P1.bench:2,S"),
                std::ios::binary)
                << TypicalMessage(n);
        }
        return c;
    }();
    return corpus;
}

void BM_AuditTypicalMaildir(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    host::AuditSetup setup;
    setup.modulePath = POSTWARDEN_BINARY_DIR "/libpostwarden-module.so";
    setup.registryPath = corpus.registry;
    setup.mailStore = (corpus.dir / "store").string();
    setup.rules = host::DefaultAuditRules();
    setup.workers = static_cast<unsigned>(state.range(0));
    size_t stopped = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const host::AuditSources sources = host::ListSources({corpus.maildir});
        host::AuditReport report;
        std::string error;
        if (host::AuditMessages(setup, sources, report, error) != 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        if (report.messages != kMessages || !report.malformed.empty() ||
            !report.unchecked.empty()) {
            state.SkipWithError("not every message was checked");
            break;
        }
        stopped = report.stopped.size();
        cpu += ProcessCpuSeconds() - cpuBefore;
    }
    // Of all threads, per audit.
    state.counters["cpu_s"] = cpu / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["stopped"] = static_cast<double>(stopped);
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(kMessages) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
// 0: a worker per core, as the command runs.
BENCHMARK(BM_AuditTypicalMaildir)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
