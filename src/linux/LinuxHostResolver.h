#pragma once
#include "platform/HostResolver.h"

namespace kestrova {

// Reverse lookups through getnameinfo, so they follow the machine's
// nsswitch.conf: /etc/hosts, DNS, mDNS or whatever else it names.
class LinuxHostResolver : public HostResolver {
public:
    std::optional<std::string> reverseLookup(std::string_view address) override;
};

}  // namespace kestrova
