#pragma once

// The Qt window system lives in a library of its own, libpostwarden-qt.so, that
// is loaded the first time a window is to be shown: Qt and the libraries it
// pulls in take longer to map and relocate than a whole check that asks nobody,
// so only a run that shows a window pays for them. Nothing here includes Qt.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/WindowSystem.h"

namespace postwarden {

// The plugin's window system: any window system's calls, and drawing a window
// into a file (`postwarden forms`).
class PluginWindowSystem : public WindowSystem {
  public:
    // Draws `window`, made by this system, as it currently looks into a PNG file
    // at `path` without showing it. Throws RuntimeError when the file cannot be
    // written or the window is not one of this system's.
    virtual void SavePng(Window& window, const std::string& path) = 0;
};

// Qt writes its own messages ("QStandardPaths: XDG_RUNTIME_DIR not set, ...")
// to standard error, which a mail client shows the person beside the check's
// own line (mutt's report of its sendmail program). The plugin hands each of
// them to the program that loaded it instead, through a function of this type:
// `level` 0 for debug and information, 1 for a warning or worse; `text` as Qt
// formats it, without a line end. Called from any of Qt's threads.
using ToolkitMessageHandler = void (*)(int level, const char* text, size_t size);

// Where the toolkit's messages go: to `sink` from now on, or with an empty one
// to standard error, one line each. Returns the sink that was in place. The
// sink is called from whichever thread Qt writes on, one call at a time.
using ToolkitMessageSink = std::function<void(int level, std::string_view text)>;
ToolkitMessageSink SetToolkitMessageSink(ToolkitMessageSink sink);

inline constexpr const char* kQtPluginFileName = "libpostwarden-qt.so";
inline constexpr const char* kQtPluginEntryPoint = "PostwardenCreateQtWindowSystem";

// The folders the plugin is looked for in, in order: the folder of the module
// library wherever this process loaded it from (an installed copy keeps both
// together), then the executable's own folder.
std::vector<std::string> QtPluginFolders();

// Loads the plugin at `path` (empty: the first one found in QtPluginFolders())
// and creates its window system. Null when the plugin cannot be found or
// loaded, or when it finds no display to show windows on; `failure` then says
// why in a few words for a person. A plugin loaded once stays loaded until the
// process ends, as Qt's application does.
std::unique_ptr<PluginWindowSystem> LoadQtWindowSystem(std::string& failure,
                                                       const std::string& path = "");

}  // namespace postwarden

// The plugin's one exported symbol: a new Qt window system that the caller owns
// (and deletes through WindowSystem's virtual destructor), or null with the
// reason in `failure` (when non-null) if no window can be shown on this
// machine: no display named, or the one named does not answer. From then on
// Qt's messages go to `messages` (when non-null).
extern "C" postwarden::PluginWindowSystem* PostwardenCreateQtWindowSystem(
    std::string* failure, postwarden::ToolkitMessageHandler messages);
