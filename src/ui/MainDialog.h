#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "capture/PacketCapture.h"
#include "capture/PacketReport.h"
#include "capture/TrafficAccounting.h"
#include "monitor/ConnectionList.h"
#include "monitor/HostNamePass.h"
#include "monitor/RefreshCycle.h"
#include "options/ProfileStore.h"
#include "options/Settings.h"
#include "platform/AddressList.h"
#include "platform/Clock.h"
#include "platform/ConnectionTable.h"
#include "platform/HostResolver.h"
#include "platform/PacketSource.h"
#include "platform/ProcessInfo.h"
#include "platform/VersionInfo.h"
#include "platform/WindowHost.h"
#include "platform/WindowThread.h"
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
    // The hand-off that worker threads use to reach the window; none when no worker may run.
    WindowThread* windowThread = nullptr;
    // Reverse lookups for the host name pass, which runs only with a resolver
    // and a hand-off it can hold on to (WindowThread::share).
    std::shared_ptr<HostResolver> resolver = nullptr;
    // The local addresses and the captures on them; without both (and the
    // hand-off) packet checking cannot start.
    AddressList* addresses = nullptr;
    PacketSourceFactory* packetSources = nullptr;
    // How long a host name pass waits for one lookup before it gives up.
    std::chrono::milliseconds lookupDeadline = LOOKUP_DEADLINE;
    // Told of every log line with its kind and details, besides the pane.
    LogListener* logListener = nullptr;
    // This run's options from the command line, over the profile's.
    SettingsOverrides overrides{};
};

// The main window's logic: its state, start-up, timers, command routing and
// end. It reaches the windowing system only through WindowHost; the toolkit's
// window forwards its events to the on* handlers.
class MainDialog {
public:
    explicit MainDialog(MainDialogParts parts);
    ~MainDialog();
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    // Window initialisation, before the window is first shown.
    void initialise();
    void onTimer(TimerId id);
    // A system command: About, or one of the menu's commands.
    void onSysCommand(CommandCode code);
    void onSize(int cx, int cy);
    void onContextMenu(Point at);
    // The window is going away: stop the timers and the capture workers.
    void onDestroy();

    void appendLog(const LogEvent& event);
    void runMenuCommand(CommandCode code);

    // Packet checking: a capture worker for every local address, and the
    // byte totals and activity mark that their reports leave in the rows.
    void startCapture();
    void stopCapture();
    void accountPackets(std::span<const PacketReport> reports);
    // The running capture, if packet checking can run at all.
    const PacketCapture* capture() const { return capture_.get(); }

    const Settings& settings() const { return settings_; }
    bool osSupported() const { return osSupported_; }
    bool layeredCapable() const { return layeredCapable_; }
    const std::string& osDescription() const { return osDescription_; }
    bool intervalArmed() const { return intervalArmed_; }
    bool resolveRunning() const { return resolvePass_ && resolvePass_->running(); }

private:
    void detectPlatform();
    void refreshTick();
    void startResolvePass();
    void writeTitle();
    void applyTransparency();

    MainDialogParts parts_;
    RefreshCycle refresh_;
    bool osSupported_ = false;
    bool layeredCapable_ = false;
    std::string osDescription_;
    // What the platform gate could not check, when that refused the system.
    std::string checkFailure_;
    Settings settings_;
    bool intervalArmed_ = false;
    std::shared_ptr<HostNamePass> resolvePass_;
    // The lookups of every pass, those a pass gave up on included.
    const std::shared_ptr<LookupsInFlight> lookups_ = std::make_shared<LookupsInFlight>();
    bool destroyed_ = false;
    TrafficAccounting accounting_;
    // Last: its workers call back into the members above until it has
    // stopped them.
    std::unique_ptr<PacketCapture> capture_;
};

}  // namespace kestrova
