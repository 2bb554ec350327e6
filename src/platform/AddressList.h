#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova {

// One IPv4 or IPv6 address of a local interface.
struct LocalAddress {
    std::string interfaceName;
    IpAddress address;
    bool loopback = false;  // the interface is a loopback interface

    bool operator==(const LocalAddress&) const = default;
};

// The machine's local addresses: the IPv4 ones, and the IPv6 ones after them
// where IPv6 is dealt with.
class AddressList {
public:
    virtual ~AddressList() = default;
    // The addresses of the interfaces that are up, in the order the system
    // gives them, which stays the same from one query to the next while
    // nothing changes; nothing when the list cannot be read.
    virtual std::optional<std::vector<LocalAddress>> query() = 0;
};

}  // namespace kestrova
