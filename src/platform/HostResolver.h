#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// Reverse name lookups of IP addresses.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // The primary name of the host at `address` (an address text as the
    // rows hold it: dotted decimal, or IPv6 with the zone of a link-local
    // address), exactly as the system's resolver gives it, or nothing when
    // it has none or the address is not one. Blocks for as long as the lookup takes, which may be
    // many seconds; may be called from several threads at once.
    virtual std::optional<std::string> reverseLookup(std::string_view address) = 0;
};

}  // namespace kestrova
