#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/IpAddress.h"

namespace kestrova {

// Link types of captured frames, numbered as the capture library numbers them.
enum LinkType : int {
    kLinkNull = 0,        // BSD loopback: 4-byte address family in host order
    kLinkEthernet = 1,
    kLinkRaw = 12,        // the IP header comes first, IPv4 or IPv6
    kLinkLoop = 108,      // BSD loopback: 4-byte address family in network order
    kLinkLinuxCooked = 113,
    kLinkIpv4 = 228,
    kLinkLinuxCooked2 = 276,
};

bool linkTypeSupported(int linkType);

// The IPv6 extension headers that may stand between the fixed header and the
// TCP header, by their next-header numbers. Any other number there (ESP, whose
// contents are encrypted, "no next header", another protocol) ends the search.
inline constexpr std::uint8_t kHopByHopOptions = 0;
inline constexpr std::uint8_t kRoutingHeader = 43;
inline constexpr std::uint8_t kFragmentHeader = 44;
inline constexpr std::uint8_t kAuthenticationHeader = 51;
inline constexpr std::uint8_t kDestinationOptions = 60;
// At most this many extension headers are walked.
inline constexpr std::size_t kMaxExtensionHeaders = 8;
// The ports of an IPv6 datagram must lie within its first bytes, this many:
// the fixed header, 84 bytes of extension headers, the ports. Room enough for
// a fragment header, options and a routing header with a few segments.
inline constexpr std::size_t kIpv6HeaderReach = 128;

// The endpoints of one TCP datagram, IPv4 or IPv6; ports are host numbers.
struct TcpDatagram {
    IpAddress source;
    IpAddress destination;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    // Bytes of the whole datagram, IP header (and any extension headers)
    // included.
    std::uint32_t size = 0;

    bool operator==(const TcpDatagram&) const = default;
};

// Reads a captured frame of the given link type. `frame` holds the captured
// bytes (possibly cut short by the snapshot length), `wireLength` the length
// the frame had on the wire. Gives the TCP datagram it carries, or nothing
// for anything else: another protocol, a fragment other than the first, an
// IPv6 datagram whose TCP header cannot be reached (ESP, too many extension
// headers, ports past kIpv6HeaderReach), or a datagram too short to hold its
// IP and TCP headers.
//
// The datagram's size comes from the frame's length, not from the IPv4 total
// length or the IPv6 payload length, which the kernel leaves 0 or stale on
// the large segments it hands to capture before cutting them up.
std::optional<TcpDatagram> parseFrame(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength);

// The same for a bare IPv4 or IPv6 datagram: `bytes` captured of `length`.
std::optional<TcpDatagram> parseDatagram(std::span<const std::uint8_t> bytes, std::uint32_t length);

}  // namespace kestrova
