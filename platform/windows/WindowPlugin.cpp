#include "platform/windows/WindowPlugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <utility>

namespace postwarden {

namespace {

// The module's library, as the host loads it (host/ModuleLoader.h).
constexpr std::string_view kModuleFileName = "libpostwarden-module.so";

std::string FolderOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

int CollectModuleFolder(dl_phdr_info* info, size_t, void* data) {
    const std::string_view path = info->dlpi_name ? info->dlpi_name : "";
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name == kModuleFileName)
        static_cast<std::vector<std::string>*>(data)->push_back(FolderOf(path));
    return 0;
}

// Closes a library that turned out not to be the plugin.
struct LibraryCloser {
    void operator()(void* handle) const { ::dlclose(handle); }
};

// The sink of the toolkit's messages, and the lock that makes them one call at
// a time and keeps the sink from changing under a call.
std::mutex toolkitMutex;
ToolkitMessageSink toolkitSink;

void DeliverToolkitMessage(int level, const char* text, size_t size) {
    const std::lock_guard lock(toolkitMutex);
    if (toolkitSink) {
        toolkitSink(level, std::string_view(text, size));
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(size), text);
    }
}

}  // namespace

ToolkitMessageSink SetToolkitMessageSink(ToolkitMessageSink sink) {
    const std::lock_guard lock(toolkitMutex);
    return std::exchange(toolkitSink, std::move(sink));
}

std::vector<std::string> QtPluginFolders() {
    std::vector<std::string> folders;
    ::dl_iterate_phdr(CollectModuleFolder, &folders);
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) folders.push_back(FolderOf(std::string_view(buffer, static_cast<size_t>(n))));
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

std::unique_ptr<PluginWindowSystem> LoadQtWindowSystem(std::string& failure,
                                                       const std::string& path) {
    std::string chosen = path;
    if (chosen.empty()) {
        const std::vector<std::string> folders = QtPluginFolders();
        for (const std::string& folder : folders) {
            const std::string candidate = folder + "/" + kQtPluginFileName;
            if (::access(candidate.c_str(), F_OK) == 0) {
                chosen = candidate;
                break;
            }
        }
        if (chosen.empty()) {
            std::string where;
            for (const std::string& folder : folders) {
                where += (where.empty() ? "" : " or ") + folder;
            }
            failure = std::string("the window plugin ") + kQtPluginFileName + " is not in " +
                      (where.empty() ? "any folder" : where);
            return nullptr;
        }
    }
    // Local: the plugin's copies of the platform's code must not stand in for
    // the host's, nor the other way round.
    std::unique_ptr<void, LibraryCloser> library(::dlopen(chosen.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char* why = ::dlerror();
        failure = "the window plugin cannot be loaded: " + std::string(why ? why : chosen);
        return nullptr;
    }
    auto* create = reinterpret_cast<decltype(&PostwardenCreateQtWindowSystem)>(
        ::dlsym(library.get(), kQtPluginEntryPoint));
    if (!create) {
        failure = chosen + " is not the window plugin (it has no " + kQtPluginEntryPoint + ")";
        return nullptr;
    }
    // From here on the library stays: the windows' code, the exceptions they
    // throw and Qt's application (which is never destroyed) all live in it.
    library.release();
    std::string why;
    std::unique_ptr<PluginWindowSystem> windows(create(&why, DeliverToolkitMessage));
    if (!windows) failure = why.empty() ? "the window plugin made no windows" : why;
    return windows;
}

}  // namespace postwarden
