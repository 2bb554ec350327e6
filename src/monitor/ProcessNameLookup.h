#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ProcessInfo.h"

namespace kestrova {

inline constexpr std::string_view IDLE_PROCESS_NAME = "System Idle Process";
inline constexpr std::string_view SYSTEM_PROCESS_NAME = "System";

// The text shown for the owner of a new row: the image path when one was
// found, otherwise the stand-in names for process 0 (the kernel's own
// sockets) and for a process whose path cannot be read (one that has just
// ended, say). kPidNotVisible is named by socketOwnerName instead.
std::string ownerDisplayName(const std::string& imagePath, std::int64_t pid);

// The last component of a control group's path, the name of the service,
// scope or container that made the group ("/system.slice/sshd.service" ->
// "sshd.service"); empty for the root group.
std::string_view controlGroupName(std::string_view path);

// The text shown for the owner of a socket whose process may not be inspected:
// the socket's control group and user, "<group> (<user>)", or
// "System (<user>)" when the group is the root group or not known. The user is
// the account name of `uid`, or the number when it has none. Both names are
// shown as text (displayableText).
std::string socketOwnerName(const std::optional<std::string>& groupPath, const std::optional<std::string>& user,
                            std::uint32_t uid);

// The log line that names the program behind a process id.
std::string processLine(std::int64_t pid, std::string_view path);

}  // namespace kestrova
