#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// One IPv4 address of a local interface.
struct LocalAddress {
    std::string interfaceName;
    std::array<std::uint8_t, 4> address{};  // first octet first
    bool loopback = false;                  // the interface is a loopback interface

    bool operator==(const LocalAddress&) const = default;
};

// The machine's local IPv4 addresses.
class AddressList {
public:
    virtual ~AddressList() = default;
    // The addresses of the interfaces that are up, in the order the system
    // gives them, which stays the same from one query to the next while
    // nothing changes; nothing when the list cannot be read.
    virtual std::optional<std::vector<LocalAddress>> query() = 0;
};

}  // namespace kestrova
