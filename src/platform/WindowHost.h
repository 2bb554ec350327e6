#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

enum class Pane { ConnectionList, EventLog };

struct Point {
    int x = 0, y = 0;
};

// One entry of a popup menu; a separator has no caption and code 0.
struct MenuEntry {
    bool separator = false;
    std::string caption;
    std::uint32_t code = 0;
    bool checked = false;
    bool enabled = true;

    bool operator==(const MenuEntry&) const = default;
};

// What the main window's logic needs from the windowing system. The toolkit's
// window implements it and forwards its own events to MainDialog.
class WindowHost {
public:
    virtual ~WindowHost() = default;
    virtual void setTitle(const std::string& title) = 0;
    // Arms timer `id` with `periodMs`, replacing the period of an armed one.
    virtual void setTimer(std::uint32_t id, std::int32_t periodMs) = 0;
    virtual void killTimer(std::uint32_t id) = 0;
    // A close request, handled after the current message; nothing is saved.
    virtual void postClose() = 0;
    // Queues a system command for the window; it is routed after the current
    // message like any other.
    virtual void postSysCommand(std::uint32_t code) = 0;
    // Modal information box with an OK button, captioned with the program name.
    virtual void showInformation(const std::string& text) = 0;
    // Shows the popup menu at `at` (screen coordinates; (-1, -1) means "where
    // the keyboard focus is") and returns the chosen code, 0 when dismissed.
    virtual std::uint32_t trackPopupMenu(const std::vector<MenuEntry>& entries, Point at) = 0;
    virtual void runAboutBox() = 0;
    virtual void movePane(Pane pane, int x, int y, int width, int height) = 0;
    virtual void applyTopmost(bool onTop) = 0;
    // Opacity of the whole window, 0 transparent .. 255 opaque.
    virtual void applyOpacity(std::uint8_t alpha) = 0;
    // Whether the window system can make windows translucent.
    virtual bool supportsOpacity() = 0;
};

}  // namespace kestrova
