#include "linux/LinuxHostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

namespace kestrova {

namespace {

// A name from /etc/hosts has no length limit, and getnameinfo fails rather
// than cut one that does not fit; the caller decides how much of it to show.
constexpr socklen_t kLargeNameBuffer = 64 * 1024;

int lookup(const sockaddr_in& socketAddress, char* name, socklen_t size) {
    return getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress, name, size, nullptr,
                       0, NI_NAMEREQD);
}

}  // namespace

std::optional<std::string> LinuxHostResolver::reverseLookup(std::string_view address) {
    char text[INET_ADDRSTRLEN] = {};
    if (address.empty() || address.size() >= sizeof text) return std::nullopt;
    std::memcpy(text, address.data(), address.size());
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    // Strict dotted decimal: what the refresh writes, nothing inet_aton's
    // older forms would also accept.
    if (inet_pton(AF_INET, text, &socketAddress.sin_addr) != 1) return std::nullopt;

    char name[NI_MAXHOST];
    int result = lookup(socketAddress, name, sizeof name);
    if (result == 0) return std::string(name);
    if (result != EAI_OVERFLOW) return std::nullopt;
    std::vector<char> large(kLargeNameBuffer);
    if (lookup(socketAddress, large.data(), kLargeNameBuffer) != 0) return std::nullopt;
    return std::string(large.data());
}

}  // namespace kestrova
