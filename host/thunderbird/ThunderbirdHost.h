#pragma once

// host/thunderbird/: the Thunderbird side of Postwarden: the native-messaging
// host the add-on asks before every send, and the names that tie the add-on,
// the host's manifest and the `thunderbird` command together (below).
//   ThunderbirdHost.h/.cpp     one send per request through the module
//   ThunderbirdHostMain.cpp    postwarden-thunderbird-host, the program Thunderbird runs
//   ThunderbirdFrames.h/.cpp   the length-prefixed JSON messages on stdin/stdout
//   ThunderbirdCompose.h/.cpp  the add-on's request, and the message made from it
//   ThunderbirdSetup.h/.cpp    what Thunderbird's own files say about the set-up
//   ThunderbirdCommand.cpp     `postwarden thunderbird install|uninstall`

#include <cstddef>
#include <string>
#include <vector>

namespace postwarden::host {

// The native-messaging name the add-on asks for; also the manifest's file name.
inline constexpr const char* kNativeHostName = "postwarden";
// The add-on's id (integrations/thunderbird/manifest.json), the one add-on the
// host's manifest lets in; also the file name of the side-loaded .xpi.
inline constexpr const char* kAddonId = "postwarden@postwarden";
// The host program and the packed add-on, built beside `postwarden`.
inline constexpr const char* kNativeHostProgram = "postwarden-thunderbird-host";
inline constexpr const char* kAddonPackage = "postwarden-thunderbird.xpi";

// The largest request read: a message body with its pictures inline fits; a
// request beyond it is answered with an error, and the send is held.
inline constexpr size_t kMaxRequestBytes = 64u << 20;

// Runs the native host as Thunderbird starts it (`args`: the manifest's path
// and the add-on's id): answers each request on standard input with whether
// that send may go ahead, until the input ends. Standard output carries the
// answers and nothing else. Returns the exit status: 0 when the input ended
// between requests, 1 when it broke off or could not be read, 2 when started
// some other way than by Thunderbird.
int RunNativeHost(const std::vector<std::string>& args);

}  // namespace postwarden::host
