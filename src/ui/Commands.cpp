#include "ui/Commands.h"

#include <cmath>

namespace kestrova {

std::vector<MenuEntry> buildCommandMenu(const Settings& s, bool layeredCapable) {
    auto item = [](std::string_view caption, CommandCode code, bool checked = false, bool enabled = true) {
        return MenuEntry{false, std::string(caption), code, checked, enabled};
    };
    const MenuEntry separator{true, "", CommandCode{}, false, true};
    std::vector<MenuEntry> menu;
    menu.push_back(item("always on Top...", CMD_ALWAYS_ON_TOP, s.alwaysOnTop));
    menu.push_back(item("show HostName...", CMD_SHOW_HOSTNAME, s.showHostname));
    menu.push_back(separator);
    if (layeredCapable) {
        // Equality, not ranges: the menu is what keeps alpha between 10 and 250.
        menu.push_back(item(shownText(UiText::LessTransparent), CMD_LESS_TRANSPARENT, false, s.alpha != 250));
        menu.push_back(item(shownText(UiText::MoreTransparent), CMD_MORE_TRANSPARENT, false, s.alpha != 10));
        menu.push_back(separator);
    }
    menu.push_back(item("check Packet...", CMD_CHECK_PACKET, s.checkPacket));
    menu.push_back(separator);
    menu.push_back(item("change Active Mark...", CMD_CYCLE_MARK));
    menu.push_back(item("change netstat Interval...", CMD_CYCLE_INTERVAL));
    menu.push_back(separator);
    menu.push_back(item("exit Kestrova...", CMD_EXIT));
    return menu;
}

std::string nextActiveMark(std::string_view mark) {
    for (std::size_t i = 0; i + 1 < ACTIVE_MARKS.size(); ++i)
        if (mark == ACTIVE_MARKS[i]) return std::string(ACTIVE_MARKS[i + 1]);
    return std::string(ACTIVE_MARKS[0]);
}

std::int32_t nextInterval(std::int32_t interval) {
    for (std::size_t i = 0; i + 1 < INTERVAL_STEPS.size(); ++i)
        if (interval == INTERVAL_STEPS[i]) return INTERVAL_STEPS[i + 1];
    return INTERVAL_STEPS[0];
}

std::string windowTitle(int rows, std::int32_t intervalMs) {
    return formatText(UiText::WindowTitle, {VERSION_TEXT, std::to_string(rows), std::to_string(intervalMs)});
}

PaneLayout layoutPanes(int cx, int cy) {
    const double listHeight = 0.72 * cy;
    const int width = static_cast<int>(std::trunc(0.975 * cx));
    return {
        {10, 15, width, static_cast<int>(std::trunc(listHeight))},
        {10, 25 + static_cast<int>(std::trunc(listHeight)), width,
         static_cast<int>(std::trunc(cy - (listHeight + 34)))},
    };
}

}  // namespace kestrova
