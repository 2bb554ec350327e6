#pragma once
#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova {

// One TCP endpoint pair of the machine, as the kernel reports it: IPv4, or
// IPv6 where the table lists IPv6 connections too. Ports are host numbers.
// `state` uses the 1..12 numbering of StateNames (1 CLOSED ... 12 DELETE_TCB);
// a larger number is passed through and shown as UNKNOWN(n) by the refresh.
struct TcpRow {
    std::uint32_t state = 0;
    IpAddress localAddr;
    std::uint16_t localPort = 0;
    IpAddress remoteAddr;
    std::uint16_t remotePort = 0;
    std::uint32_t pid = 0;
    // The index of the interface a connection with a link-local address runs
    // on, which names that address's zone; 0 for every other connection.
    std::uint32_t interfaceIndex = 0;
    // Who made the socket, as the kernel tells any user: the uid it was made
    // under and the id of its control group (cgroup v2), 0 when not told.
    // They name the owner of a socket whose process may not be inspected.
    std::uint32_t uid = 0;
    std::uint64_t controlGroup = 0;

    bool operator==(const TcpRow&) const = default;
};

// What a snapshot is ordered by, packed into words that compare as the
// fields would one after another: local address, local port, remote
// address, remote port, process id, interface. The state takes no part.
struct SnapshotKey {
    std::array<std::uint64_t, 6> words{};
    auto operator<=>(const SnapshotKey&) const = default;
    // Every word at once: keys are compared for every row of every tick.
    bool operator==(const SnapshotKey& other) const {
        std::uint64_t differ = 0;
        for (std::size_t i = 0; i < words.size(); ++i) differ |= words[i] ^ other.words[i];
        return differ == 0;
    }
};

inline SnapshotKey snapshotKey(const TcpRow& row) {
    // Eight address bytes as one big-endian number: one load, not eight.
    auto word = [](const IpAddress& address, std::size_t at) {
        std::uint64_t value;
        std::memcpy(&value, address.bytes().data() + at, sizeof value);
        if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
        return value;
    };
    const std::uint64_t localHigh = word(row.localAddr, 0), localLow = word(row.localAddr, 8);
    const std::uint64_t remoteHigh = word(row.remoteAddr, 0), remoteLow = word(row.remoteAddr, 8);
    return {{localHigh, localLow, std::uint64_t{row.localPort} << 48 | remoteHigh >> 16,
             remoteHigh << 48 | remoteLow >> 16,
             remoteLow << 48 | std::uint64_t{row.remotePort} << 32 | row.pid, row.interfaceIndex}};
}

// The order of a snapshot.
inline bool inSnapshotOrder(const TcpRow& a, const TcpRow& b) { return snapshotKey(a) < snapshotKey(b); }

// `pid` of a connection whose owning process exists but may not be
// inspected (another user's, for a program not run as root); no process id
// is known for it. Process id 0 is the kernel's own sockets, such as those
// in TIME_WAIT.
inline constexpr std::uint32_t kPidNotVisible = 0xFFFFFFFFu;

// The machine's TCP connection table with owning process ids.
class ConnectionTable {
public:
    virtual ~ConnectionTable() = default;
    // Fills `rows` (cleared first) with every TCP connection the table
    // lists (the IPv4 ones, and the IPv6 ones too where asked for), sorted
    // by inSnapshotOrder. Returns false when the table cannot be read; `rows`
    // is then unspecified.
    virtual bool snapshot(std::vector<TcpRow>& rows) = 0;
    // The name of the interface with this index, as a row's
    // `interfaceIndex` gives it; its number when it has no name.
    virtual std::string interfaceName(std::uint32_t index) { return std::to_string(index); }
};

}  // namespace kestrova
