// Time and peak memory of the largest inputs: a send that is still checked in
// full (a 25 MB message to 1,000 recipients against 10,000 keywords), inputs at
// the limits, and inputs far over them, which are refused. Each case runs in a
// child process of its own, so that its peak memory (counter peak_MB, the
// child's maximum resident set) is its own; Baseline gives what an empty child
// already has. Large files are written once, before the timing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "host/Command.h"
#include "host/send/SendCheck.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/registry/Registry.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "settings/SettingsDocument.h"
#include "tests/TempFolder.h"
#include "util/DelimitedList.h"
#include "util/Limits.h"

namespace {

namespace fs = std::filesystem;
using namespace postwarden;

// Runs `work` in a child process per iteration; the child fails the benchmark
// when `work` answers false or throws.
void InChild(benchmark::State& state, const std::function<bool()>& work) {
    for (auto _ : state) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            bool ok = false;
            try {
                ok = work();
            } catch (...) {
            }
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("unexpected result");
        state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
}

// Whether `call` is refused for being over a limit.
bool Refused(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeError& e) {
        return e.Number() == limits::kErrorTooLarge;
    }
    return false;
}

// The files the cases read, made once.
class Inputs {
  public:
    Inputs() {
        fs::create_directories(Home() + "/mail");
        const std::string drafts = DraftsFolderOf(Home() + "/mail");

        // A text body just under the message limit.
        atLimit_ = mailstore::DeliverMessage(drafts, "Subject: x\n\nx\n", "DS");
        WriteMessage(mailstore::FindMessage(drafts, atLimit_), limits::kMaxMessageBytes - 4096,
                     "To: a@corp.example\nSubject: At the limit\n\n");
        // Far over it, on disk as a hole.
        overLimit_ = mailstore::DeliverMessage(drafts, "Subject: x\n\nx\n", "DS");
        fs::resize_file(mailstore::FindMessage(drafts, overLimit_), 1ull << 30);

        // The full check: every rule on, none firing.
        Registry registry(Home() + "/registry.db");
        std::string keywords, domains, watch;
        for (int i = 0; i < 10000; ++i) keywords += "keyword" + std::to_string(i) + "\r\n";
        for (int i = 0; i < 20; ++i) {
            domains += "dept" + std::to_string(i) + ".corp.example\r\n";
            watch += "rival" + std::to_string(i) + ".example\r\n";
        }
        for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
                 {"PromptForOutsideDomainsWanted", "1"},
                 {"ListOfOutsideDomains", domains + "corp.example"},
                 {"PromptForEmailAddressesDomainsWanted", "1"},
                 {"ListOfEmailAddressesDomains", watch},
                 {"PromptForKeywordsWanted", "1"},
                 {"ListOfKeywords", keywords},
                 {"PromptForNumberOfRecipientsWanted", "1"},
                 {"MaxNumberOfRecipients", "100000"},
                 {"PromptForBlankSubjectWanted", "1"},
                 {"PromptForAnySendWanted", "0"},
                 {"SeparatePromptsWanted", "1"}}) {
            registry.SaveSetting(kSettingsAppName, "Postwarden", key, value);
        }
        std::string head = "From: Me <me@corp.example>\r\nTo: ";
        for (int i = 0; i < 1000; ++i) {
            head += (i ? ",\r\n " : "") + std::string("Person ") + std::to_string(i) + " <person" +
                    std::to_string(i) + "@corp.example>";
        }
        head +=
            "\r\nSubject: Weekly report\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/html; charset=utf-8\r\n\r\n";
        WriteMessage(Root() + "/typical-large.eml", 25u << 20, head);
        WriteMessage(Root() + "/oversized.eml", 300u << 20,
                     "To: bob@corp.example\r\nSubject: Oversized\r\n\r\n");
    }

    const std::string& Root() const { return root_; }
    std::string Home() const { return root_ + "/home"; }
    const std::string& AtLimit() const { return atLimit_; }
    const std::string& OverLimit() const { return overLimit_; }

  private:
    // `head`, then lines of prose up to about `size` bytes.
    static void WriteMessage(const std::string& path, size_t size, const std::string& head) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << head;
        const std::string line =
            "<p>The quarterly figures for the northern region are attached; please review them "
            "before the meeting on Thursday.</p>\r\n";
        for (size_t n = head.size(); n + line.size() <= size; n += line.size()) out << line;
    }

    postwarden::testing::TempFolder folder_;
    const std::string& root_ = folder_.Path();
    std::string atLimit_, overLimit_;
};

Inputs& Files() {
    static Inputs inputs;
    return inputs;
}

host::CheckOutcome Check(const std::string& file) {
    const host::GlobalOptions options{Files().Home(), Files().Home() + "/mail",
                                      POSTWARDEN_BINARY_DIR "/libpostwarden-module.so"};
    bool usable = false;
    host::CheckOptions check;
    check.answers = "yes";
    std::string message = ReadWholeFile(file);
    return host::CheckMessage(options, check, message, usable);
}

void BM_Baseline(benchmark::State& state) {
    InChild(state, [] { return true; });
}
BENCHMARK(BM_Baseline)->Unit(benchmark::kMillisecond)->Iterations(3);

// The whole host and module, in process: a 25 MB message, 1,000 recipients,
// 10,000 keywords and every rule on.
void BM_CheckWithinLimits_25MB_1000Recipients_10000Keywords(benchmark::State& state) {
    Files();
    InChild(state, [] {
        const host::CheckOutcome outcome = Check(Files().Root() + "/typical-large.eml");
        return outcome.MayGo() && outcome.problem.empty() && outcome.asked.empty();
    });
}
BENCHMARK(BM_CheckWithinLimits_25MB_1000Recipients_10000Keywords)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// A 300 MB message: the host holds and saves it, the store refuses to parse it,
// the send goes ahead.
void BM_CheckOversizedMessage_300MB(benchmark::State& state) {
    Files();
    InChild(state, [] {
        const host::CheckOutcome outcome = Check(Files().Root() + "/oversized.eml");
        return outcome.MayGo() && outcome.asked.empty();
    });
}
BENCHMARK(BM_CheckOversizedMessage_300MB)->Unit(benchmark::kMillisecond)->Iterations(2);

std::shared_ptr<MapiMessage> Open(const std::string& id) {
    auto session = CreateMaildirSession(Files().Home() + "/mail");
    session->Logon();
    return session->GetMessageFromID(id);
}

// The largest message the store still reads, a text body of 256 MB.
void BM_ReadMessageAtLimit_256MB(benchmark::State& state) {
    Files();
    InChild(state, [] { return Open(Files().AtLimit())->Body().size() > (200u << 20); });
}
BENCHMARK(BM_ReadMessageAtLimit_256MB)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_RefuseMessageOverLimit_1GB(benchmark::State& state) {
    Files();
    InChild(state, [] { return Refused([] { Open(Files().OverLimit())->Recipients(); }); });
}
BENCHMARK(BM_RefuseMessageOverLimit_1GB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RefuseEndlessSettingsFile(benchmark::State& state) {
    InChild(state, [] {
        LinuxPlatform platform(
            {"/dev/null", "/nonexistent/registry.db", "/nonexistent"},
            std::make_unique<ScriptedWindowSystem>(std::vector<ScriptedWindowSystem::Answer>{}));
        return Refused([&] { platform.ReadTextFile("/dev/zero"); });
    });
}
BENCHMARK(BM_RefuseEndlessSettingsFile)->Unit(benchmark::kMillisecond)->Iterations(3);

// The costliest document the parser is given: 4 MiB of empty elements.
void BM_SettingsDocumentAtLimit_TinyElements(benchmark::State& state) {
    InChild(state, [] {
        std::string text = "<r>";
        while (text.size() + 8 < limits::kMaxSettingsDocumentBytes) text += "<a/>";
        text += "</r>";
        SettingsDocument document;
        return document.Load(text) && !document.Scalar("PromptForAnySendWanted");
    });
}
BENCHMARK(BM_SettingsDocumentAtLimit_TinyElements)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SettingsDocumentAtLimit_Nested(benchmark::State& state) {
    InChild(state, [] {
        const size_t levels = limits::kMaxSettingsDocumentBytes / 7;
        std::string text;
        text.reserve(levels * 7);
        for (size_t i = 0; i < levels; ++i) text += "<a>";
        for (size_t i = 0; i < levels; ++i) text += "</a>";
        SettingsDocument document;
        return document.Load(text) && document.Scalar("a").has_value();
    });
}
BENCHMARK(BM_SettingsDocumentAtLimit_Nested)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ListAtLimit_100000Entries(benchmark::State& state) {
    InChild(state, [] {
        std::string text;
        for (size_t i = 0; i < limits::kMaxListEntries; ++i)
            text += "entry" + std::to_string(i) + "\r\n";
        DelimitedList list;
        list.SetText(text);
        return list.Count() == static_cast<int32_t>(limits::kMaxListEntries);
    });
}
BENCHMARK(BM_ListAtLimit_100000Entries)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RefuseListOfTwoMillionEntries(benchmark::State& state) {
    InChild(state, [] {
        std::string text;
        for (int i = 0; i < 2'000'000; ++i) text += "x\n";
        DelimitedList list;
        return Refused([&] { list.SetText(text); });
    });
}
BENCHMARK(BM_RefuseListOfTwoMillionEntries)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_RefuseThreeMillionRecipients(benchmark::State& state) {
    InChild(state, [] {
        std::string message = "Subject: All\nBcc: ";
        for (int i = 0; i < 3'000'000; ++i) message += "x,";
        return Refused([&] { mailstore::ParseMessage(message + "\n\nHi\n"); });
    });
}
BENCHMARK(BM_RefuseThreeMillionRecipients)->Unit(benchmark::kMillisecond)->Iterations(3);

// 80,000 names without addresses in To, and as many in an attached message's
// From: fields the MIME library's own address parser took quadratic time over.
void BM_NameOnlyAddressFields_80000(benchmark::State& state) {
    InChild(state, [] {
        std::string names;
        for (int i = 0; i < 40'000; ++i) names += "Jane Doe, a.b, ";
        const std::string message =
            "Subject: Names\nTo: " + names +
            "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=XX\n\n--XX\n"
            "Content-Type: text/plain\n\nHello\n--XX\nContent-Type: message/rfc822\n\nFrom: " +
            names + "\n\nInner\n--XX--\n";
        return mailstore::ParseMessage(message).recipients.size() == 80'000;
    });
}
BENCHMARK(BM_NameOnlyAddressFields_80000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
