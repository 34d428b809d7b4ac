// The command's definitions of platform/mailstore/MimeMessage.h: each call goes
// to libpostwarden-mime.so, loaded at the first one (see MimeLibrary.h). Only
// the executables link this file; it stands in for MimeMessage.cpp and the
// files beside it there.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/InstallLayout.h"
#include "platform/mailstore/MimeLibrary.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::mailstore {

namespace {

struct Library {
    const MimeFunctions* functions = nullptr;
    std::string failure;  // why `functions` is null, for a person
};

// Beside the executable, else in its install, as the module is found. Loaded
// once for the process and never closed: the contents it made outlive any
// caller that could close it.
Library Load() {
    const std::string folder = host::ExecutableFolder();
    const std::string path =
        host::FindCompanionFrom(folder, kMimeLibraryFileName, host::kInstalledLibraryFolder);
    if (::access(path.c_str(), F_OK) != 0) {
        // Every place looked in, as for the module: a broken install reads
        // differently from a build folder.
        namespace fs = std::filesystem;
        const std::vector<std::string> places =
            host::CompanionCandidates(folder, kMimeLibraryFileName, host::kInstalledLibraryFolder);
        return {nullptr, "cannot find the MIME library " + std::string(kMimeLibraryFileName) +
                             " in " + fs::path(places[0]).parent_path().string() + " or " +
                             fs::path(places[1]).parent_path().string()};
    }
    // Local: the library's copies of the platform's code stay its own.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        return {nullptr, "the MIME library cannot be loaded: " + std::string(why ? why : path)};
    }
    using Entry = decltype(&PostwardenMimeFunctions);
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kMimeLibraryEntryPoint));
    const MimeFunctions* functions = entry ? entry() : nullptr;
    if (functions == nullptr || functions->contentSize != sizeof(MessageContent)) {
        ::dlclose(handle);
        return {nullptr, path + " is not this build's MIME library"};
    }
    return {functions, {}};
}

const Library& Loaded() {
    static const Library library = Load();
    return library;
}

const MimeFunctions& Functions() {
    const Library& library = Loaded();
    if (library.functions == nullptr) throw Unreadable(library.failure);
    return *library.functions;
}

}  // namespace

std::string MimeUnavailable() {
    return Loaded().failure;
}

std::string_view MessageContent::BodyOf(std::span<const Piece> order, int which) const {
    // Only an empty content can exist without the library.
    const MimeFunctions* functions = Loaded().functions;
    return functions ? functions->bodyOf(*this, order, which) : std::string_view();
}

MessageContent ParseMessage(std::string_view bytes, const std::function<void()>& release) {
    return Functions().parseMessage(bytes, release);
}

std::string ParseSubject(std::string_view bytes) {
    const MimeFunctions* functions = Loaded().functions;
    return functions ? functions->parseSubject(bytes) : std::string();
}

std::string ParseHeaderValue(std::string_view bytes, const char* name) {
    const MimeFunctions* functions = Loaded().functions;
    return functions ? functions->parseHeaderValue(bytes, name) : std::string();
}

std::string MessageFingerprint(std::string_view bytes, const std::function<void()>& release) {
    return Functions().messageFingerprint(bytes, release);
}

}  // namespace postwarden::mailstore
