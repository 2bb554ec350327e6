#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// The profile section and the two values that stand for a stored yes/no.
// Only the exact "yes" value reads back as true, so a hand-edited 1 is off.
inline constexpr std::string_view PROFILE_SECTION = "1040315";
inline constexpr std::int32_t PROFILE_TRUE = 1040315;
inline constexpr std::int32_t PROFILE_FALSE = 36;

constexpr std::int32_t encodeFlag(bool on) { return on ? PROFILE_TRUE : PROFILE_FALSE; }
constexpr bool decodeFlag(std::int32_t stored) { return stored == PROFILE_TRUE; }

// What the user can change and keep between runs. Strings are UTF-8.
struct Settings {
    bool showHostname = false;
    bool alwaysOnTop = true;
    bool checkPacket = false;
    std::int32_t alpha = 180;
    std::string activeMark = "▼";
    std::int32_t netstatInterval = 100;

    bool operator==(const Settings&) const = default;
};

// Options given for one run, on the command line: they stand in for what the
// profile says, as the menu would have set them. Nothing writes them to the
// profile but what writes every option there (the window's exit).
struct SettingsOverrides {
    std::optional<std::int32_t> netstatInterval;
    bool checkPacket = false;
    bool showHostname = false;

    void applyTo(Settings& settings) const {
        if (netstatInterval) settings.netstatInterval = *netstatInterval;
        if (checkPacket) settings.checkPacket = true;
        if (showHostname) settings.showHostname = true;
    }
};

}  // namespace kestrova
