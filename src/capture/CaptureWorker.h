#pragma once
#include <atomic>
#include <span>
#include <stop_token>
#include <string_view>

#include "capture/CaptureRecord.h"
#include "capture/PacketReport.h"
#include "platform/AddressList.h"
#include "platform/Clock.h"
#include "platform/PacketSource.h"
#include "platform/WindowThread.h"

namespace kestrova {

// What capture workers hand to the window. Called on the window thread only.
class CaptureEvents {
public:
    virtual ~CaptureEvents() = default;
    // The worker's capture is open; `line` names its address.
    virtual void captureOpened(std::string_view line) = 0;
    // The capture could not be opened for want of the right to capture.
    virtual void capturePermissionDenied() = 0;
    // Reports of datagrams captured, oldest first.
    virtual void packetsCaptured(std::span<const PacketReport> reports) = 0;
};

// Everything a worker reaches.
struct CaptureContext {
    AddressList& addresses;
    PacketSourceFactory& sources;
    WindowThread& window;
    Clock& clock;
    CaptureEvents& events;
};

// The capture for one entry of the local address list. run() is the body of
// the worker's thread: it reads the address list afresh, opens the capture
// for its entry and hands what it captures to the window, read by read, until
// it is stopped or the capture ends. It ends quietly on every failure, and at
// once on a record it cannot make sense of.
class CaptureWorker {
public:
    CaptureWorker(int index, CaptureContext context);

    void run(std::stop_token stop);

    int index() const { return index_; }
    // The capture's latest counts from the kernel.
    StatisticsRecord statistics() const { return {received_.load(), dropped_.load()}; }

    // How many bytes one read takes at most, and so how many reports one
    // hand-off carries at most.
    static constexpr std::size_t kReadSize = 256 * kCaptureRecordSize;

private:
    void readRecords(PacketSource& source, std::string_view openedLine, std::stop_token stop);
    bool handOver(std::function<void()> work, const std::stop_token& stop);

    int index_;
    CaptureContext context_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

// The log line of a worker whose capture is open.
std::string captureOpenedLine(const std::array<std::uint8_t, 4>& address);

}  // namespace kestrova
