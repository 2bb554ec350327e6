#include "linux/InterfaceAddresses.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "linux/NetlinkRequest.h"

namespace kestrova {

namespace {

struct Device {
    std::string name;
    unsigned flags = 0;
};

// Names and flags of the devices by interface index. getifaddrs gives each
// device once as a link-layer entry, whose address holds its index.
std::optional<std::map<unsigned, Device>> devices() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::map<unsigned, Device> out;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET || !entry->ifa_name) continue;
        sockaddr_ll link;
        std::memcpy(&link, entry->ifa_addr, sizeof link);
        if (link.sll_ifindex > 0) out[static_cast<unsigned>(link.sll_ifindex)] = {entry->ifa_name, entry->ifa_flags};
    }
    freeifaddrs(list);
    return out;
}

IpAddress addressOf(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (length == 4) return IpAddress(bytes[0], bytes[1], bytes[2], bytes[3]);
    IpAddress::Ipv6Bytes ipv6;
    std::memcpy(ipv6.data(), bytes, ipv6.size());
    return IpAddress::fromIpv6(ipv6);
}

struct Dumped {
    unsigned index;
    std::string label;
    IpAddress address;
};

// The kernel's address dump of one family (AF_INET or AF_INET6): index,
// label and local address of each.
std::optional<std::vector<Dumped>> dumpAddresses(unsigned char family) {
    const std::size_t addressLength = family == AF_INET ? 4 : 16;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return std::nullopt;
    constexpr std::uint32_t kSeq = 1;
    ifaddrmsg request{};
    request.ifa_family = family;
    if (sendNetlinkDump(fd, kSeq, RTM_GETADDR, request) != 0) {
        close(fd);
        return std::nullopt;
    }
    std::vector<Dumped> out;
    alignas(nlmsghdr) char buffer[32768];
    while (true) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t count =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0 || from.nl_pid != 0) break;
        std::size_t left = static_cast<std::size_t>(count);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != kSeq) continue;
            if (header->nlmsg_type == NLMSG_DONE) {
                close(fd);
                return out;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                close(fd);
                return std::nullopt;
            }
            if (header->nlmsg_type != RTM_NEWADDR || header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) continue;
            const auto* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
            if (message->ifa_family != family) continue;
            Dumped entry{message->ifa_index, {}, {}};
            bool haveLocal = false, haveAddress = false;
            int attributesLeft = static_cast<int>(IFA_PAYLOAD(header));
            for (const rtattr* attribute = IFA_RTA(message); RTA_OK(attribute, attributesLeft);
                 attribute = RTA_NEXT(attribute, attributesLeft)) {
                const std::size_t length = RTA_PAYLOAD(attribute);
                // The local address is IFA_LOCAL; IFA_ADDRESS is the peer's
                // on a point-to-point link and the same otherwise.
                if ((attribute->rta_type == IFA_LOCAL || (attribute->rta_type == IFA_ADDRESS && !haveLocal)) &&
                    length == addressLength) {
                    entry.address = addressOf(RTA_DATA(attribute), addressLength);
                    (attribute->rta_type == IFA_LOCAL ? haveLocal : haveAddress) = true;
                } else if (attribute->rta_type == IFA_LABEL && length > 0) {
                    entry.label.assign(static_cast<const char*>(RTA_DATA(attribute)),
                                       strnlen(static_cast<const char*>(RTA_DATA(attribute)), length));
                }
            }
            if (haveLocal || haveAddress) out.push_back(std::move(entry));
        }
    }
    close(fd);
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> interfaceAddresses(IpFamilies families) {
    auto dumped = dumpAddresses(AF_INET);
    if (dumped && families == IpFamilies::Ipv4AndIpv6) {
        const auto ipv6 = dumpAddresses(AF_INET6);
        if (ipv6)
            dumped->insert(dumped->end(), ipv6->begin(), ipv6->end());
        else
            dumped.reset();
    }
    const auto known = devices();
    if (!dumped || !known) return std::nullopt;
    std::vector<InterfaceAddress> out;
    for (const Dumped& entry : *dumped) {
        const auto device = known->find(entry.index);
        if (device == known->end()) continue;  // went away between the two reads
        InterfaceAddress address;
        address.index = entry.index;
        address.device = device->second.name;
        address.label = entry.label.empty() ? device->second.name : entry.label;
        address.address = entry.address;
        address.up = (device->second.flags & IFF_UP) != 0;
        address.loopback = (device->second.flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(address));
    }
    return out;
}

}  // namespace kestrova
