#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// One IPv4 address of a network device, as the kernel lists it.
struct InterfaceAddress {
    unsigned index = 0;              // the device's interface index
    std::string device;              // the device's name, what a capture opens
    std::string label;               // the address's label: the device's name, or an alias such as eth0:1
    std::array<std::uint8_t, 4> address{};
    bool up = false;
    bool loopback = false;
};

// Every IPv4 address of the machine's devices, in the kernel's order: by
// interface index, then as the addresses were added. Labelled addresses
// (eth0:1) are given with the device that holds them. Nothing when the
// kernel cannot be asked.
std::optional<std::vector<InterfaceAddress>> interfaceAddresses();

}  // namespace kestrova
