#include "capture/CaptureRecord.h"

#include <cstring>

namespace kestrova {

namespace {

// Tags make a stream that lost its framing, or comes from some other program,
// show at its first record.
constexpr std::uint32_t kDatagramTag = 0x4450434B;    // "KCPD"
constexpr std::uint32_t kStatusTag = 0x5350434B;      // "KCPS"
constexpr std::uint32_t kStatisticsTag = 0x5450434B;  // "KCPT"

// Every datagram record holds at least an IPv4 and a TCP header.
constexpr std::uint32_t kSmallestDatagram = 40;

// Field offsets after the 4-byte tag.
struct DatagramLayout {
    std::uint32_t tag;
    std::uint32_t size;
    std::uint8_t source[4];
    std::uint8_t destination[4];
    std::uint16_t sourcePort;
    std::uint16_t destinationPort;
    std::uint32_t microseconds;
    std::int64_t seconds;
};
static_assert(sizeof(DatagramLayout) == kCaptureRecordSize);

struct StatusLayout {
    std::uint32_t tag;
    std::int32_t status;
    std::uint8_t zero[24];
};
static_assert(sizeof(StatusLayout) == kCaptureRecordSize);

struct StatisticsLayout {
    std::uint32_t tag;
    std::uint32_t zero;
    std::uint64_t received;
    std::uint64_t dropped;
    std::uint64_t zero2;
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

}  // namespace

RecordBytes encodeRecord(const DatagramRecord& record) {
    DatagramLayout layout{};
    layout.tag = kDatagramTag;
    layout.size = record.datagram.size;
    std::memcpy(layout.source, record.datagram.source.data(), 4);
    std::memcpy(layout.destination, record.datagram.destination.data(), 4);
    layout.sourcePort = record.datagram.sourcePort;
    layout.destinationPort = record.datagram.destinationPort;
    layout.microseconds = record.microseconds;
    layout.seconds = record.seconds;
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
    case kDatagramTag: {
        const auto layout = layoutOf<DatagramLayout>(bytes);
        if (layout.size < kSmallestDatagram || layout.microseconds >= 1000000) return GarbledRecord{};
        DatagramRecord record;
        std::memcpy(record.datagram.source.data(), layout.source, 4);
        std::memcpy(record.datagram.destination.data(), layout.destination, 4);
        record.datagram.sourcePort = layout.sourcePort;
        record.datagram.destinationPort = layout.destinationPort;
        record.datagram.size = layout.size;
        record.seconds = layout.seconds;
        record.microseconds = layout.microseconds;
        return record;
    }
    case kStatusTag: {
        const auto layout = layoutOf<StatusLayout>(bytes);
        if (layout.status < 0 || layout.status > static_cast<std::int32_t>(HelperStatus::PrivilegeDropFailed) ||
            !allZero(layout.zero, sizeof layout.zero))
            return GarbledRecord{};
        return StatusRecord{static_cast<HelperStatus>(layout.status)};
    }
    case kStatisticsTag: {
        const auto layout = layoutOf<StatisticsLayout>(bytes);
        if (layout.zero != 0 || layout.zero2 != 0) return GarbledRecord{};
        return StatisticsRecord{layout.received, layout.dropped};
    }
    default:
        return GarbledRecord{};
    }
}

}  // namespace kestrova
