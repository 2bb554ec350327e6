// libFuzzer entry: arbitrary bytes as a captured frame of any link type, cut
// short by the snapshot or not, and as records from the capture helper's
// pipe. Run it with -max_len=65535 so that every datagram length is tried.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "capture/CaptureRecord.h"
#include "capture/Datagram.h"

namespace {

constexpr int kLinkTypes[] = {kestrova::kLinkEthernet, kestrova::kLinkLinuxCooked, kestrova::kLinkLinuxCooked2,
                              kestrova::kLinkRaw,      kestrova::kLinkIpv4,        kestrova::kLinkNull,
                              kestrova::kLinkLoop,     147};

void check(bool condition) {
    if (!condition) std::abort();
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

    if (const auto datagram = kestrova::parseFrame(linkType, frame, wire)) {
        check(datagram->size <= wire);
        check(datagram->size >= 40);
    }
    if (const auto datagram = kestrova::parseDatagram(frame, wire)) check(datagram->size == wire);

    const auto* bytes = reinterpret_cast<const std::byte*>(frame.data());
    for (std::size_t at = 0; at + kestrova::kCaptureRecordSize <= frame.size(); at += kestrova::kCaptureRecordSize) {
        const auto record = kestrova::decodeRecord(
            std::span<const std::byte, kestrova::kCaptureRecordSize>(bytes + at, kestrova::kCaptureRecordSize));
        if (const auto* connection = std::get_if<kestrova::ConnectionRecord>(&record))
            check(connection->bytes >= 40);
    }
    return 0;
}
