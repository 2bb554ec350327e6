#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova {

// One IPv4 or IPv6 address of a network device, as the kernel lists it.
struct InterfaceAddress {
    unsigned index = 0;              // the device's interface index
    std::string device;              // the device's name, what a capture opens
    std::string label;               // the address's label: the device's name, or an alias such as eth0:1
    IpAddress address;
    bool up = false;
    bool loopback = false;
};

// Every IPv4 address of the machine's devices, in the kernel's order: by
// interface index, then as the addresses were added; with Ipv4AndIpv6 every
// IPv6 address after them, in the kernel's order too (by interface index,
// each device's addresses as it keeps them). Labelled addresses (eth0:1) are
// given with the device that holds them. Nothing when the kernel cannot be
// asked.
std::optional<std::vector<InterfaceAddress>> interfaceAddresses(IpFamilies families = IpFamilies::Ipv4);

}  // namespace kestrova
