#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options/Settings.h"
#include "text/UiTexts.h"
#include "platform/WindowHost.h"

namespace kestrova {

// Identifiers of the window: timers and system-command codes.
inline constexpr TimerId TIMER_REFRESH{1040415};
inline constexpr TimerId TIMER_RESOLVE{1040416};
inline constexpr std::int32_t RESOLVE_PERIOD_MS = 10000;
inline constexpr CommandCode CMD_ABOUT{0x10};
inline constexpr CommandCode CMD_SHOW_HOSTNAME{1040316};
inline constexpr CommandCode CMD_EXIT{1040317};
inline constexpr CommandCode CMD_ALWAYS_ON_TOP{1040318};
inline constexpr CommandCode CMD_LESS_TRANSPARENT{1040319};
inline constexpr CommandCode CMD_MORE_TRANSPARENT{1040320};
inline constexpr CommandCode CMD_CHECK_PACKET{1040321};
inline constexpr CommandCode CMD_CYCLE_MARK{1040322};
inline constexpr CommandCode CMD_CYCLE_INTERVAL{1040323};

// About answers to every code of its sixteen (0x10 to 0x1F).
constexpr bool isAboutCode(CommandCode code) {
    return (static_cast<std::uint32_t>(code) & 0xFFF0) == static_cast<std::uint32_t>(CMD_ABOUT);
}

// As written; the window shows shownText of the same texts.
inline constexpr std::string_view ABOUT_ENTRY_CAPTION = sourceOf(UiText::AboutEntry);
inline constexpr std::string_view ABOUT_BOX_CAPTION = sourceOf(UiText::AboutCaption);
inline constexpr std::string_view ABOUT_BOX_VERSION = "Kestrova Version 1.0";
// The program's version as the title and --version show it.
inline constexpr std::string_view VERSION_TEXT = "Kestrova Version 2.00";
inline constexpr std::string_view INITIAL_CAPTION = "Kestrova";

inline constexpr std::array<std::string_view, 5> ACTIVE_MARKS = {"▼", "(>з<)", "→", "これ", "(-д-)"};
inline constexpr std::array<std::int32_t, 5> INTERVAL_STEPS = {100, 500, 1000, 5000, 10000};
inline constexpr std::int32_t ALPHA_STEP = 10;

// The popup command menu as it stands for the current options.
std::vector<MenuEntry> buildCommandMenu(const Settings& settings, bool layeredCapable);

std::string nextActiveMark(std::string_view mark);
std::int32_t nextInterval(std::int32_t interval);
std::string windowTitle(int rows, std::int32_t intervalMs);

// Where the two panes go in a client area of cx by cy pixels. Heights may be
// negative in a very small window; they are passed on as computed.
struct PaneGeometry {
    int x, y, width, height;
    bool operator==(const PaneGeometry&) const = default;
};
struct PaneLayout {
    PaneGeometry connections, log;
};
PaneLayout layoutPanes(int cx, int cy);

}  // namespace kestrova
