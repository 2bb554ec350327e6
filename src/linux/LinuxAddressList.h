#pragma once
#include "platform/AddressList.h"

namespace kestrova {

// The IPv4 addresses of the interfaces that are up, from the kernel, in the
// kernel's order: by interface index, then as the addresses were added;
// each named by the device that holds it, labels (eth0:1) included. With
// Ipv4AndIpv6 the IPv6 addresses of those interfaces follow, in the kernel's
// order too.
class LinuxAddressList : public AddressList {
public:
    explicit LinuxAddressList(IpFamilies families = IpFamilies::Ipv4) : families_(families) {}
    std::optional<std::vector<LocalAddress>> query() override;

private:
    IpFamilies families_;
};

}  // namespace kestrova
