#pragma once
#include "platform/AddressList.h"

namespace kestrova {

// The IPv4 addresses of the interfaces that are up, from the kernel, in the
// kernel's order: by interface index, then as the addresses were added;
// each named by the device that holds it, labels (eth0:1) included.
class LinuxAddressList : public AddressList {
public:
    std::optional<std::vector<LocalAddress>> query() override;
};

}  // namespace kestrova
