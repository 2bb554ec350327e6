#include "wire/CaptureRecord.h"

#include <cstring>
#include <optional>

namespace kestrova {

namespace {

// Tags make a stream that lost its framing, or comes from some other program,
// show at its first record.
constexpr std::uint32_t kConnectionTag = 0x4350434B;  // "KCPC"
constexpr std::uint32_t kStatusTag = 0x5350434B;      // "KCPS"
constexpr std::uint32_t kStatisticsTag = 0x5450434B;  // "KCPT"

// Every datagram holds at least an IP and a TCP header, so a sum of them
// can be no smaller.
constexpr std::uint64_t kSmallestIpv4Datagram = 40;
constexpr std::uint64_t kSmallestIpv6Datagram = 60;

struct ConnectionLayout {
    std::uint32_t tag;
    std::uint8_t family;
    std::uint8_t zero[3];
    std::uint8_t source[16];
    std::uint8_t destination[16];
    std::uint16_t sourcePort;
    std::uint16_t destinationPort;
    std::uint32_t zero2;
    std::uint64_t bytes;
    std::uint64_t zero3;
};
static_assert(sizeof(ConnectionLayout) == kCaptureRecordSize);

struct StatusLayout {
    std::uint32_t tag;
    std::int32_t status;
    std::uint8_t zero[56];
};
static_assert(sizeof(StatusLayout) == kCaptureRecordSize);

struct StatisticsLayout {
    std::uint32_t tag;
    std::uint32_t zero;
    std::uint64_t received;
    std::uint64_t dropped;
    std::uint8_t zero2[40];
};
static_assert(sizeof(StatisticsLayout) == kCaptureRecordSize);

template <class Layout>
RecordBytes bytesOf(const Layout& layout) {
    RecordBytes out;
    std::memcpy(out.data(), &layout, sizeof layout);
    return out;
}

template <class Layout>
Layout layoutOf(std::span<const std::byte, kCaptureRecordSize> bytes) {
    Layout layout;
    std::memcpy(&layout, bytes.data(), sizeof layout);
    return layout;
}

bool allZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

struct FamilyShape {
    std::size_t addressLength = 0;  // the bytes an address fills; the rest must stay zero
    std::uint64_t smallest = 0;     // the smallest sum of datagrams
};

// Nothing for a family no record carries.
std::optional<FamilyShape> shapeOf(std::uint8_t family) {
    if (family == static_cast<std::uint8_t>(RecordFamily::Ipv4)) return FamilyShape{4, kSmallestIpv4Datagram};
    if (family == static_cast<std::uint8_t>(RecordFamily::Ipv6)) return FamilyShape{16, kSmallestIpv6Datagram};
    return std::nullopt;
}

// An IPv6 address in a record that reads as an IPv4 one: ::ffff:a.b.c.d.
bool mapped(const std::uint8_t* address) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(address, prefix, sizeof prefix) == 0;
}

}  // namespace

RecordBytes encodeRecord(const ConnectionRecord& record) {
    ConnectionLayout layout{};
    layout.tag = kConnectionTag;
    layout.family = static_cast<std::uint8_t>(record.family);
    std::memcpy(layout.source, record.source.data(), 16);
    std::memcpy(layout.destination, record.destination.data(), 16);
    layout.sourcePort = record.sourcePort;
    layout.destinationPort = record.destinationPort;
    layout.bytes = record.bytes;
    return bytesOf(layout);
}

RecordBytes encodeRecord(const StatusRecord& record) {
    StatusLayout layout{};
    layout.tag = kStatusTag;
    layout.status = static_cast<std::int32_t>(record.status);
    return bytesOf(layout);
}

RecordBytes encodeRecord(const StatisticsRecord& record) {
    StatisticsLayout layout{};
    layout.tag = kStatisticsTag;
    layout.received = record.received;
    layout.dropped = record.dropped;
    return bytesOf(layout);
}

CaptureRecord decodeRecord(std::span<const std::byte, kCaptureRecordSize> bytes) {
    std::uint32_t tag;
    std::memcpy(&tag, bytes.data(), sizeof tag);
    switch (tag) {
    case kConnectionTag: {
        const auto layout = layoutOf<ConnectionLayout>(bytes);
        const std::optional<FamilyShape> shape = shapeOf(layout.family);
        if (!shape) return GarbledRecord{};
        const std::size_t length = shape->addressLength;
        if (layout.bytes < shape->smallest || !allZero(layout.zero, sizeof layout.zero) || layout.zero2 != 0 ||
            layout.zero3 != 0 || !allZero(layout.source + length, 16 - length) ||
            !allZero(layout.destination + length, 16 - length))
            return GarbledRecord{};
        if (length == 16 && (mapped(layout.source) || mapped(layout.destination))) return GarbledRecord{};
        ConnectionRecord record;
        record.family = static_cast<RecordFamily>(layout.family);
        std::memcpy(record.source.data(), layout.source, 16);
        std::memcpy(record.destination.data(), layout.destination, 16);
        record.sourcePort = layout.sourcePort;
        record.destinationPort = layout.destinationPort;
        record.bytes = layout.bytes;
        return record;
    }
    case kStatusTag: {
        const auto layout = layoutOf<StatusLayout>(bytes);
        if (layout.status < 0 || layout.status > static_cast<std::int32_t>(kLastHelperStatus) ||
            !allZero(layout.zero, sizeof layout.zero))
            return GarbledRecord{};
        return StatusRecord{static_cast<HelperStatus>(layout.status)};
    }
    case kStatisticsTag: {
        const auto layout = layoutOf<StatisticsLayout>(bytes);
        if (layout.zero != 0 || !allZero(layout.zero2, sizeof layout.zero2)) return GarbledRecord{};
        return StatisticsRecord{layout.received, layout.dropped};
    }
    default:
        return GarbledRecord{};
    }
}

}  // namespace kestrova
