#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrova {

// Link types of captured frames, numbered as the capture library numbers them.
enum LinkType : int {
    kLinkNull = 0,        // BSD loopback: 4-byte address family in host order
    kLinkEthernet = 1,
    kLinkRaw = 12,        // the IPv4 header comes first
    kLinkLoop = 108,      // BSD loopback: 4-byte address family in network order
    kLinkLinuxCooked = 113,
    kLinkIpv4 = 228,
    kLinkLinuxCooked2 = 276,
};

bool linkTypeSupported(int linkType);

// The endpoints of one TCP datagram. Addresses hold their octets first octet
// first; ports are host numbers.
struct TcpDatagram {
    std::array<std::uint8_t, 4> source{};
    std::array<std::uint8_t, 4> destination{};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    // Bytes of the whole datagram, IPv4 header included.
    std::uint32_t size = 0;

    bool operator==(const TcpDatagram&) const = default;
};

// Reads a captured frame of the given link type. `frame` holds the captured
// bytes (possibly cut short by the snapshot length), `wireLength` the length
// the frame had on the wire. Gives the TCP datagram it carries, or nothing
// for anything else: another protocol, IPv6, a fragment other than the first,
// or a datagram too short to hold its IPv4 and TCP headers.
//
// The datagram's size comes from the frame's length, not from the IPv4 total
// length, which the kernel leaves 0 or stale on the large segments it hands
// to capture before cutting them up.
std::optional<TcpDatagram> parseFrame(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength);

// The same for a bare IPv4 datagram: `bytes` captured of `length`.
std::optional<TcpDatagram> parseDatagram(std::span<const std::uint8_t> bytes, std::uint32_t length);

}  // namespace kestrova
