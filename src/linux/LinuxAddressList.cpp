#include "linux/LinuxAddressList.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace kestrova {

std::optional<std::vector<LocalAddress>> LinuxAddressList::query() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::vector<LocalAddress> addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
        if (!(entry->ifa_flags & IFF_UP)) continue;
        LocalAddress address;
        address.interfaceName = entry->ifa_name;
        sockaddr_in inet;
        std::memcpy(&inet, entry->ifa_addr, sizeof inet);
        std::memcpy(address.address.data(), &inet.sin_addr, 4);
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        addresses.push_back(std::move(address));
    }
    freeifaddrs(list);
    return addresses;
}

}  // namespace kestrova
