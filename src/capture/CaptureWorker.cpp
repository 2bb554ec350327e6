#include "capture/CaptureWorker.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/CapturePlan.h"
#include "monitor/AddressText.h"

namespace kestrova {

std::string captureOpenedLine(const std::array<std::uint8_t, 4>& address) {
    return dottedAddress(address) + "を通るパケットをチェックします。";
}

CaptureWorker::CaptureWorker(int index, CaptureContext context) : index_(index), context_(context) {}

bool CaptureWorker::handOver(std::function<void()> work, const std::stop_token& stop) {
    return context_.window.send(std::move(work), stop);
}

void CaptureWorker::run(std::stop_token stop) {
    const auto addresses = context_.addresses.query();
    if (!addresses || index_ < 0) return;
    const std::optional<CapturePlan> plan = planCapture(*addresses, static_cast<std::size_t>(index_));
    if (!plan) return;  // the address went away since the workers were counted
    const std::string line = captureOpenedLine(plan->address.address);

    if (!plan->request) {
        if (!handOver([&] { context_.events.captureOpened(line); }, stop)) return;
        std::mutex mutex;
        std::condition_variable_any stopped;
        std::unique_lock lock(mutex);
        stopped.wait(lock, stop, [] { return false; });
        return;
    }

    const std::unique_ptr<PacketSource> source = context_.sources.create();
    if (!source) return;
    std::stop_callback stopSource(stop, [&] { source->stop(); });
    if (stop.stop_requested() || !source->start(*plan->request)) return;
    readRecords(*source, line, stop);
}

void CaptureWorker::readRecords(PacketSource& source, std::string_view openedLine, std::stop_token stop) {
    std::vector<std::byte> buffer(kReadSize);
    std::vector<PacketReport> reports;
    reports.reserve(kReadSize / kCaptureRecordSize);
    std::size_t held = 0;  // bytes of a record that the last read cut short
    bool ready = false;

    while (true) {
        const std::size_t count = source.read(std::span(buffer).subspan(held));
        // The end of the stream, a record cut short by it included.
        if (count == 0) return;
        const std::size_t filled = held + count;
        const std::size_t whole = filled - filled % kCaptureRecordSize;

        reports.clear();
        std::optional<LocalTime> now;
        for (std::size_t offset = 0; offset < whole; offset += kCaptureRecordSize) {
            const CaptureRecord record =
                decodeRecord(std::span<const std::byte, kCaptureRecordSize>(buffer.data() + offset, kCaptureRecordSize));
            if (const auto* status = std::get_if<StatusRecord>(&record)) {
                // Only the first record is a status.
                if (ready) return;
                if (status->status == HelperStatus::PermissionDenied)
                    handOver([&] { context_.events.capturePermissionDenied(); }, stop);
                if (status->status != HelperStatus::Ready) return;
                ready = true;
                if (!handOver([&] { context_.events.captureOpened(openedLine); }, stop)) return;
            } else if (const auto* datagram = std::get_if<DatagramRecord>(&record)) {
                if (!ready) return;
                // Every report of one read is built at the same moment.
                if (!now) now = context_.clock.now();
                const TcpDatagram& d = datagram->datagram;
                reports.push_back(buildReport(d.source, d.sourcePort, d.destination, d.destinationPort, d.size, *now));
            } else if (const auto* counts = std::get_if<StatisticsRecord>(&record)) {
                if (!ready) return;
                received_ = counts->received;
                dropped_ = counts->dropped;
            } else {
                // A garbled record casts doubt on the whole read: none of it
                // reaches the rows.
                return;
            }
        }
        if (!reports.empty() && !handOver([&] { context_.events.packetsCaptured(reports); }, stop)) return;

        held = filled - whole;
        std::memmove(buffer.data(), buffer.data() + whole, held);
    }
}

}  // namespace kestrova
