// The send check at scale: the keyword rule over a large body with a long list
// of keywords, and the whole send driver for many recipients against long
// domain lists, writing every trace line to a real log file.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/MailClient.h"
#include "module/MapiSession.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/validation/ValidationAccess.h"
#include "util/DelimitedList.h"
#include "util/KeywordSearch.h"

// Heap accounting: bytes in use now and the most since the last reset, so a
// benchmark can report what one call needs beyond what it was handed.
namespace {
std::atomic<size_t> heapInUse{0};
std::atomic<size_t> heapPeak{0};

void* Allocate(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    const size_t now = heapInUse += malloc_usable_size(p);
    size_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void Release(void* p) {
    if (!p) return;
    heapInUse -= malloc_usable_size(p);
    std::free(p);
}
}  // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}

namespace postwarden {
namespace {

// --- A platform of the real engine pieces over a temporary log file, with
// settings and the message being sent held in memory. ---

struct BenchRecipient {
    std::string name, address;
};

class BenchAddressEntry final : public MapiAddressEntry {
  public:
    explicit BenchAddressEntry(std::string address) : address_(std::move(address)) {}
    std::string Address() override { return address_; }
    std::shared_ptr<MapiAddressList> Members() override { return nullptr; }

  private:
    std::string address_;
};

class BenchRecipientObject final : public MapiRecipient {
  public:
    explicit BenchRecipientObject(const BenchRecipient& r) : r_(r) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        return std::make_shared<BenchAddressEntry>(r_.address);
    }
    std::string Name() override { return r_.name; }
    std::string Address() override { return r_.address; }

  private:
    const BenchRecipient& r_;
};

class BenchRecipients final : public MapiRecipients {
  public:
    explicit BenchRecipients(const std::vector<BenchRecipient>& r) : r_(r) {}
    int32_t Count() override { return static_cast<int32_t>(r_.size()); }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        return std::make_shared<BenchRecipientObject>(r_.at(static_cast<size_t>(index - 1)));
    }

  private:
    const std::vector<BenchRecipient>& r_;
};

struct BenchMessageData {
    std::string subject, body;
    std::vector<BenchRecipient> recipients;
};

class BenchMessage final : public MapiMessage {
  public:
    explicit BenchMessage(const BenchMessageData& d) : d_(d) {}
    std::string Subject() override { return d_.subject; }
    int32_t BodyFormat() override { return kFormatPlain; }
    std::string_view Body() override { return d_.body; }
    std::string_view HTMLBody() override { return {}; }
    std::string_view RTFBody() override { return {}; }
    std::shared_ptr<MapiRecipients> Recipients() override {
        return std::make_shared<BenchRecipients>(d_.recipients);
    }
    std::string Property(std::string_view) override { throw errors::NoSuchMember(); }

  private:
    const BenchMessageData& d_;
};

class BenchSession final : public MapiSession {
  public:
    explicit BenchSession(const BenchMessageData& d) : d_(d) {}
    void Logon() override {}
    bool LoggedOn() override { return true; }
    void SetMAPIOBJECT(std::shared_ptr<MapiObject>) override {}
    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view) override {
        return std::make_shared<BenchMessage>(d_);
    }
    std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t) override { throw errors::InvalidCall(); }
    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view) override {
        throw errors::InvalidCall();
    }

  private:
    const BenchMessageData& d_;
};

class BenchOutlookSession final : public OutlookSession {
  public:
    std::shared_ptr<MapiObject> MAPIOBJECT() override { return std::make_shared<MapiObject>(); }
};

class BenchApplication final : public OutlookApplication {
  public:
    std::string Version() override { return "16.0.0.0"; }
    std::shared_ptr<OutlookSession> Session() override {
        return std::make_shared<BenchOutlookSession>();
    }
    int32_t ExplorersCount() override { return 1; }
};

class BenchEngine final : public Engine {
  public:
    std::shared_ptr<OutlookApplication> Application() override {
        return std::make_shared<BenchApplication>();
    }
    int32_t RegisterModule(IModuleAPI&, int32_t, std::string_view, std::string_view) override {
        return 0;
    }
};

class BenchItem final : public OutlookItem {
  public:
    bool Submitted() override { return false; }
    std::string TypeName() override { return "MailItem"; }
    void Save() override {}
    std::string EntryID() override { return "bench"; }
    std::string Subject() override { return "bench"; }
};

class BenchPlatform final : public Platform {
  public:
    BenchPlatform()
        : dir_(std::filesystem::temp_directory_path() /
               ("pw-validation-bench-" + std::to_string(getpid()))),
          windows_(std::make_unique<ScriptedWindowSystem>(
              std::vector<ScriptedWindowSystem::Answer>{ScriptedWindowSystem::Answer::kYes})) {
        std::filesystem::create_directories(dir_);
        log_.emplace((dir_ / "postwarden.log").string());
    }
    ~BenchPlatform() override {
        log_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::unique_ptr<EngineHelper> NewEngineHelper() override {
        return std::make_unique<FileEngineHelper>(*log_);
    }
    std::unique_ptr<EngineLogger> NewEngineLogger() override {
        return std::make_unique<FileEngineLogger>(*log_);
    }
    std::unique_ptr<RegistryAccess> NewRegistryAccess() override { throw errors::InvalidCall(); }
    std::string GetSetting(std::string_view, std::string_view, std::string_view key,
                           std::string_view defaultValue) override {
        auto it = settings.find(std::string(key));
        return it == settings.end() ? std::string(defaultValue) : it->second;
    }
    void SaveSetting(std::string_view, std::string_view, std::string_view key,
                     std::string_view value) override {
        settings[std::string(key)] = std::string(value);
    }
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view) override {
        return std::make_shared<BenchSession>(message);
    }
    std::string ReadTextFile(std::string_view) override { throw errors::InvalidCall(); }
    WindowSystem& Windows() override { return *windows_; }

    // What the log holds, with the records still waiting in the process.
    uintmax_t LogBytes() {
        if (log_) log_->Flush();
        return std::filesystem::file_size(dir_ / "postwarden.log");
    }

    std::map<std::string, std::string> settings;
    BenchMessageData message;

  private:
    std::filesystem::path dir_;
    std::optional<LogFile> log_;
    std::unique_ptr<WindowSystem> windows_;
};

// --- Test data ---

std::string RandomWord(std::mt19937& random, size_t minLength, size_t maxLength,
                       const std::vector<std::string>& letters) {
    std::string out;
    const size_t length = minLength + random() % (maxLength - minLength + 1);
    for (size_t i = 0; i < length; ++i) out += letters[random() % letters.size()];
    return out;
}

const std::vector<std::string>& Letters() {
    static const std::vector<std::string> letters = [] {
        std::vector<std::string> out;
        for (char c = 'a'; c <= 'z'; ++c) out.emplace_back(1, c);
        for (const char* u : {"ä", "ö", "ü", "ß"}) out.emplace_back(u);
        return out;
    }();
    return letters;
}

// About `bytes` of prose-like text: words from a vocabulary, some capitalised,
// some with umlauts, in lines.
std::string Body(size_t bytes) {
    std::mt19937 random(7);
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 5000; ++i) vocabulary.push_back(RandomWord(random, 2, 10, Letters()));
    std::string body;
    body.reserve(bytes + 64);
    size_t line = 0;
    while (body.size() < bytes) {
        std::string word = vocabulary[random() % vocabulary.size()];
        if (random() % 8 == 0)
            word[0] = static_cast<char>(word[0] >= 'a' && word[0] <= 'z' ? word[0] - 32 : word[0]);
        body += word;
        if (++line % 12 == 0) {
            body += ".\r\n";
        } else {
            body += ' ';
        }
    }
    return body;
}

// `count` keywords of which none occurs in `body`.
std::vector<std::string> AbsentKeywords(size_t count, const std::string& body) {
    std::mt19937 random(11);
    std::vector<std::string> keywords;
    for (size_t i = 0; i < count; ++i) keywords.push_back(RandomWord(random, 6, 14, Letters()));
    for (;;) {
        const size_t found = KeywordSearch(keywords).FirstOccurring(body);
        if (found == KeywordSearch::npos) return keywords;
        keywords[found] = RandomWord(random, 6, 14, Letters());
    }
}

std::string JoinLines(const std::vector<std::string>& entries) {
    std::string out;
    for (const std::string& e : entries) {
        if (!out.empty()) out += "\r\n";
        out += e;
    }
    return out;
}

constexpr size_t kBodyBytes = 25u << 20;
constexpr size_t kKeywords = 10000;

struct KeywordData {
    std::string body = Body(kBodyBytes);
    std::string list = JoinLines(AbsentKeywords(kKeywords, body));
};
const KeywordData& Keywords() {
    static const KeywordData data;
    return data;
}

// --- Benchmarks ---

// The rule as a send meets it: the list already read and its searcher built by
// an earlier call; every keyword is also put to the engine's MatchesEntry.
void BM_KeywordRule_25MB_10000Keywords(benchmark::State& state) {
    const KeywordData& data = Keywords();
    BenchPlatform platform;
    platform.settings[keys::kListOfKeywords] = data.list;
    CPostwarden module(platform);
    ValidationAccess v(module);
    if (!v.CheckKeywords(false, "warm-up")) state.SkipWithError("warm-up failed");
    size_t peakExtra = 0;
    for (auto _ : state) {
        const size_t before = heapInUse.load();
        heapPeak = before;
        benchmark::DoNotOptimize(v.CheckKeywords(false, data.body));
        peakExtra = std::max(peakExtra, heapPeak.load() - before);
    }
    state.counters["body_MB"] = static_cast<double>(data.body.size()) / (1 << 20);
    state.counters["peak_extra_heap_MB"] = static_cast<double>(peakExtra) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.body.size()));
}
BENCHMARK(BM_KeywordRule_25MB_10000Keywords)->Unit(benchmark::kMillisecond);

// The first call of a module object's life: reads the list and builds the
// searcher, then searches.
void BM_KeywordRuleFirstCall_25MB_10000Keywords(benchmark::State& state) {
    const KeywordData& data = Keywords();
    BenchPlatform platform;
    platform.settings[keys::kListOfKeywords] = data.list;
    size_t peakExtra = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto module = std::make_unique<CPostwarden>(platform);
        ValidationAccess v(*module);
        const size_t before = heapInUse.load();
        heapPeak = before;
        state.ResumeTiming();
        benchmark::DoNotOptimize(v.CheckKeywords(false, data.body));
        peakExtra = std::max(peakExtra, heapPeak.load() - before);
        state.PauseTiming();
        module.reset();
        state.ResumeTiming();
    }
    state.counters["peak_extra_heap_MB"] = static_cast<double>(peakExtra) / (1 << 20);
}
BENCHMARK(BM_KeywordRuleFirstCall_25MB_10000Keywords)->Unit(benchmark::kMillisecond);

// One send to `recipients` recipients, both address rules on against 100
// listed domains each, separate prompts off (so every recipient is compared
// and traced), the multi-rule form answered by script.
void BM_ProcessItem(benchmark::State& state) {
    const int recipients = static_cast<int>(state.range(0));
    BenchPlatform platform;
    std::vector<std::string> own, watched;
    for (int i = 0; i < 100; ++i) {
        own.push_back("dept" + std::to_string(i) + ".corp.example");
        watched.push_back("rival" + std::to_string(i) + ".example");
    }
    platform.settings = {
        {keys::kPromptForOutsideDomainsWanted, "1"},
        {keys::kPromptForEmailAddressesDomainsWanted, "1"},
        {keys::kSeparatePromptsWanted, "0"},
        {keys::kListOfOutsideDomains, JoinLines(own)},
        {keys::kListOfEmailAddressesDomains, JoinLines(watched)},
    };
    platform.message.subject = "Quarterly figures";
    platform.message.body = "See attached.";
    for (int i = 0; i < recipients; ++i) {
        // Outside the company and on no watch list: every entry of both lists
        // is compared and traced.
        platform.message.recipients.push_back(
            {"Person " + std::to_string(i), "person" + std::to_string(i) + "@partner.example"});
    }
    CPostwarden module(platform);
    std::shared_ptr<Engine> engine = std::make_shared<BenchEngine>();
    module.YSStartup(engine);
    ValidationAccess v(module);
    const uintmax_t logBefore = platform.LogBytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(v.ProcessItem(std::make_shared<BenchItem>()));
    }
    state.counters["log_MB_per_send"] =
        static_cast<double>(platform.LogBytes() - logBefore) / (1 << 20) / state.iterations();
}
BENCHMARK(BM_ProcessItem)->Arg(1000)->Unit(benchmark::kMillisecond);

// The search alone, for comparison with the rule around it.
void BM_KeywordSearchScan_25MB_10000Keywords(benchmark::State& state) {
    const KeywordData& data = Keywords();
    std::vector<std::string> keywords;
    DelimitedList list;
    list.SetText(data.list);
    for (int32_t i = 1; i <= list.Count(); ++i) keywords.push_back(list.Item(i));
    const KeywordSearch search(keywords);
    for (auto _ : state) benchmark::DoNotOptimize(search.FirstOccurring(data.body));
    state.counters["tables_MB"] = static_cast<double>(search.MemoryBytes()) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.body.size()));
}
BENCHMARK(BM_KeywordSearchScan_25MB_10000Keywords)->Unit(benchmark::kMillisecond);

// The floor of the two above: one plain pass over the same bytes, reading
// each (counting line ends), as fast as the processor reads memory.
void BM_PlainPass_25MB(benchmark::State& state) {
    const KeywordData& data = Keywords();
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::count(data.body.begin(), data.body.end(), '\n'));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.body.size()));
}
BENCHMARK(BM_PlainPass_25MB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace postwarden

BENCHMARK_MAIN();
