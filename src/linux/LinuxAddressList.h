#pragma once
#include "platform/AddressList.h"

namespace kestrova {

// The IPv4 addresses of the interfaces that are up, from the kernel, in the
// kernel's order: by interface index, then as the addresses were added;
// each named by the device that holds it, labels (eth0:1) included. With
// Ipv4AndIpv6 the IPv6 addresses of those interfaces follow, in the kernel's
// order too.
//
// Changes are watched on a route netlink socket of the calling thread's
// network namespace: addresses added and removed, interfaces that come and
// go or go up and down.
class LinuxAddressList : public AddressList {
public:
    explicit LinuxAddressList(IpFamilies families = IpFamilies::Ipv4) : families_(families) {}
    std::optional<std::vector<LocalAddress>> query() override;
    std::unique_ptr<AddressWatch> watch() override;

private:
    IpFamilies families_;
};

}  // namespace kestrova
