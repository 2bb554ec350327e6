#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "capture/Datagram.h"

namespace kestrova {

// What the capture helper writes to its pipe: fixed-size records in the
// machine's own byte order. The first record is a status: Ready once the
// capture is open and the helper holds no privilege any more, or the reason it
// could not open. Datagram records follow, with a statistics record now and
// then. Nothing in a record comes from packet payload.
inline constexpr std::size_t kCaptureRecordSize = 32;

enum class HelperStatus : std::int32_t {
    Ready = 0,
    BadArguments = 1,
    NoSuchAddress = 2,     // the address is not (or no longer) on the interface
    PermissionDenied = 3,  // the capture needs CAP_NET_RAW
    OpenFailed = 4,        // any other failure to open the capture
    PrivilegeDropFailed = 5,
};

struct DatagramRecord {
    TcpDatagram datagram;
    std::int64_t seconds = 0;  // capture time, Unix epoch
    std::uint32_t microseconds = 0;
    bool operator==(const DatagramRecord&) const = default;
};

struct StatusRecord {
    HelperStatus status = HelperStatus::Ready;
    bool operator==(const StatusRecord&) const = default;
};

// Counts since the capture opened, as the kernel keeps them.
struct StatisticsRecord {
    std::uint64_t received = 0;  // datagrams that passed the filter
    std::uint64_t dropped = 0;   // of those, lost because the buffer was full
    bool operator==(const StatisticsRecord&) const = default;
};

// A record that is none of the above, or whose fields cannot be right.
struct GarbledRecord {
    bool operator==(const GarbledRecord&) const = default;
};

using CaptureRecord = std::variant<DatagramRecord, StatusRecord, StatisticsRecord, GarbledRecord>;

using RecordBytes = std::array<std::byte, kCaptureRecordSize>;
RecordBytes encodeRecord(const DatagramRecord& record);
RecordBytes encodeRecord(const StatusRecord& record);
RecordBytes encodeRecord(const StatisticsRecord& record);
CaptureRecord decodeRecord(std::span<const std::byte, kCaptureRecordSize> bytes);

}  // namespace kestrova
