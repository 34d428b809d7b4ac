// How long whole processes of the command take, each next to its floor in the
// same run: an empty process (/bin/true) and `cat` of the same message. Every
// figure is the median of 20 runs (the "_median" rows); a run is one
// posix_spawn and wait, so the floors pay the same spawning as the command.
// Besides the wall time, the counters give the process's own processor time
// (cpu_ms, user and system) and its page faults, which a busy machine
// disturbs less.
//
//   build-bench/bench/startup_bench --benchmark_filter=Startup
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench/RunProgram.h"

namespace {

using postwarden::bench::RunProgram;

const std::string kBinary = POSTWARDEN_BINARY_DIR "/postwarden";

// A home with the keyword and outside-domain rules on (100 keywords, 21
// company domains, none of them matching) and a typical message: 10
// recipients in the company, about 50 KB of HTML. No rule fires.
struct Typical {
    std::string home;
    std::string message;

    Typical() {
        const auto dir = std::filesystem::temp_directory_path() /
                         ("pw-bench-startup-" + std::to_string(getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        home = (dir / "home").string();
        message = (dir / "message.eml").string();
        std::string keywords, domains;
        for (int i = 0; i < 100; ++i) keywords += "keyword" + std::to_string(i) + "\r\n";
        for (int i = 0; i < 20; ++i) domains += "dept" + std::to_string(i) + ".corp.example\r\n";
        domains += "corp.example";
        for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
                 {"PromptForOutsideDomainsWanted", "1"},
                 {"ListOfOutsideDomains", domains},
                 {"PromptForKeywordsWanted", "1"},
                 {"ListOfKeywords", keywords},
                 {"PromptForAnySendWanted", "0"}}) {
            RunProgram(kBinary, {"--home", home, "settings", "set", key, value});
        }
        postwarden::bench::WriteTypicalMessage(message, 10, 50 * 1024);
    }
};

const Typical& Scenario() {
    static const Typical typical;
    return typical;
}

// Times one process per iteration; `expected` is the exit status it must have.
void Spawned(benchmark::State& state, const std::string& program,
             const std::vector<std::string>& args, const std::string& input, int expected) {
    if (RunProgram(program, args, input) != expected) {  // also warms the file cache
        state.SkipWithError(("unexpected exit status of " + program).c_str());
        return;
    }
    rusage used{};
    for (auto _ : state) {
        if (RunProgram(program, args, input, &used) != expected) {
            state.SkipWithError(("unexpected exit status of " + program).c_str());
        }
    }
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    state.counters["cpu_ms"] = ms(used.ru_utime) + ms(used.ru_stime);
    state.counters["faults"] = static_cast<double>(used.ru_minflt + used.ru_majflt);
}

void BM_StartupFloorEmptyProcess(benchmark::State& state) {
    Spawned(state, "/bin/true", {}, "/dev/null", 0);
}

void BM_StartupFloorCatMessage(benchmark::State& state) {
    Spawned(state, "/bin/cat", {}, Scenario().message, 0);
}

void BM_StartupHelp(benchmark::State& state) {
    Spawned(state, kBinary, {"--help"}, "/dev/null", 0);
}

void BM_StartupCheckTypical(benchmark::State& state) {
    Spawned(state, kBinary, {"--home", Scenario().home, "check", "--answers", "yes"},
            Scenario().message, 0);
}

// The real sendmail's stand-in is /bin/true, so the empty process is its
// floor: the difference is what the check adds to a send.
void BM_StartupSendmailNoRuleFires(benchmark::State& state) {
    Spawned(state, kBinary,
            {"--home", Scenario().home, "sendmail", "--sendmail", "/bin/true", "-oi", "--",
             "person0@corp.example"},
            Scenario().message, 0);
}

void BM_StartupSettingsList(benchmark::State& state) {
    Spawned(state, kBinary, {"--home", Scenario().home, "settings", "list"}, "/dev/null", 0);
}

// Median of 20 single runs each.
void Twenty(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(20)
        ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_StartupFloorEmptyProcess)->Apply(Twenty);
BENCHMARK(BM_StartupFloorCatMessage)->Apply(Twenty);
BENCHMARK(BM_StartupHelp)->Apply(Twenty);
BENCHMARK(BM_StartupCheckTypical)->Apply(Twenty);
BENCHMARK(BM_StartupSendmailNoRuleFires)->Apply(Twenty);
BENCHMARK(BM_StartupSettingsList)->Apply(Twenty);

}  // namespace

BENCHMARK_MAIN();
