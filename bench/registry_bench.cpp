// The settings store and the settings document: what an explorer open costs
// (about twenty reads, sixteen durable writes when a central source is set, one
// document parse) and what every send's reads cost.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "module/HostEngine.h"
#include "platform/registry/Registry.h"
#include "settings/SettingsDocument.h"

namespace {

class Folder {
  public:
    Folder()
        : path_(std::filesystem::temp_directory_path() /
                ("pw-registry-bench-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(path_);
    }
    ~Folder() { std::filesystem::remove_all(path_); }
    std::string File() const { return (path_ / "registry.db").string(); }

  private:
    std::filesystem::path path_;
};

void BM_GetSetting(benchmark::State& state) {
    Folder folder;
    postwarden::Registry registry(folder.File());
    for (int i = 0; i < 20; ++i) {
        registry.SaveSetting("Postwarden", "Postwarden", "Key" + std::to_string(i), "value");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            registry.GetSetting("Postwarden", "Postwarden", "Key7", "fallback"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetSetting);

// Each write is a transaction synced to disk before it returns.
void BM_SaveSetting(benchmark::State& state) {
    Folder folder;
    postwarden::Registry registry(folder.File());
    const std::string value(200, 'x');
    for (auto _ : state) registry.SaveSetting("Postwarden", "Postwarden", "ListOfKeywords", value);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SaveSetting)->Unit(benchmark::kMicrosecond);

void BM_QueryEditorPreference(benchmark::State& state) {
    Folder folder;
    postwarden::Registry registry(folder.File());
    const char* key = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";
    registry.WriteNumber(postwarden::kHiveCurrentUser, key, "EditorPreference", 131072);
    for (auto _ : state) {
        auto access = registry.NewAccess();
        access->OpenKey(key, postwarden::kHiveCurrentUser, 63);
        benchmark::DoNotOptimize(access->QueryValue("EditorPreference", 0));
        access->CloseKey();
    }
}
BENCHMARK(BM_QueryEditorPreference);

// A settings document with `range(0)` entries in each of its three lists.
void BM_SettingsDocument(benchmark::State& state) {
    std::string lists;
    for (const char* list :
         {"ListOfOutsideDomains", "ListOfEmailAddressesDomains", "ListOfKeywords"}) {
        lists += std::string("<") + list + ">";
        for (int64_t i = 0; i < state.range(0); ++i) {
            lists += "\n  <Entry>entry" + std::to_string(i) + ".corp.example</Entry>";
        }
        lists += std::string("</") + list + ">\n";
    }
    const std::string text =
        "<PostWarden>\n" + lists + "<MessageForKeywords>Send?</MessageForKeywords></PostWarden>\n";
    for (auto _ : state) {
        postwarden::SettingsDocument document;
        document.Load(text);
        benchmark::DoNotOptimize(document.List("ListOfKeywords"));
        benchmark::DoNotOptimize(document.Scalar("MessageForKeywords"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SettingsDocument)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
