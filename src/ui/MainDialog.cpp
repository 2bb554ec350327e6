#include "ui/MainDialog.h"

#include <cstdio>

#include "monitor/PlatformGate.h"
#include "monitor/PlatformVerdict.h"
#include "options/SettingsIo.h"
#include "text/UiTexts.h"

namespace kestrova {

namespace {
void writeToStdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
}  // namespace

MainDialog::MainDialog(MainDialogParts parts)
    : parts_(std::move(parts)),
      refresh_(parts_.connections, parts_.table, parts_.processes, [this](const LogEvent& event) { appendLog(event); },
               parts_.reportError ? parts_.reportError : writeToStdout),
      accounting_(parts_.connections) {
    settings_.activeMark.clear();  // nothing meaningful until the profile is read
    if (parts_.windowThread && parts_.addresses && parts_.packetSources) {
        capture_ = std::make_unique<PacketCapture>(
            *parts_.addresses, *parts_.packetSources, *parts_.windowThread,
            PacketCapture::Sink{[this](const LogEvent& event) {
                                    if (!destroyed_) appendLog(event);
                                },
                                [this](std::span<const PacketReport> reports) { accountPackets(reports); }});
    }
}

MainDialog::~MainDialog() {
    // A pass still waiting on a lookup outlives the dialog; it must not reach
    // back into it.
    if (resolvePass_) resolvePass_->stop();
}

void MainDialog::initialise() {
    osSupported_ = false;
    layeredCapable_ = false;
    detectPlatform();
    if (!osSupported_) {
        // A check that could not be made is no verdict on the system.
        osDescription_ += checkFailure_.empty() ? std::string(shownText(UiText::UnsupportedNotice))
                                                : formatText(UiText::CheckFailedNotice, {checkFailure_});
        parts_.host.showInformation(osDescription_);
        // Initialisation carries on; the close request ends the window as
        // soon as its event loop runs.
        parts_.host.postClose();
    }
    settings_ = loadSettings(parts_.profile);
    parts_.overrides.applyTo(settings_);
    parts_.host.setTimer(TIMER_REFRESH, 0);
    intervalArmed_ = false;
    parts_.host.applyTopmost(settings_.alwaysOnTop);
    if (settings_.showHostname) parts_.host.setTimer(TIMER_RESOLVE, RESOLVE_PERIOD_MS);
    if (settings_.checkPacket) startCapture();
    if (layeredCapable_) applyTransparency();
}

void MainDialog::detectPlatform() {
    const bool present = parts_.version.kernelInterfacesPresent();
    const PlatformVerdict verdict = classifyLinux(parts_.version.query(), present, parts_.host.supportsOpacity(),
                                                  present ? std::string() : parts_.version.kernelCheckFailure());
    osSupported_ = verdict.osSupported;
    layeredCapable_ = verdict.layeredCapable;
    osDescription_ = verdict.osDescription;
    checkFailure_ = verdict.checkFailure;
}

void MainDialog::appendLog(const LogEvent& event) {
    const LocalTime now = parts_.clock.now();
    parts_.log.append(now, event.text);
    if (!parts_.logListener) return;
    // A byte total is news only while packets are being counted.
    if (event.connection && !settings_.checkPacket) {
        ConnectionFacts facts = *event.connection;
        facts.bytes = {};
        LogEvent withoutBytes = event;
        withoutBytes.connection = &facts;
        parts_.logListener->logged(now, withoutBytes);
        return;
    }
    parts_.logListener->logged(now, event);
}

void MainDialog::onTimer(TimerId id) {
    if (destroyed_) return;
    if (id == TIMER_REFRESH) {
        refreshTick();
        if (!intervalArmed_) {
            intervalArmed_ = true;
            parts_.host.killTimer(TIMER_REFRESH);
            parts_.host.setTimer(TIMER_REFRESH, settings_.netstatInterval);
        }
    } else if (id == TIMER_RESOLVE) {
        startResolvePass();
    }
}

void MainDialog::refreshTick() {
    refresh_.tick(settings_.showHostname);
    // Bytes counted before this refresh made their connection's row.
    accounting_.refreshed();
    writeTitle();
}

void MainDialog::startResolvePass() {
    // A tick that comes while a pass runs is dropped, not kept for later.
    if (resolveRunning()) return;
    std::shared_ptr<WindowThread> window = parts_.windowThread ? parts_.windowThread->share() : nullptr;
    resolvePass_ = HostNamePass::start(
        parts_.connections, [this](const LogEvent& event) { appendLog(event); }, std::move(window),
        parts_.resolver, lookups_, parts_.lookupDeadline);
}

void MainDialog::writeTitle() {
    parts_.host.setTitle(windowTitle(parts_.connections.rowCount(), settings_.netstatInterval));
}

void MainDialog::onSysCommand(CommandCode code) {
    if (destroyed_) return;
    if (isAboutCode(code)) {
        parts_.host.runAboutBox();
    } else if (code >= CMD_SHOW_HOSTNAME && code <= CMD_CYCLE_INTERVAL) {
        runMenuCommand(code);
    }
    // Anything else, the 0 of a dismissed menu included, does nothing.
}

void MainDialog::onSize(int cx, int cy) {
    const PaneLayout layout = layoutPanes(cx, cy);
    parts_.host.movePane(Pane::ConnectionList, layout.connections.x, layout.connections.y, layout.connections.width,
                         layout.connections.height);
    parts_.host.movePane(Pane::EventLog, layout.log.x, layout.log.y, layout.log.width, layout.log.height);
}

void MainDialog::onContextMenu(Point at) {
    if (destroyed_) return;
    const CommandCode chosen = parts_.host.trackPopupMenu(buildCommandMenu(settings_, layeredCapable_), at);
    // The command runs later, as a message of its own, after the menu has gone.
    parts_.host.postSysCommand(chosen);
}

void MainDialog::applyTransparency() {
    // A window that cannot be translucent ignores the request, as the
    // transparency commands do not check for themselves.
    if (layeredCapable_) parts_.host.applyOpacity(static_cast<std::uint8_t>(settings_.alpha & 0xFF));
}

void MainDialog::runMenuCommand(CommandCode code) {
    WindowHost& host = parts_.host;
    switch (code) {
    case CMD_SHOW_HOSTNAME:
        settings_.showHostname = !settings_.showHostname;
        if (settings_.showHostname) {
            appendLog({LogKind::Option, shownText(UiText::ShowHostNames)});
            host.setTimer(TIMER_RESOLVE, RESOLVE_PERIOD_MS);
        } else {
            appendLog({LogKind::Option, shownText(UiText::ShowAddresses)});
            host.killTimer(TIMER_RESOLVE);
        }
        break;
    case CMD_EXIT:
        // A save that fails is told on standard error by the store; the
        // window closes all the same.
        saveSettings(parts_.profile, settings_);
        host.postClose();
        break;
    case CMD_ALWAYS_ON_TOP:
        settings_.alwaysOnTop = !settings_.alwaysOnTop;
        appendLog({LogKind::Option, shownText(settings_.alwaysOnTop ? UiText::TopmostOn : UiText::TopmostOff)});
        host.applyTopmost(settings_.alwaysOnTop);
        break;
    case CMD_LESS_TRANSPARENT:
    case CMD_MORE_TRANSPARENT:
        // Wraps like the 32-bit integer it is instead of overflowing.
        settings_.alpha = static_cast<std::int32_t>(static_cast<std::uint32_t>(settings_.alpha) +
                                                    static_cast<std::uint32_t>(code == CMD_LESS_TRANSPARENT
                                                                                   ? ALPHA_STEP
                                                                                   : -ALPHA_STEP));
        appendLog({LogKind::Option, formatText(UiText::AlphaSet, {std::to_string(settings_.alpha)})});
        applyTransparency();
        break;
    case CMD_CHECK_PACKET:
        settings_.checkPacket = !settings_.checkPacket;
        if (settings_.checkPacket) {
            appendLog({LogKind::Option, shownText(UiText::CheckPacketOn)});
            startCapture();
        } else {
            appendLog({LogKind::Option, shownText(UiText::CheckPacketOff)});
            stopCapture();
        }
        break;
    case CMD_CYCLE_MARK:
        settings_.activeMark = nextActiveMark(settings_.activeMark);
        break;
    case CMD_CYCLE_INTERVAL:
        settings_.netstatInterval = nextInterval(settings_.netstatInterval);
        host.killTimer(TIMER_REFRESH);
        host.setTimer(TIMER_REFRESH, settings_.netstatInterval);
        writeTitle();
        appendLog({LogKind::Option, formatText(UiText::IntervalSet, {std::to_string(settings_.netstatInterval)})});
        break;
    default:
        break;
    }
}

void MainDialog::onDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (settings_.showHostname) parts_.host.killTimer(TIMER_RESOLVE);
    parts_.host.killTimer(TIMER_REFRESH);
    // Whatever the options, a running pass is let go rather than waited for:
    // it may be stuck in a lookup for a long time.
    if (resolvePass_) resolvePass_->stop();
    // Workers of an earlier start are already gone when packet checking is
    // off; stopping again costs nothing.
    stopCapture();
}

void MainDialog::startCapture() {
    if (capture_) capture_->start();
}

void MainDialog::stopCapture() {
    if (capture_) capture_->stop();
}


void MainDialog::accountPackets(std::span<const PacketReport> reports) {
    if (destroyed_) return;
    accounting_.account(reports, settings_.activeMark);
}

}  // namespace kestrova
