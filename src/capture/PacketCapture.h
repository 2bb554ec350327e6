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
// While they run, the addresses are watched: an address that comes gets a
// worker, one that goes (or whose interface goes down) has its worker
// stopped, each with the line a start or an end of its own would write.
class PacketCapture : private CaptureEvents {
public:
    // Where the workers' results go, on the window thread.
    struct Sink {
        LogSink appendLog;
        std::function<void(std::span<const PacketReport>)> account;
    };

    PacketCapture(AddressList& addresses, PacketSourceFactory& sources, WindowThread& window, Sink sink);
    ~PacketCapture() override;
    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;

    // Reads the local addresses once and starts a worker for each, every one
    // planned from that one list; a worker set still running is stopped
    // first. Window thread.
    void start();
    // The addresses may have changed: starts and stops workers so that
    // every address has the one its plan calls for now. Addresses that stay
    // keep their place in the plan, and new ones come after them, so that a
    // worker whose plan is unchanged runs on untouched. Window thread.
    void addressesChanged();
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
    void packetsDropped(std::string_view line, std::string_view address, std::uint64_t count) override;
    // One line per start says why captures may not open, whichever it is.
    void logAccessOnce(const std::string& line);
    void packetsCaptured(std::span<const PacketReport> reports) override;

    struct Running {
        std::unique_ptr<CaptureWorker> worker;
        std::jthread thread;
    };
    // Starts a worker for `plan` in running_, unless no thread can be had.
    void launch(CapturePlan plan);
    // Stops a worker and tells the drops it had not told yet.
    void retire(Running& running);

    AddressList& addresses_;
    PacketSourceFactory& sources_;
    WindowThread& window_;
    Sink sink_;
    std::vector<Running> running_;
    // The addresses the running workers were planned from, in plan order.
    std::vector<LocalAddress> planned_;
    std::unique_ptr<AddressWatch> watch_;
    // Hands every change of the addresses to the window thread.
    std::jthread watcher_;
    int workerCount_ = 0;
    bool accessLogged_ = false;
};

}  // namespace kestrova
