#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string_view>
#include <vector>

#include "capture/CaptureLines.h"
#include "capture/CapturePlan.h"
#include "wire/CaptureRecord.h"
#include "capture/PacketReport.h"
#include "platform/PacketSource.h"
#include "platform/WindowThread.h"

namespace kestrova {

// What capture workers hand to the window. Called on the window thread only.
class CaptureEvents {
public:
    virtual ~CaptureEvents() = default;
    // The worker's capture is open; `line` names its address.
    virtual void captureOpened(std::string_view line) = 0;
    // The capture could not open: the program that captures lacks the right
    // to, or this user may not run it.
    virtual void capturePermissionDenied() = 0;
    virtual void captureNotPermitted() = 0;
    // The capture ended by itself; `line` says why.
    virtual void captureEnded(std::string_view line) = 0;
    // The kernel dropped `count` datagrams of `address` (as the rows write
    // it) for want of room before the capture could take them; `line` says so.
    virtual void packetsDropped(std::string_view line, std::string_view address, std::uint64_t count) = 0;
    // Reports of datagrams captured, oldest first.
    virtual void packetsCaptured(std::span<const PacketReport> reports) = 0;
};

// Everything a worker reaches.
struct CaptureContext {
    PacketSourceFactory& sources;
    WindowThread& window;
    CaptureEvents& events;
};

// The capture for one entry of the local address list, as planned from the
// list that the start read. run() is the body of the worker's thread: it
// opens the capture and hands what it captures to the window, read by read,
// until it is stopped or the capture ends; a capture that ends by itself
// says why, once. Datagrams the kernel dropped are told once per spell: the
// spell ends when the kernel's counts show no new drop, or a second passes
// without any news.
class CaptureWorker {
public:
    CaptureWorker(CapturePlan plan, CaptureContext context);

    void run(std::stop_token stop);

    // The plan it was started with; its zones are those of zones().
    const CapturePlan& plan() const { return plan_; }
    // The zones its link-local addresses are written with, which change as
    // link-local addresses come and go on other interfaces. Any thread.
    std::shared_ptr<const LinkZones> zones() const;
    void setZones(LinkZones zones);
    // The capture's latest counts from the kernel.
    StatisticsRecord statistics() const { return {received_.load(), dropped_.load()}; }

    // Whether the capture has ended by itself (it has said why, or run()
    // has returned), and whether it did because the address had gone from
    // its interface (or the interface had gone or gone down).
    bool finished() const { return finished_.load(); }
    bool lostItsAddress() const { return lostItsAddress_.load(); }
    // Once the thread has ended: the drops of a spell that could not be
    // told yet (the worker was stopped during it).
    std::uint64_t untoldDrops() const { return spellDrops_; }
    // The line that tells of `count` dropped datagrams of this address, and
    // the address as the line writes it.
    std::string droppedLine(std::uint64_t count) const;
    std::string addressShown() const;

    // How many bytes one read takes at most, and so how many records one
    // hand-off carries at most.
    static constexpr std::size_t kReadSize = 256 * kCaptureRecordSize;
    // A spell of drops ends after this long without a new one.
    static constexpr int kQuietSpellMs = 1000;

private:
    void runCapture(std::stop_token stop);
    // Why the stream ended, or nothing when the worker was stopped.
    std::optional<CaptureEnding> readRecords(PacketSource& source, std::string_view openedLine,
                                             std::stop_token stop);
    bool handOver(std::function<void()> work, const std::stop_token& stop);
    // Tells the drops of the spell in progress, if any; false when the
    // window would not take the line.
    bool tellDrops(const std::stop_token& stop);

    CapturePlan plan_;
    CaptureContext context_;
    mutable std::mutex zonesMutex_;
    std::shared_ptr<const LinkZones> zones_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> finished_{false};
    std::atomic<bool> lostItsAddress_{false};
    // The worker thread's own: the kernel's drop count last read, and the
    // drops of the spell in progress.
    std::uint64_t lastDropped_ = 0;
    std::uint64_t spellDrops_ = 0;
};

// The reports of one connection record, its link-local
// addresses written with their `zones`: one report, or more when its bytes
// are more than one report can hold.
void appendReports(const ConnectionRecord& record, const LinkZones& zones, std::vector<PacketReport>& out);

}  // namespace kestrova
