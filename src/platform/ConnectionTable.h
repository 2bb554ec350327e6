#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <vector>

namespace kestrova {

// One IPv4 TCP endpoint pair of the machine, as the kernel reports it.
// Addresses hold the four octets first octet first; ports are host numbers.
// `state` uses the 1..12 numbering of StateNames (1 CLOSED ... 12 DELETE_TCB);
// a larger number is passed through and shown as UNKNOWN(n) by the refresh.
struct TcpRow {
    std::uint32_t state = 0;
    std::array<std::uint8_t, 4> localAddr{};
    std::uint16_t localPort = 0;
    std::array<std::uint8_t, 4> remoteAddr{};
    std::uint16_t remotePort = 0;
    std::uint32_t pid = 0;
    // Who made the socket, as the kernel tells any user: the uid it was made
    // under and the id of its control group (cgroup v2), 0 when not told.
    // They name the owner of a socket whose process may not be inspected.
    std::uint32_t uid = 0;
    std::uint64_t controlGroup = 0;

    bool operator==(const TcpRow&) const = default;
};

// What a snapshot is ordered by, packed into two words that compare as the
// fields would one after another: local address, local port, remote
// address, remote port, process id. The state takes no part.
struct SnapshotKey {
    std::uint64_t high = 0, low = 0;
    auto operator<=>(const SnapshotKey&) const = default;
};

inline SnapshotKey snapshotKey(const TcpRow& row) {
    auto word = [](const std::array<std::uint8_t, 4>& a) {
        return std::uint64_t{a[0]} << 24 | std::uint64_t{a[1]} << 16 | std::uint64_t{a[2]} << 8 | a[3];
    };
    const std::uint64_t remote = word(row.remoteAddr);
    return {word(row.localAddr) << 32 | std::uint64_t{row.localPort} << 16 | remote >> 16,
            (remote & 0xFFFF) << 48 | std::uint64_t{row.remotePort} << 32 | row.pid};
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
    // Fills `rows` (cleared first) with every IPv4 TCP connection, sorted by
    // inSnapshotOrder. Returns false when the table cannot be read; `rows`
    // is then unspecified.
    virtual bool snapshot(std::vector<TcpRow>& rows) = 0;
};

}  // namespace kestrova
