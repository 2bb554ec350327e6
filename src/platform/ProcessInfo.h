#pragma once
#include <cstdint>
#include <string>

namespace kestrova {

// Facts about running processes.
class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;
    // Full path of the executable image of `pid`; empty when the process is
    // gone or may not be inspected.
    virtual std::string imagePath(std::int64_t pid) = 0;
};

}  // namespace kestrova
