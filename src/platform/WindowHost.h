#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

enum class Pane { ConnectionList, EventLog };

// A timer of the event loop, known by its id.
enum class TimerId : std::uint32_t {};
// A command sent to the window: About, or an entry of its command menu. 0 is
// the choice of a dismissed menu.
enum class CommandCode : std::uint32_t {};

struct Point {
    int x = 0, y = 0;
};

// One entry of a popup menu; a separator has no caption and code 0.
struct MenuEntry {
    bool separator = false;
    std::string caption;
    CommandCode code{};
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
    virtual void setTimer(TimerId id, std::int32_t periodMs) = 0;
    virtual void killTimer(TimerId id) = 0;
    // A close request, handled after the current message; nothing is saved.
    virtual void postClose() = 0;
    // Queues a system command for the window; it is routed after the current
    // message like any other.
    virtual void postSysCommand(CommandCode code) = 0;
    // Modal information box with an OK button, captioned with the program name.
    virtual void showInformation(const std::string& text) = 0;
    // Shows the popup menu at `at` (screen coordinates; (-1, -1) means "where
    // the keyboard focus is") and returns the chosen code, 0 when dismissed.
    virtual CommandCode trackPopupMenu(const std::vector<MenuEntry>& entries, Point at) = 0;
    virtual void runAboutBox() = 0;
    virtual void movePane(Pane pane, int x, int y, int width, int height) = 0;
    virtual void applyTopmost(bool onTop) = 0;
    // Opacity of the whole window, 0 transparent .. 255 opaque.
    virtual void applyOpacity(std::uint8_t alpha) = 0;
    // Whether the window system can make windows translucent.
    virtual bool supportsOpacity() = 0;
};

}  // namespace kestrova
