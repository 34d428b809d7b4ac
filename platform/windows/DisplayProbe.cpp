#include "platform/windows/DisplayProbe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Environment.h"

namespace postwarden {

namespace {

constexpr int kConnectTimeoutMilliseconds = 1000;

// Connects a socket of `address` with a time limit; true when it was accepted.
bool Connects(int family, const sockaddr* address, socklen_t length) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    bool connected = ::connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd poll{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::poll(&poll, 1, kConnectTimeoutMilliseconds) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return connected;
}

// `abstractName` uses Linux's abstract socket namespace (leading NUL).
bool UnixSocketAccepts(const std::string& path, bool abstractName) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstractName ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstractName ? 0 : 1));
    return Connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length);
}

bool TcpAccepts(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return false;
    }
    bool accepted = false;
    for (addrinfo* at = found; at && !accepted; at = at->ai_next) {
        accepted = Connects(at->ai_family, at->ai_addr, at->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return accepted;
}

}  // namespace

bool WaylandDisplayReachable() {
    const std::string display = Environment("WAYLAND_DISPLAY");
    if (display.empty()) return false;
    if (display[0] == '/') return UnixSocketAccepts(display, false);
    const std::string runtime = Environment("XDG_RUNTIME_DIR");
    return !runtime.empty() && UnixSocketAccepts(runtime + "/" + display, false);
}

bool X11DisplayReachable() {
    const std::string display = Environment("DISPLAY");
    // [host]:number[.screen]; "unix" and an empty host mean this machine's socket.
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = display.substr(0, colon);
    const std::string rest = display.substr(colon + 1);
    char* end = nullptr;
    const long number = std::strtol(rest.c_str(), &end, 10);
    if (end == rest.c_str() || number < 0 || number > 65535 - 6000) return false;
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        return UnixSocketAccepts(socket, true) || UnixSocketAccepts(socket, false);
    }
    return TcpAccepts(host, 6000 + static_cast<int>(number));
}

}  // namespace postwarden
