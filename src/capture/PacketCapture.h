#pragma once
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/CaptureWorker.h"
#include "monitor/LogEvent.h"

namespace kestrova {

// Packet checking: one capture worker per local address, each on a
// thread of its own, started and stopped together on the window thread.
class PacketCapture : private CaptureEvents {
public:
    // Where the workers' results go, on the window thread.
    struct Sink {
        LogSink appendLog;
        std::function<void(std::span<const PacketReport>)> account;
    };

    PacketCapture(AddressList& addresses, PacketSourceFactory& sources, WindowThread& window, Clock& clock,
                  Sink sink);
    ~PacketCapture() override;
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;

    // Reads the local addresses once and starts a worker for each, every one
    // planned from that one list; a worker set still running is stopped
    // first. Window thread.
    void start();
    // Ends every worker's capture and waits for its thread, including one
    // that waits for the window thread to take its hand-off. Window thread.
    void stop();

    // The number of workers the last start counted, -1 when the address list
    // could not be read, 0 before any start.
    int workerCount() const { return workerCount_; }
    // The running workers' counts from the kernel, added up.
    StatisticsRecord statistics() const;

private:
    void captureOpened(std::string_view line) override;
    void capturePermissionDenied() override;
    void captureNotPermitted() override;
    void captureEnded(std::string_view line) override;
    // One line per start says why captures may not open, whichever it is.
    void logAccessOnce(const std::string& line);
    void packetsCaptured(std::span<const PacketReport> reports) override;

    struct Running {
        std::unique_ptr<CaptureWorker> worker;
        std::jthread thread;
    };

    AddressList& addresses_;
    PacketSourceFactory& sources_;
    WindowThread& window_;
    Clock& clock_;
    Sink sink_;
    std::vector<Running> running_;
    int workerCount_ = 0;
    bool accessLogged_ = false;
};

}  // namespace kestrova
