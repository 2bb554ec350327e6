#include "wire/Datagram.h"

#include <algorithm>

namespace kestrova {

namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint16_t kEtherQinQOld = 0x9100;
constexpr std::size_t kVlanTag = 4;
// Ethernet pads a frame to 60 bytes (64 with its checksum, which capture
// leaves out); 4 more carry a VLAN tag.
constexpr std::uint32_t kEthernetMinimumFrame = 64;
constexpr std::size_t kIpv4MinimumHeader = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpMinimumHeader = 20;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint32_t kBsdFamilyInet = 2;
// BSD loopback's IPv6 family: NetBSD and OpenBSD, FreeBSD, macOS.
constexpr std::uint32_t kBsdFamiliesInet6[] = {24, 28, 30};

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

bool isVlan(std::uint16_t type) { return type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; }

// Where the IP header starts, and the IP version the link header says it
// is (0: the datagram's own version field says).
struct LinkHeader {
    std::size_t length = 0;
    int version = 0;
};

std::optional<int> versionOfType(std::uint16_t type) {
    if (type == kEtherIpv4) return 4;
    if (type == kEtherIpv6) return 6;
    return std::nullopt;
}

// Past the type field at `offset` and any VLAN tags after it, or nothing when
// the frame carries something other than IP.
std::optional<LinkHeader> afterTypeField(std::span<const std::uint8_t> frame, std::size_t offset) {
    while (true) {
        if (frame.size() < offset + 2) return std::nullopt;
        const std::uint16_t type = be16(frame.data() + offset);
        if (const auto version = versionOfType(type)) return LinkHeader{offset + 2, *version};
        if (!isVlan(type)) return std::nullopt;
        offset += kVlanTag;
    }
}

// The link header in front of the IP header, or nothing when the frame does
// not carry IP or its link header is cut off.
std::optional<LinkHeader> linkHeader(int linkType, std::span<const std::uint8_t> frame) {
    const std::size_t n = frame.size();
    const std::uint8_t* p = frame.data();
    switch (linkType) {
    case kLinkEthernet:
        return afterTypeField(frame, 12);  // after the two addresses
    case kLinkLinuxCooked:
        // Packet type, address type, address length, 8 address bytes, protocol.
        return afterTypeField(frame, 14);
    case kLinkLinuxCooked2: {
        // Protocol, reserved, interface index, address type, packet type,
        // address length, 8 address bytes.
        if (n < 20) return std::nullopt;
        const auto version = versionOfType(be16(p));
        if (!version) return std::nullopt;
        return LinkHeader{20, *version};
    }
    case kLinkRaw:
        return LinkHeader{0, 0};
    case kLinkIpv4:
        return LinkHeader{0, 4};
    case kLinkNull:
    case kLinkLoop: {
        if (n < 4) return std::nullopt;
        const std::uint32_t network = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                      std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
        const std::uint32_t little = std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                     std::uint32_t{p[1]} << 8 | std::uint32_t{p[0]};
        // DLT_NULL's family is in the capturing host's order; accept either.
        const auto is = [&](std::uint32_t family) {
            return network == family || (linkType == kLinkNull && little == family);
        };
        if (is(kBsdFamilyInet)) return LinkHeader{4, 4};
        for (const std::uint32_t family : kBsdFamiliesInet6)
            if (is(family)) return LinkHeader{4, 6};
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<TcpDatagram> parseIpv4(std::span<const std::uint8_t> bytes, std::uint32_t length) {
    if (bytes.size() < kIpv4MinimumHeader) return std::nullopt;
    const std::uint8_t* p = bytes.data();
    const std::size_t headerLength = std::size_t{p[0] & 0x0Fu} * 4;
    if (headerLength < kIpv4MinimumHeader) return std::nullopt;
    if (p[9] != kProtocolTcp) return std::nullopt;
    // A later fragment carries no TCP header; its first bytes are data.
    if ((be16(p + 6) & 0x1FFF) != 0) return std::nullopt;
    if (length < headerLength + kTcpMinimumHeader) return std::nullopt;
    if (bytes.size() < headerLength + 4) return std::nullopt;  // the ports were not captured

    TcpDatagram datagram;
    datagram.source = IpAddress(p[12], p[13], p[14], p[15]);
    datagram.destination = IpAddress(p[16], p[17], p[18], p[19]);
    datagram.sourcePort = be16(p + headerLength);
    datagram.destinationPort = be16(p + headerLength + 2);
    datagram.size = length;
    return datagram;
}

IpAddress ipv6At(const std::uint8_t* p) {
    IpAddress::Ipv6Bytes bytes;
    std::copy_n(p, bytes.size(), bytes.begin());
    return IpAddress::fromIpv6(bytes);
}

// Where the TCP header of an IPv6 datagram starts, past its extension
// headers, or nothing when it cannot be reached.
std::optional<std::size_t> tcpHeaderOffset(std::span<const std::uint8_t> bytes) {
    std::uint8_t next = bytes[6];
    std::size_t offset = kIpv6Header;
    for (std::size_t headers = 0; next != kProtocolTcp; ++headers) {
        if (headers == kMaxExtensionHeaders || bytes.size() < offset + 2) return std::nullopt;
        const std::uint8_t* header = bytes.data() + offset;
        switch (next) {
        case kHopByHopOptions:
        case kRoutingHeader:
        case kDestinationOptions:
            offset += (std::size_t{header[1]} + 1) * 8;
            break;
        case kAuthenticationHeader:
            offset += (std::size_t{header[1]} + 2) * 4;
            break;
        case kFragmentHeader:
            // A later fragment carries no TCP header; its first bytes are data.
            if (bytes.size() < offset + 4 || (be16(header + 2) & 0xFFF8) != 0) return std::nullopt;
            offset += 8;
            break;
        default:
            return std::nullopt;
        }
        next = header[0];
    }
    return offset;
}

std::optional<TcpDatagram> parseIpv6(std::span<const std::uint8_t> bytes, std::uint32_t length) {
    if (bytes.size() < kIpv6Header) return std::nullopt;
    const auto offset = tcpHeaderOffset(bytes);
    if (!offset || *offset + 4 > kIpv6HeaderReach) return std::nullopt;
    if (length < *offset + kTcpMinimumHeader) return std::nullopt;
    if (bytes.size() < *offset + 4) return std::nullopt;  // the ports were not captured

    const std::uint8_t* p = bytes.data();
    TcpDatagram datagram;
    datagram.source = ipv6At(p + 8);
    datagram.destination = ipv6At(p + 24);
    // An IPv4-mapped address belongs to no IPv6 connection: the kernel takes
    // such datagrams for none, and they must not count as IPv4 ones.
    if (datagram.source.isIpv4() || datagram.destination.isIpv4()) return std::nullopt;
    datagram.sourcePort = be16(p + *offset);
    datagram.destinationPort = be16(p + *offset + 2);
    datagram.size = length;
    return datagram;
}

std::optional<TcpDatagram> parseVersion(int version, std::span<const std::uint8_t> bytes, std::uint32_t length) {
    if (bytes.empty() || bytes.size() > length || (bytes[0] >> 4) != version) return std::nullopt;
    return version == 4 ? parseIpv4(bytes, length) : parseIpv6(bytes, length);
}

}  // namespace

bool linkTypeSupported(int linkType) {
    switch (linkType) {
    case kLinkNull:
    case kLinkEthernet:
    case kLinkRaw:
    case kLinkLoop:
    case kLinkLinuxCooked:
    case kLinkIpv4:
    case kLinkLinuxCooked2:
        return true;
    default:
        return false;
    }
}

std::optional<TcpDatagram> parseDatagram(std::span<const std::uint8_t> bytes, std::uint32_t length) {
    if (bytes.empty()) return std::nullopt;
    const int version = bytes[0] >> 4;
    if (version != 4 && version != 6) return std::nullopt;
    return parseVersion(version, bytes, length);
}

std::optional<TcpDatagram> parseFrame(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength) {
    if (frame.size() > wireLength) return std::nullopt;
    const std::optional<LinkHeader> header = linkHeader(linkType, frame);
    if (!header || header->length > wireLength) return std::nullopt;
    std::uint32_t length = wireLength - static_cast<std::uint32_t>(header->length);
    const std::span<const std::uint8_t> bytes = frame.subspan(header->length);
    const int version = header->version ? header->version : bytes.empty() ? 0 : bytes[0] >> 4;
    if (version == 4 && linkType == kLinkEthernet && wireLength <= kEthernetMinimumFrame && bytes.size() >= 4) {
        // A short frame is padded up to the Ethernet minimum; the padding is
        // not part of the datagram. Only such frames are trimmed to the IPv4
        // length: on every other frame that field may be stale. No IPv6 TCP
        // datagram is short enough to be padded.
        const std::uint32_t total = be16(bytes.data() + 2);
        if (total < length && total >= kIpv4MinimumHeader + kTcpMinimumHeader) length = total;
    }
    if (version != 4 && version != 6) return std::nullopt;
    return parseVersion(version, bytes.first(std::min<std::size_t>(bytes.size(), length)), length);
}

}  // namespace kestrova
