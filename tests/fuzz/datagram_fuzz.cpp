// libFuzzer entry: arbitrary bytes as a captured frame of any link type, cut
// short by the snapshot or not, and as records from the capture helper's
// pipe. Run it with -max_len=65535 so that every datagram length is tried.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "wire/CaptureRecord.h"
#include "wire/ConnectionSums.h"
#include "wire/Datagram.h"

namespace {

constexpr int kLinkTypes[] = {kestrova::kLinkEthernet, kestrova::kLinkLinuxCooked, kestrova::kLinkLinuxCooked2,
                              kestrova::kLinkRaw,      kestrova::kLinkIpv4,        kestrova::kLinkNull,
                              kestrova::kLinkLoop,     147};

void check(bool condition) {
    if (!condition) std::abort();
}

// What the parser gives is one family's datagram, no smaller than its two
// headers, and its sum makes a record that the program takes.
void checkDatagram(const kestrova::TcpDatagram& datagram, std::uint32_t wire) {
    const bool ipv4 = datagram.source.isIpv4();
    check(datagram.destination.isIpv4() == ipv4);
    check(datagram.size <= wire);
    check(datagram.size >= (ipv4 ? 40u : 60u));
    kestrova::ConnectionSums sums;
    sums.add(datagram);
    const auto& records = sums.take();
    check(records.size() == 1);
    const auto decoded = kestrova::decodeRecord(kestrova::encodeRecord(records[0]));
    const auto* record = std::get_if<kestrova::ConnectionRecord>(&decoded);
    check(record && *record == records[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // The first byte chooses the link type, the next two how much longer the
    // frame was on the wire than what was captured.
    const int linkType = kLinkTypes[data[0] % std::size(kLinkTypes)];
    const std::uint32_t cut = static_cast<std::uint32_t>(data[1] << 8 | data[2]);
    const std::span<const std::uint8_t> frame(data + 3, size - 3);
    const auto wire = static_cast<std::uint32_t>(frame.size()) + cut;

    if (const auto datagram = kestrova::parseFrame(linkType, frame, wire)) checkDatagram(*datagram, wire);
    if (const auto datagram = kestrova::parseDatagram(frame, wire)) {
        check(datagram->size == wire);
        checkDatagram(*datagram, wire);
    }

    const auto* bytes = reinterpret_cast<const std::byte*>(frame.data());
    for (std::size_t at = 0; at + kestrova::kCaptureRecordSize <= frame.size(); at += kestrova::kCaptureRecordSize) {
        const auto record = kestrova::decodeRecord(
            std::span<const std::byte, kestrova::kCaptureRecordSize>(bytes + at, kestrova::kCaptureRecordSize));
        if (const auto* connection = std::get_if<kestrova::ConnectionRecord>(&record))
            check(connection->bytes >= (connection->family == kestrova::RecordFamily::Ipv4 ? 40u : 60u));
    }
    return 0;
}
