#pragma once
#include <string>

#include "platform/VersionInfo.h"

namespace kestrova {

class LinuxVersionInfo : public VersionInfo {
public:
    std::optional<SystemVersion> query() override;
    // True when /proc/self/fd can be listed (owning processes) and the TCP
    // table is reachable through sock_diag netlink or /proc/net/tcp.
    bool kernelInterfacesPresent() override;
    std::string kernelCheckFailure() override { return failure_; }

private:
    std::string failure_;
};

}  // namespace kestrova
