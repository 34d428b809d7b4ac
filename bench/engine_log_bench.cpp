// Log records per second through EngineLogger, one new logger object per record,
// as the module writes its trace lines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "platform/LinuxPlatform.h"
#include "platform/windows/NoWindowSystem.h"

namespace {

void BM_EngineLoggerRecords(benchmark::State& state) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("pw-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    {
        postwarden::LinuxPlatform platform({(dir / "postwarden.log").string(), "", ""},
                                           std::make_unique<postwarden::NoWindowSystem>());
        const std::string message = "Recipient #12: Jane Doe [jane.doe@branch.corp.example]";
        for (auto _ : state) {
            auto logger = platform.NewEngineLogger();
            logger->WriteLog("Postwarden", "ProcessItem", message, 0);
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_EngineLoggerRecords);

}  // namespace

BENCHMARK_MAIN();
