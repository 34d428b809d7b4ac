// Whole `postwarden check` processes, as a mail client runs them: a typical
// message, and a very large one, each beside a floor measured in the same run
// (cat of the same file); and the peak memory of checks of large messages
// against what they may take (twice the message and 40 MB).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/RunProgram.h"

namespace {

using postwarden::bench::RunProgram;

const std::string kBinary = POSTWARDEN_BINARY_DIR "/postwarden";

// Runs postwarden with `args`, standard input from `inputPath`, output discarded.
int Run(const std::vector<std::string>& args, const std::string& inputPath = "/dev/null",
        struct rusage* usage = nullptr) {
    return RunProgram(kBinary, args, inputPath, usage);
}

struct Scenario {
    std::string home;
    std::string message;
};

// A home with all rules on, `keywords` keywords and `domains` listed domains,
// none of them in the message, and a message to `recipients` people with a
// body of about `bodyBytes` of HTML.
Scenario Prepare(const std::string& name, int keywords, int domains, int recipients,
                 size_t bodyBytes) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("pw-bench-" + name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Scenario s{(dir / "home").string(), (dir / "message.eml").string()};
    auto set = [&](const std::string& key, const std::string& value) {
        Run({"--home", s.home, "settings", "set", key, value});
    };
    std::string keywordList, domainList, watchList;
    for (int i = 0; i < keywords; ++i) keywordList += "keyword" + std::to_string(i) + "\r\n";
    for (int i = 0; i < domains; ++i) {
        domainList += "dept" + std::to_string(i) + ".corp.example\r\n";
        watchList += "rival" + std::to_string(i) + ".example\r\n";
    }
    domainList += "corp.example";
    for (auto [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"PromptForOutsideDomainsWanted", "1"},
             {"ListOfOutsideDomains", domainList},
             {"PromptForEmailAddressesDomainsWanted", "1"},
             {"ListOfEmailAddressesDomains", watchList},
             {"PromptForKeywordsWanted", "1"},
             {"ListOfKeywords", keywordList},
             {"PromptForNumberOfRecipientsWanted", "1"},
             {"MaxNumberOfRecipients", "100000"},
             {"PromptForBlankSubjectWanted", "1"},
             {"PromptForAnySendWanted", "0"},
             {"SeparatePromptsWanted", "1"}}) {
        set(key, value);
    }
    postwarden::bench::WriteTypicalMessage(s.message, recipients, bodyBytes);
    // Seeds nothing (the rules are set), warms the file cache.
    Run({"--home", s.home, "check", "--answers", "yes"}, s.message);
    return s;
}

void BM_CheckTypicalMessage(benchmark::State& state) {
    static const Scenario s = Prepare("typical", 100, 20, 10, 50 * 1024);
    for (auto _ : state) {
        if (Run({"--home", s.home, "check", "--answers", "yes"}, s.message) != 0) {
            state.SkipWithError("check did not let the message go");
        }
    }
}
BENCHMARK(BM_CheckTypicalMessage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->Iterations(20)
    ->ReportAggregatesOnly(true);

// The child's processor time (user and system) in milliseconds: on a machine
// shared with other work, the part of the wall time that is the process's own.
double ChildCpuMs(const struct rusage& usage) {
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void BM_CheckHugeMessage(benchmark::State& state) {
    static const Scenario s = Prepare("huge", 10000, 20, 1000, 25 * 1024 * 1024);
    double cpuMs = 0;
    for (auto _ : state) {
        struct rusage usage {};
        if (Run({"--home", s.home, "check", "--answers", "yes"}, s.message, &usage) != 0) {
            state.SkipWithError("check did not let the message go");
        }
        cpuMs += ChildCpuMs(usage);
    }
    state.counters["child_cpu_ms"] = cpuMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CheckHugeMessage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->Iterations(1)
    ->ReportAggregatesOnly(true);

// The floor of BM_CheckHugeMessage: cat of the same file, as a process.
void BM_CatHugeMessage(benchmark::State& state) {
    static const Scenario s = Prepare("huge", 10000, 20, 1000, 25 * 1024 * 1024);
    double cpuMs = 0;
    for (auto _ : state) {
        struct rusage usage {};
        if (RunProgram("/bin/cat", {s.message}, "/dev/null", &usage) != 0) {
            state.SkipWithError("cat failed");
        }
        cpuMs += ChildCpuMs(usage);
    }
    state.counters["child_cpu_ms"] = cpuMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CatHugeMessage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->Iterations(1)
    ->ReportAggregatesOnly(true);

// A message of about `bytes` as mail clients write a large one: to 1,000
// recipients, a plain-text and an HTML body of the same text, and an attachment
// (base64) of a third of the size; or with an HTML body only.
void WriteLargeMessage(const std::string& path, size_t bytes, bool htmlOnly) {
    std::ofstream out(path, std::ios::binary);
    out << "From: Me <me@corp.example>\r\nTo: ";
    for (int i = 0; i < 1000; ++i) {
        out << (i ? ",\r\n " : "") << "Person " << i << " <person" << i << "@corp.example>";
    }
    const std::string sentence =
        "The quarterly figures for the northern region are attached; please review "
        "them before the meeting on Thursday.";
    out << "\r\nSubject: Weekly report\r\nMIME-Version: 1.0\r\n";
    if (htmlOnly) {
        out << "Content-Type: text/html; charset=utf-8\r\n\r\n";
        for (size_t n = 0; n < bytes; n += sentence.size() + 9)
            out << "<p>" << sentence << "</p>\r\n";
        return;
    }
    out << "Content-Type: multipart/mixed; boundary=\"m\"\r\n\r\n--m\r\n"
           "Content-Type: multipart/alternative; boundary=\"a\"\r\n\r\n"
           "--a\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    const size_t text = bytes / 3;
    for (size_t n = 0; n < text; n += sentence.size() + 2) out << sentence << "\r\n";
    out << "--a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
    for (size_t n = 0; n < text; n += sentence.size() + 9) out << "<p>" << sentence << "</p>\r\n";
    out << "--a--\r\n--m\r\nContent-Type: application/octet-stream\r\n"
           "Content-Disposition: attachment; filename=\"figures.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string line(76, 'Q');
    for (size_t n = 0; n < bytes - 2 * text; n += line.size() + 2) out << line << "\r\n";
    out << "--m--\r\n";
}

// Peak memory of one whole check of a message of state.range(0) MB (shape
// state.range(1): 0 text, HTML and attachment; 1 HTML only), read from the
// child's rusage, beside its allowance of twice the message and 40 MB.
void BM_CheckPeakMemory(benchmark::State& state) {
    const size_t megabytes = static_cast<size_t>(state.range(0));
    const bool htmlOnly = state.range(1) == 1;
    const Scenario s = Prepare("peak", 10000, 20, 0, 0);
    const std::string message = s.message + ".large";
    WriteLargeMessage(message, megabytes * 1000 * 1000, htmlOnly);
    const double messageMB = static_cast<double>(std::filesystem::file_size(message)) / (1 << 20);
    double peakMB = 0;
    for (auto _ : state) {
        struct rusage usage {};
        if (Run({"--home", s.home, "check", "--answers", "yes"}, message, &usage) != 0) {
            state.SkipWithError("check did not let the message go");
        }
        peakMB = std::max(peakMB, static_cast<double>(usage.ru_maxrss) / 1024.0);
        state.counters["child_cpu_ms"] = ChildCpuMs(usage);
    }
    std::filesystem::remove_all(std::filesystem::path(s.home).parent_path());
    state.counters["message_MB"] = messageMB;
    state.counters["peak_MB"] = peakMB;
    state.counters["allowed_MB"] = 2 * messageMB + 40;
    state.counters["peak_per_message"] = peakMB / messageMB;
}
BENCHMARK(BM_CheckPeakMemory)
    ->Args({25, 0})
    ->Args({25, 1})
    ->Args({250, 0})
    ->Args({250, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
