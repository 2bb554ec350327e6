#pragma once
#include <memory>
#include <optional>
#include <stop_token>
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

// Tells when the machine's addresses may have changed.
class AddressWatch {
public:
    virtual ~AddressWatch() = default;
    // Blocks until the addresses (or the interfaces that hold them) may have
    // changed since the watch began or the last wait returned: true. False
    // once `stop` is requested, or when the watch fails for good.
    virtual bool wait(std::stop_token stop) = 0;
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
    // Begins watching for changes of the addresses; made before the query it
    // is to follow, no change falls between the two. Nothing where changes
    // cannot be watched.
    virtual std::unique_ptr<AddressWatch> watch() { return nullptr; }
};

}  // namespace kestrova
