#include "linux/LinuxHostResolver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <cstring>
#include <vector>

namespace kestrova {

namespace {

// A name from /etc/hosts has no length limit, and getnameinfo fails rather
// than cut one that does not fit; the caller decides how much of it to show.
constexpr socklen_t kLargeNameBuffer = 64 * 1024;

int lookup(const sockaddr_storage& socketAddress, socklen_t length, char* name, socklen_t size) {
    return getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), length, name, size, nullptr, 0,
                       NI_NAMEREQD);
}

// The interface of a zone as the address texts write it: its name, or the
// number of an interface that has none.
std::uint32_t zoneIndex(const std::string& zone) {
    if (const unsigned index = if_nametoindex(zone.c_str())) return index;
    std::uint32_t number = 0;
    const auto [end, error] = std::from_chars(zone.data(), zone.data() + zone.size(), number);
    return error == std::errc{} && end == zone.data() + zone.size() ? number : 0;
}

// The socket address of an address text as the rows write it: strict dotted
// decimal, nothing inet_aton's older forms would also accept, or an IPv6
// address, with the zone of a link-local one. Zero length when it is none.
socklen_t parseAddress(std::string_view address, sockaddr_storage& socketAddress) {
    const std::size_t percent = address.find('%');
    const std::string text(address.substr(0, percent));
    if (text.find(':') == std::string::npos) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(socketAddress);
        v4.sin_family = AF_INET;
        if (percent != std::string_view::npos || inet_pton(AF_INET, text.c_str(), &v4.sin_addr) != 1) return 0;
        return sizeof v4;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(socketAddress);
    v6.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) != 1) return 0;
    if (percent != std::string_view::npos) {
        // Which link a link-local address is on: the same address may name
        // another host on another link.
        v6.sin6_scope_id = zoneIndex(std::string(address.substr(percent + 1)));
        if (v6.sin6_scope_id == 0) return 0;
    }
    return sizeof v6;
}

}  // namespace

std::optional<std::string> LinuxHostResolver::reverseLookup(std::string_view address) {
    if (address.empty() || address.size() > INET6_ADDRSTRLEN + IF_NAMESIZE || address.find('\0') != address.npos)
        return std::nullopt;
    sockaddr_storage socketAddress{};
    const socklen_t length = parseAddress(address, socketAddress);
    if (length == 0) return std::nullopt;

    char name[NI_MAXHOST];
    int result = lookup(socketAddress, length, name, sizeof name);
    if (result == 0) return std::string(name);
    if (result != EAI_OVERFLOW) return std::nullopt;
    std::vector<char> large(kLargeNameBuffer);
    if (lookup(socketAddress, length, large.data(), kLargeNameBuffer) != 0) return std::nullopt;
    return std::string(large.data());
}

}  // namespace kestrova
