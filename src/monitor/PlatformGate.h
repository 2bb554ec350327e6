#pragma once
#include <optional>
#include <string_view>

#include "monitor/PlatformVerdict.h"
#include "platform/VersionInfo.h"

namespace kestrova {

// Decides whether the monitor can run here: it needs a Linux kernel that
// offers the connection table and per-process entries. Translucency depends
// on the window system and is only claimed for a supported system.
// `system` is nullopt when uname failed; the description is then
// "unknown system". `checkFailure` names what could not be checked when the
// interfaces were not found (see VersionInfo::kernelCheckFailure).
PlatformVerdict classifyLinux(const std::optional<SystemVersion>& system, bool kernelInterfacesPresent,
                              bool translucencySupported, std::string_view checkFailure = {});

}  // namespace kestrova
