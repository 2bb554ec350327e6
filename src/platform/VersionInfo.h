#pragma once
#include <optional>
#include <string>

namespace kestrova {

// The running system as uname(2) describes it.
struct SystemVersion {
    std::string sysname;  // "Linux"
    std::string release;  // "6.1.0-18-amd64"
    std::string machine;  // "x86_64"
};

class VersionInfo {
public:
    virtual ~VersionInfo() = default;
    virtual std::optional<SystemVersion> query() = 0;
    // Whether the kernel offers what the monitor reads: the TCP socket table
    // (sock_diag or /proc/net/tcp) and the per-process /proc entries.
    virtual bool kernelInterfacesPresent() = 0;
    // Why the last kernelInterfacesPresent() could not tell, as "what: why"
    // (the process had run out of descriptors, say); empty when it could.
    virtual std::string kernelCheckFailure() { return {}; }
};

}  // namespace kestrova
