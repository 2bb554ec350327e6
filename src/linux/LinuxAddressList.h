#pragma once
#include "platform/AddressList.h"

namespace kestrova {

// The IPv4 addresses of the interfaces that are up, from getifaddrs, in the
// kernel's order: by interface index, then as the addresses were added.
class LinuxAddressList : public AddressList {
public:
    std::optional<std::vector<LocalAddress>> query() override;
};

}  // namespace kestrova
