#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/PlatformVerdict.h"

namespace kestrova {

// What the Windows version query reports. `extended` tells whether the
// detailed form (suite mask, product type) was available; without it those
// two fields are meaningless.
struct WindowsVersionRecord {
    bool extended = false;
    std::uint32_t platformId = 0;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::string servicePack;
    std::uint16_t suiteMask = 0;
    std::uint8_t productType = 0;
};

// Registry values consulted for systems without the detailed version query.
struct RegistryProbes {
    // The ProductOptions "ProductType" text; nullopt when the key or the
    // value cannot be read, or the value is longer than 80 bytes.
    std::optional<std::string> productType;
    bool hotfixQ246009Present = false;
};

// Longest description produced, in bytes.
inline constexpr std::size_t MAX_OS_DESCRIPTION_BYTES = 511;

// Names the Windows system and decides whether the program runs on it:
// only the NT line from NT 4 up to XP is accepted, and only XP can use
// translucent windows. `record` is nullopt when both version queries failed.
PlatformVerdict classifyWindows(const std::optional<WindowsVersionRecord>& record, const RegistryProbes& probes);

}  // namespace kestrova
