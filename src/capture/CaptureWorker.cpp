#include "capture/CaptureWorker.h"

#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "monitor/AddressText.h"

namespace kestrova {

namespace {

IpAddress recordAddress(RecordFamily family, const std::array<std::uint8_t, 16>& bytes) {
    if (family == RecordFamily::Ipv4) return IpAddress(bytes[0], bytes[1], bytes[2], bytes[3]);
    return IpAddress::fromIpv6(bytes);
}

}  // namespace

void appendReports(const ConnectionRecord& record, const LinkZones& zones, std::vector<PacketReport>& out) {
    ReportEndpoint source{recordAddress(record.family, record.source), {}, record.sourcePort};
    ReportEndpoint destination{recordAddress(record.family, record.destination), {}, record.destinationPort};
    for (ReportEndpoint* end : {&source, &destination})
        if (end->address.isLinkLocal()) end->zone = zones.of(end->address);
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t left = record.bytes;
    do {
        const auto part = static_cast<std::uint32_t>(std::min(left, kMost));
        out.push_back(buildReport(source, destination, part));
        left -= part;
    } while (left > 0);
}

CaptureWorker::CaptureWorker(CapturePlan plan, CaptureContext context)
    : plan_(std::move(plan)), context_(context), zones_(std::make_shared<const LinkZones>(plan_.zones)) {}

std::shared_ptr<const LinkZones> CaptureWorker::zones() const {
    std::lock_guard lock(zonesMutex_);
    return zones_;
}

void CaptureWorker::setZones(LinkZones zones) {
    auto updated = std::make_shared<const LinkZones>(std::move(zones));
    std::lock_guard lock(zonesMutex_);
    zones_ = std::move(updated);
}

bool CaptureWorker::handOver(std::function<void()> work, const std::stop_token& stop) {
    return context_.window.send(std::move(work), stop);
}

std::string CaptureWorker::droppedLine(std::uint64_t count) const {
    return packetsDroppedLine(plan_.address.address, plan_.address.interfaceName, count);
}

std::string CaptureWorker::addressShown() const {
    return addressText(plan_.address.address, plan_.address.interfaceName);
}

bool CaptureWorker::tellDrops(const std::stop_token& stop) {
    if (spellDrops_ == 0) return true;
    const std::string line = droppedLine(spellDrops_);
    const std::string address = addressShown();
    if (!handOver([&] { context_.events.packetsDropped(line, address, spellDrops_); }, stop))
        return false;
    spellDrops_ = 0;
    return true;
}

void CaptureWorker::run(std::stop_token stop) {
    runCapture(stop);
    finished_ = true;
}

void CaptureWorker::runCapture(std::stop_token stop) {
    const std::string line = captureOpenedLine(plan_.address.address, plan_.address.interfaceName);

    if (!plan_.request) {
        if (!handOver([&] { context_.events.captureOpened(line); }, stop)) return;
        std::mutex mutex;
        std::condition_variable_any stopped;
        std::unique_lock lock(mutex);
        stopped.wait(lock, stop, [] { return false; });
        return;
    }

    const std::unique_ptr<PacketSource> source = context_.sources.create();
    std::optional<CaptureEnding> ending;
    if (!source) {
        ending = CaptureEnding{CaptureEnding::Kind::NotStarted};
    } else {
        std::stop_callback stopSource(stop, [&] { source->stop(); });
        if (stop.stop_requested()) return;
        const SourceStart started = source->start(*plan_.request);
        if (started.outcome == SourceStart::Outcome::NotPermitted) {
            handOver(
                [&] {
                    finished_ = true;
                    context_.events.captureNotPermitted();
                },
                stop);
            return;
        }
        if (started.outcome == SourceStart::Outcome::Failed) {
            ending = CaptureEnding{CaptureEnding::Kind::NotStarted, HelperStatus::Ready, started.error};
        } else {
            ending = readRecords(*source, line, stop);
            if (!ending) return;
            // The program may still run after a garbled record; it ends here.
            if (ending->kind != CaptureEnding::Kind::Ended) source->stop();
            const SourceEnd end = source->finish();
            if (ending->kind == CaptureEnding::Kind::Ended) ending->end = end;
        }
    }
    if (stop.stop_requested() || !tellDrops(stop)) return;
    // The end is marked as it is told, on the window thread, so that the
    // window never finds a worker that has said its last and yet runs.
    if (ending->kind == CaptureEnding::Kind::Status && ending->status == HelperStatus::PermissionDenied) {
        handOver(
            [&] {
                finished_ = true;
                context_.events.capturePermissionDenied();
            },
            stop);
        return;
    }
    const std::string ended = captureEndedLine(plan_.address.address, plan_.address.interfaceName, *ending);
    handOver(
        [&] {
            finished_ = true;
            lostItsAddress_ = ending->kind == CaptureEnding::Kind::Status && ending->status == HelperStatus::NoSuchAddress;
            context_.events.captureEnded(ended);
        },
        stop);
}

std::optional<CaptureEnding> CaptureWorker::readRecords(PacketSource& source, std::string_view openedLine,
                                                        std::stop_token stop) {
    std::vector<std::byte> buffer(kReadSize);
    std::vector<PacketReport> reports;
    reports.reserve(kReadSize / kCaptureRecordSize);
    std::size_t held = 0;  // bytes of a record that the last read cut short
    bool ready = false;
    const CaptureEnding garbled{CaptureEnding::Kind::Garbled};

    while (true) {
        // While drops are being counted, a quiet second ends their spell.
        std::size_t count = 0;
        if (spellDrops_ > 0) {
            const std::optional<std::size_t> got = source.readWithin(std::span(buffer).subspan(held), kQuietSpellMs);
            if (stop.stop_requested()) return std::nullopt;
            if (!got) {
                if (!tellDrops(stop)) return std::nullopt;
                continue;
            }
            count = *got;
        } else {
            count = source.read(std::span(buffer).subspan(held));
        }
        if (stop.stop_requested()) return std::nullopt;
        // The end of the stream; a record cut short by it is garbled.
        if (count == 0) return held == 0 ? CaptureEnding{CaptureEnding::Kind::Ended} : garbled;
        const std::size_t filled = held + count;
        const std::size_t whole = filled - filled % kCaptureRecordSize;

        reports.clear();
        std::shared_ptr<const LinkZones> zones;
        std::optional<CaptureEnding> ending;
        bool spellOver = false;
        for (std::size_t offset = 0; offset < whole && !ending; offset += kCaptureRecordSize) {
            const CaptureRecord record =
                decodeRecord(std::span<const std::byte, kCaptureRecordSize>(buffer.data() + offset, kCaptureRecordSize));
            if (const auto* status = std::get_if<StatusRecord>(&record)) {
                // The first record is a status, and a status other than Ready
                // is the last: why the capture did not open, or ended.
                if (status->status != HelperStatus::Ready) {
                    ending = CaptureEnding{CaptureEnding::Kind::Status, status->status};
                } else if (ready) {
                    ending = garbled;
                } else {
                    ready = true;
                    if (!handOver([&] { context_.events.captureOpened(openedLine); }, stop)) return std::nullopt;
                }
            } else if (const auto* connection = std::get_if<ConnectionRecord>(&record)) {
                if (!ready) return garbled;
                if (!zones) zones = this->zones();
                appendReports(*connection, *zones, reports);
            } else if (const auto* counts = std::get_if<StatisticsRecord>(&record)) {
                if (!ready) return garbled;
                received_ = counts->received;
                dropped_ = counts->dropped;
                // Counts that show no new drop end a spell of them.
                if (counts->dropped > lastDropped_)
                    spellDrops_ += counts->dropped - lastDropped_;
                else
                    spellOver = spellDrops_ > 0;
                lastDropped_ = counts->dropped;
            } else {
                // A garbled record casts doubt on the whole read: none of it
                // reaches the rows.
                return garbled;
            }
        }
        if (!reports.empty() && !handOver([&] { context_.events.packetsCaptured(reports); }, stop))
            return std::nullopt;
        if (spellOver && !tellDrops(stop)) return std::nullopt;
        if (ending) return ending;

        held = filled - whole;
        std::memmove(buffer.data(), buffer.data() + whole, held);
    }
}

}  // namespace kestrova
