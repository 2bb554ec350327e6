#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

namespace kestrova {

// What the capture helper writes to its pipe: fixed-size records in the
// machine's own byte order. The first record is a status: Ready once the
// capture is open and the helper holds no privilege any more, or the reason it
// could not open. Connection records follow, with a statistics record now and
// then, and a last status when the helper ends by itself after Ready says
// why. Nothing in a record comes from packet payload, and nothing in it tells
// when a single datagram passed: each connection record sums a delivery
// interval.
inline constexpr std::size_t kCaptureRecordSize = 64;

enum class HelperStatus : std::int32_t {
    Ready = 0,
    BadArguments = 1,
    NoSuchAddress = 2,     // the address is not (or no longer) on the interface
    PermissionDenied = 3,  // the capture needs CAP_NET_RAW
    OpenFailed = 4,        // any other failure to open the capture
    PrivilegeDropFailed = 5,
    FilterFailed = 6,      // the kernel did not take the capture's filter
    ReadFailed = 7,        // the capture kept failing to read
    TooManyCaptures = 8,   // the user runs as many helpers as one user may
};
inline constexpr HelperStatus kLastHelperStatus = HelperStatus::TooManyCaptures;

// Address families a connection record can carry. Addresses have room for
// 16 bytes; an IPv4 address fills the first 4 and leaves the rest zero, an
// IPv6 address (never an IPv4-mapped one) fills all 16.
enum class RecordFamily : std::uint8_t { Ipv4 = 4, Ipv6 = 6 };

// The bytes of one TCP connection over one delivery interval: every datagram
// from source to destination or back, added up. Addresses first octet first,
// ports host numbers.
struct ConnectionRecord {
    RecordFamily family = RecordFamily::Ipv4;
    std::array<std::uint8_t, 16> source{};
    std::array<std::uint8_t, 16> destination{};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint64_t bytes = 0;
    bool operator==(const ConnectionRecord&) const = default;
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

using CaptureRecord = std::variant<ConnectionRecord, StatusRecord, StatisticsRecord, GarbledRecord>;

using RecordBytes = std::array<std::byte, kCaptureRecordSize>;
RecordBytes encodeRecord(const ConnectionRecord& record);
RecordBytes encodeRecord(const StatusRecord& record);
RecordBytes encodeRecord(const StatisticsRecord& record);
CaptureRecord decodeRecord(std::span<const std::byte, kCaptureRecordSize> bytes);

}  // namespace kestrova
