#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "monitor/ConnectionList.h"
#include "monitor/RefreshCycle.h"
#include "options/ProfileStore.h"
#include "options/Settings.h"
#include "platform/Clock.h"
#include "platform/ConnectionTable.h"
#include "platform/ProcessInfo.h"
#include "platform/VersionInfo.h"
#include "platform/WindowHost.h"
#include "ui/Commands.h"
#include "ui/EventLog.h"

namespace kestrova {

// What the main window is built from.
struct MainDialogParts {
    WindowHost& host;
    ConnectionList& connections;
    EventLog& log;
    Clock& clock;
    ConnectionTable& table;
    ProcessInfo& processes;
    VersionInfo& version;
    ProfileStore& profile;
    // Where a snapshot failure is reported; standard output by default.
    std::function<void(std::string_view)> reportError;
};

// The main window's logic: its state, start-up, timers, command routing and
// end. It reaches the windowing system only through WindowHost; the toolkit's
// window forwards its events to the on* handlers.
class MainDialog {
public:
    explicit MainDialog(MainDialogParts parts);

    // Window initialisation, before the window is first shown.
    void initialise();
    void onTimer(std::uint32_t id);
    // A system command; `param` carries a worker's data for the hand-off codes.
    void onSysCommand(std::uint32_t code, const void* param = nullptr);
    void onSize(int cx, int cy);
    void onContextMenu(Point at);
    // The window is going away: stop the timers (and, later, the workers).
    void onDestroy();

    void appendLog(std::string_view text);
    void runMenuCommand(std::uint32_t code);

    const Settings& settings() const { return settings_; }
    bool osSupported() const { return osSupported_; }
    bool layeredCapable() const { return layeredCapable_; }
    const std::string& osDescription() const { return osDescription_; }
    bool intervalArmed() const { return intervalArmed_; }
    bool resolveRunning() const { return resolveRunning_; }

private:
    void detectPlatform();
    void refreshTick();
    void writeTitle();
    void applyTransparency();

    MainDialogParts parts_;
    RefreshCycle refresh_;
    bool osSupported_ = false;
    bool layeredCapable_ = false;
    std::string osDescription_;
    Settings settings_;
    bool intervalArmed_ = false;
    bool resolveRunning_ = false;
    bool destroyed_ = false;
};

}  // namespace kestrova
