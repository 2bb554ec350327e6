#include "linux/LinuxAddressList.h"

#include "linux/InterfaceAddresses.h"

namespace kestrova {

std::optional<std::vector<LocalAddress>> LinuxAddressList::query() {
    const auto all = interfaceAddresses(families_);
    if (!all) return std::nullopt;
    std::vector<LocalAddress> addresses;
    for (const InterfaceAddress& entry : *all) {
        if (!entry.up) continue;
        // A labelled address (eth0:1) is captured on the device that holds it.
        addresses.push_back(LocalAddress{entry.device, entry.address, entry.loopback});
    }
    return addresses;
}

}  // namespace kestrova
