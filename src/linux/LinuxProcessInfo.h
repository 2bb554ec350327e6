#pragma once
#include <string>

#include "platform/ProcessInfo.h"

namespace kestrova {

// Image paths from /proc/<pid>/exe. The kernel's text is returned as is, so a
// binary that was deleted or replaced since the process started reads
// "/path (deleted)": for someone watching who talks to the network, a program
// whose file is gone is worth seeing, and the bare path would name a
// different file.
class LinuxProcessInfo : public ProcessInfo {
public:
    std::string imagePath(std::int64_t pid) override;
};

}  // namespace kestrova
