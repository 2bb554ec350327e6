#include "capture/PacketCapture.h"

#include <algorithm>
#include <system_error>

#include "capture/CaptureLines.h"
#include "capture/CapturePlan.h"

namespace kestrova {

PacketCapture::PacketCapture(AddressList& addresses, PacketSourceFactory& sources, WindowThread& window,
                             Sink sink)
    : addresses_(addresses), sources_(sources), window_(window), sink_(std::move(sink)) {}

PacketCapture::~PacketCapture() { stop(); }

namespace {

// Whether `running` may go on in place of `wanted`: the same plan but for
// its zones (which a running worker takes on), or one that still excludes
// addresses no longer on the machine (no datagram of theirs can pass its
// interface any more).
bool stillFits(const CapturePlan& running, const CapturePlan& wanted, const std::vector<LocalAddress>& addresses) {
    if (running.address != wanted.address || running.request.has_value() != wanted.request.has_value())
        return false;
    if (!running.request || *running.request == *wanted.request) return true;
    CaptureRequest trimmed = *running.request;
    std::erase_if(trimmed.excluded, [&](const IpAddress& excluded) {
        return std::none_of(addresses.begin(), addresses.end(),
                            [&](const LocalAddress& local) { return local.address == excluded; });
    });
    return trimmed == *wanted.request;
}

}  // namespace

void PacketCapture::start() {
    stop();
    accessLogged_ = false;
    if (!sources_.mayCapture()) {
        // No helper started from here could gain its capability.
        workerCount_ = 0;
        logAccessOnce(cannotGainPrivilegeLine());
        return;
    }
    // Before the list is read, so that no change falls between the two.
    watch_ = addresses_.watch();
    const auto addresses = addresses_.query();
    workerCount_ = addresses ? static_cast<int>(addresses->size()) : -1;
    if (addresses) planned_ = *addresses;
    for (std::size_t index = 0; index < planned_.size(); ++index)
        if (auto plan = planCapture(planned_, index)) launch(std::move(*plan));
    if (!watch_) return;
    try {
        watcher_ = std::jthread([this](std::stop_token stop) {
            while (watch_->wait(stop))
                if (!window_.send([this] { addressesChanged(); }, stop)) return;
        });
    } catch (const std::system_error&) {
        // The addresses stay as they were read.
    }
}

void PacketCapture::launch(CapturePlan plan) {
    CaptureContext context{sources_, window_, *this};
    auto worker = std::make_unique<CaptureWorker>(std::move(plan), context);
    try {
        std::jthread thread([worker = worker.get()](std::stop_token stop) { worker->run(stop); });
        running_.push_back({std::move(worker), std::move(thread)});
    } catch (const std::system_error&) {
        // No thread for this address; the others run as usual.
    }
}

void PacketCapture::retire(Running& running) {
    running.thread.request_stop();
    running.thread.join();
    // Drops a worker was still counting when it was stopped are told here.
    if (const std::uint64_t count = running.worker->untoldDrops())
        packetsDropped(running.worker->droppedLine(count), running.worker->addressShown(), count);
}

void PacketCapture::stop() {
    if (watcher_.joinable()) {
        watcher_.request_stop();
        watcher_.join();
    }
    watch_.reset();
    // Every capture is told first, so that they all end together.
    for (Running& running : running_) running.thread.request_stop();
    for (Running& running : running_) retire(running);
    running_.clear();
    planned_.clear();
}

void PacketCapture::addressesChanged() {
    const auto now = addresses_.query();
    if (!now) return;
    // The addresses that stay, where they stood; then the new ones.
    std::vector<LocalAddress> next;
    std::vector<bool> taken(now->size(), false);
    for (const LocalAddress& address : planned_) {
        for (std::size_t i = 0; i < now->size(); ++i) {
            if (taken[i] || (*now)[i] != address) continue;
            taken[i] = true;
            next.push_back(address);
            break;
        }
    }
    for (std::size_t i = 0; i < now->size(); ++i)
        if (!taken[i]) next.push_back((*now)[i]);

    std::vector<CapturePlan> wanted;
    for (std::size_t index = 0; index < next.size(); ++index)
        if (auto plan = planCapture(next, index)) wanted.push_back(std::move(*plan));
    std::vector<bool> served(wanted.size(), false);
    std::vector<Running> kept;
    for (Running& running : running_) {
        const CaptureWorker& worker = *running.worker;
        // A capture that ended because its address went is started again
        // when the address is back; any other end stays an end.
        bool stays = false;
        if (!(worker.finished() && worker.lostItsAddress())) {
            for (std::size_t i = 0; i < wanted.size() && !stays; ++i) {
                if (served[i] || !stillFits(worker.plan(), wanted[i], next)) continue;
                served[i] = stays = true;
                // Link-local addresses of other interfaces came or went.
                if (*running.worker->zones() != wanted[i].zones) running.worker->setZones(wanted[i].zones);
            }
        }
        if (stays) {
            kept.push_back(std::move(running));
            continue;
        }
        const bool wasRunning = !worker.finished();
        retire(running);
        // A capture that ended by itself has said why; one whose address has
        // gone says so as the capture would have.
        const bool gone = std::none_of(next.begin(), next.end(),
                                       [&](const LocalAddress& local) { return local == worker.plan().address; });
        if (wasRunning && gone) {
            const CaptureEnding ending{CaptureEnding::Kind::Status, HelperStatus::NoSuchAddress};
            captureEnded(captureEndedLine(worker.plan().address.address, worker.plan().address.interfaceName, ending));
        }
    }
    running_ = std::move(kept);
    planned_ = std::move(next);
    for (std::size_t i = 0; i < wanted.size(); ++i)
        if (!served[i]) launch(std::move(wanted[i]));
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

void PacketCapture::packetsDropped(std::string_view line, std::string_view address, std::uint64_t count) {
    const std::string dropped = std::to_string(count);
    LogEvent event{LogKind::Capture, line};
    event.address = address;
    event.count = dropped;
    sink_.appendLog(event);
}

void PacketCapture::packetsCaptured(std::span<const PacketReport> reports) {
    if (sink_.account) sink_.account(reports);
}

}  // namespace kestrova
