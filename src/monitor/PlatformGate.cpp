#include "monitor/PlatformGate.h"

#include <string>

namespace kestrova {
namespace {

constexpr std::string_view UNKNOWN_SYSTEM = "unknown system";

// "<sysname> <release> <machine>", leaving out empty fields so that a
// sparse uname answer does not produce doubled blanks.
std::string describe(const SystemVersion& system) {
    std::string description;
    for (const std::string* part : {&system.sysname, &system.release, &system.machine}) {
        if (part->empty()) continue;
        if (!description.empty()) description += ' ';
        description += *part;
    }
    return description.empty() ? std::string(UNKNOWN_SYSTEM) : description;
}

}  // namespace

PlatformVerdict classifyLinux(const std::optional<SystemVersion>& system, bool kernelInterfacesPresent,
                              bool translucencySupported, std::string_view checkFailure) {
    PlatformVerdict verdict;
    if (!system) {
        verdict.osDescription = std::string(UNKNOWN_SYSTEM);
        return verdict;
    }
    verdict.osSupported = system->sysname == "Linux" && kernelInterfacesPresent;
    verdict.layeredCapable = verdict.osSupported && translucencySupported;
    verdict.osDescription = describe(*system);
    if (system->sysname == "Linux" && !kernelInterfacesPresent) verdict.checkFailure = checkFailure;
    return verdict;
}

}  // namespace kestrova
