#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/ProcessInfo.h"

namespace kestrova {

inline constexpr std::string_view IDLE_PROCESS_NAME = "System Idle Process";
inline constexpr std::string_view SYSTEM_PROCESS_NAME = "System";

// The text shown for the owner of a new row: the image path when one was
// found, otherwise the stand-in names for process 0 (the kernel's own
// sockets) and for the rest, kPidNotVisible among them.
std::string ownerDisplayName(const std::string& imagePath, std::int64_t pid);

// The log line that names the program behind a process id.
std::string processLine(std::int64_t pid, std::string_view path);

}  // namespace kestrova
