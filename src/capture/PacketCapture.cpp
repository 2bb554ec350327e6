#include "capture/PacketCapture.h"

#include <system_error>

#include "capture/CaptureLines.h"
#include "capture/CapturePlan.h"

namespace kestrova {

PacketCapture::PacketCapture(AddressList& addresses, PacketSourceFactory& sources, WindowThread& window,
                             Clock& clock, Sink sink)
    : addresses_(addresses), sources_(sources), window_(window), clock_(clock), sink_(std::move(sink)) {}

PacketCapture::~PacketCapture() { stop(); }

void PacketCapture::start() {
    stop();
    accessLogged_ = false;
    if (!sources_.mayCapture()) {
        // No helper started from here could gain its capability.
        workerCount_ = 0;
        logAccessOnce(cannotGainPrivilegeLine());
        return;
    }
    const auto addresses = addresses_.query();
    workerCount_ = addresses ? static_cast<int>(addresses->size()) : -1;
    CaptureContext context{sources_, window_, clock_, *this};
    for (int index = 0; index < workerCount_; ++index) {
        auto plan = planCapture(*addresses, static_cast<std::size_t>(index));
        if (!plan) continue;
        auto worker = std::make_unique<CaptureWorker>(std::move(*plan), context);
        try {
            std::jthread thread([worker = worker.get()](std::stop_token stop) { worker->run(stop); });
            running_.push_back({std::move(worker), std::move(thread)});
        } catch (const std::system_error&) {
            // No thread for this address; the others run as usual.
        }
    }
}

void PacketCapture::stop() {
    // Every capture is told first, so that they all end together.
    for (Running& running : running_) running.thread.request_stop();
    for (Running& running : running_) running.thread.join();
    running_.clear();
}

StatisticsRecord PacketCapture::statistics() const {
    StatisticsRecord total;
    for (const Running& running : running_) {
        const StatisticsRecord counts = running.worker->statistics();
        total.received += counts.received;
        total.dropped += counts.dropped;
    }
    return total;
}

void PacketCapture::captureOpened(std::string_view line) { sink_.appendLog({LogKind::Capture, line}); }

void PacketCapture::logAccessOnce(const std::string& line) {
    // Every worker meets the same want of permission; one line says it.
    if (accessLogged_) return;
    accessLogged_ = true;
    sink_.appendLog({LogKind::Permission, line});
}

void PacketCapture::capturePermissionDenied() { logAccessOnce(permissionDeniedLine(sources_.access().grantCommand)); }

void PacketCapture::captureNotPermitted() {
    const CaptureAccess access = sources_.access();
    logAccessOnce(access.group.empty() ? cannotRunLine(sources_.capturePath())
                                       : notInGroupLine(access.group, access.user));
}

void PacketCapture::captureEnded(std::string_view line) { sink_.appendLog({LogKind::CaptureEnded, line}); }

void PacketCapture::packetsCaptured(std::span<const PacketReport> reports) {
    if (sink_.account) sink_.account(reports);
}

}  // namespace kestrova
