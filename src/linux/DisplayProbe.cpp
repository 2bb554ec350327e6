#include "linux/DisplayProbe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstring>
#include <string>

namespace kestrova {

bool xDisplayReachable(const char* display) {
    // The library the window's platform uses itself: the same display name
    // rules, the same authorisation from XAUTHORITY.
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

bool waylandDisplayReachable(const char* display, const char* runtimeDirectory) {
    if (!display || !*display) return false;
    std::string path = display;
    if (path.front() != '/') {
        if (!runtimeDirectory || !*runtimeDirectory) return false;
        path = std::string(runtimeDirectory) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool reachable = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return reachable;
}

}  // namespace kestrova
