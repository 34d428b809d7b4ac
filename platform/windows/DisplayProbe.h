#pragma once

namespace postwarden {

// Whether the display the environment names accepts a connection, tried with a
// time limit of a second, so that a display that is set but gone is noticed
// before a toolkit gives up on it (Qt ends the process then).

// $WAYLAND_DISPLAY: a socket path, absolute or relative to $XDG_RUNTIME_DIR.
bool WaylandDisplayReachable();
// $DISPLAY: ":N" (or "unix:N") on this machine's X socket, "host:N" on TCP
// port 6000+N.
bool X11DisplayReachable();

}  // namespace postwarden
