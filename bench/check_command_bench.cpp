// Whole `postwarden check` processes, as a mail client runs them: a typical
// message, and a very large one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kBinary = POSTWARDEN_BINARY_DIR "/postwarden";

// Runs postwarden with `args`, standard input from `inputPath`, output discarded.
int Run(const std::vector<std::string>& args, const std::string& inputPath = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{kBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, kBinary.c_str(), &actions, nullptr, raw.data(), environ) == 0) {
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    std::ofstream out(s.message, std::ios::binary);
    out << "From: Me <me@corp.example>\r\nTo: ";
    for (int i = 0; i < recipients; ++i) {
        out << (i ? ",\r\n " : "") << "Person " << i << " <person" << i << "@corp.example>";
    }
    out << "\r\nSubject: Weekly report\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
    const std::string paragraph =
        "<p>The quarterly figures for the northern region are attached; please review "
        "them before the meeting on Thursday.</p>\r\n";
    for (size_t n = 0; n < bodyBytes; n += paragraph.size()) out << paragraph;
    out << "</body></html>\r\n";
    out.close();
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

void BM_CheckHugeMessage(benchmark::State& state) {
    static const Scenario s = Prepare("huge", 10000, 20, 1000, 25 * 1024 * 1024);
    for (auto _ : state) {
        if (Run({"--home", s.home, "check", "--answers", "yes"}, s.message) != 0) {
            state.SkipWithError("check did not let the message go");
        }
    }
}
BENCHMARK(BM_CheckHugeMessage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->Iterations(1)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
