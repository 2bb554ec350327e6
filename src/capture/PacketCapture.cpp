#include "capture/PacketCapture.h"

#include <system_error>

namespace kestrova {

std::string permissionDeniedLine(std::string_view capturePath) {
    std::string line = "パケットをチェックできません: 権限がありません (sudo setcap cap_net_raw+ep ";
    line.append(capturePath);
    line.push_back(')');
    return line;
}

PacketCapture::PacketCapture(AddressList& addresses, PacketSourceFactory& sources, WindowThread& window,
                             Clock& clock, Sink sink)
    : addresses_(addresses), sources_(sources), window_(window), clock_(clock), sink_(std::move(sink)) {}

PacketCapture::~PacketCapture() { stop(); }

void PacketCapture::start() {
    stop();
    permissionLogged_ = false;
    if (!sources_.mayCapture()) {
        workerCount_ = 0;
        capturePermissionDenied();
        return;
    }
    const auto addresses = addresses_.query();
    workerCount_ = addresses ? static_cast<int>(addresses->size()) : -1;
    CaptureContext context{addresses_, sources_, window_, clock_, *this};
    for (int index = 0; index < workerCount_; ++index) {
        auto worker = std::make_unique<CaptureWorker>(index, context);
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

void PacketCapture::capturePermissionDenied() {
    // Every worker meets the same want of permission; one line says it.
    if (permissionLogged_) return;
    permissionLogged_ = true;
    sink_.appendLog({LogKind::Permission, permissionDeniedLine(sources_.capturePath())});
}

void PacketCapture::packetsCaptured(std::span<const PacketReport> reports) {
    if (sink_.account) sink_.account(reports);
}

}  // namespace kestrova
