#include "capture/Datagram.h"

#include <algorithm>

namespace kestrova {

namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint16_t kEtherQinQOld = 0x9100;
constexpr std::size_t kVlanTag = 4;
// Ethernet pads a frame to 60 bytes (64 with its checksum, which capture
// leaves out); 4 more carry a VLAN tag.
constexpr std::uint32_t kEthernetMinimumFrame = 64;
constexpr std::size_t kIpv4MinimumHeader = 20;
constexpr std::size_t kTcpMinimumHeader = 20;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint32_t kBsdFamilyInet = 2;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

bool isVlan(std::uint16_t type) { return type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; }

// Past the type field at `offset` and any VLAN tags after it: where the IPv4
// header starts, or nothing when the frame carries something else.
std::optional<std::size_t> afterTypeField(std::span<const std::uint8_t> frame, std::size_t offset) {
    while (true) {
        if (frame.size() < offset + 2) return std::nullopt;
        const std::uint16_t type = be16(frame.data() + offset);
        if (type == kEtherIpv4) return offset + 2;
        if (!isVlan(type)) return std::nullopt;
        offset += kVlanTag;
    }
}

// Bytes in front of the IPv4 header, or nothing when the frame does not carry
// IPv4 or its header is cut off.
std::optional<std::size_t> linkHeaderLength(int linkType, std::span<const std::uint8_t> frame) {
    const std::size_t n = frame.size();
    const std::uint8_t* p = frame.data();
    switch (linkType) {
    case kLinkEthernet:
        return afterTypeField(frame, 12);  // after the two addresses
    case kLinkLinuxCooked:
        // Packet type, address type, address length, 8 address bytes, protocol.
        return afterTypeField(frame, 14);
    case kLinkLinuxCooked2:
        // Protocol, reserved, interface index, address type, packet type,
        // address length, 8 address bytes.
        if (n < 20 || be16(p) != kEtherIpv4) return std::nullopt;
        return 20;
    case kLinkRaw:
    case kLinkIpv4:
        return 0;
    case kLinkNull:
    case kLinkLoop: {
        if (n < 4) return std::nullopt;
        const std::uint32_t network = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                      std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
        const std::uint32_t little = std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                     std::uint32_t{p[1]} << 8 | std::uint32_t{p[0]};
        // DLT_NULL's family is in the capturing host's order; accept either.
        if (network != kBsdFamilyInet && !(linkType == kLinkNull && little == kBsdFamilyInet)) return std::nullopt;
        return 4;
    }
    default:
        return std::nullopt;
    }
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
    if (bytes.size() < kIpv4MinimumHeader || bytes.size() > length) return std::nullopt;
    const std::uint8_t* p = bytes.data();
    if ((p[0] >> 4) != 4) return std::nullopt;
    const std::size_t headerLength = std::size_t{p[0] & 0x0Fu} * 4;
    if (headerLength < kIpv4MinimumHeader) return std::nullopt;
    if (p[9] != kProtocolTcp) return std::nullopt;
    // A later fragment carries no TCP header; its first bytes are data.
    if ((be16(p + 6) & 0x1FFF) != 0) return std::nullopt;
    if (length < headerLength + kTcpMinimumHeader) return std::nullopt;
    if (bytes.size() < headerLength + 4) return std::nullopt;  // the ports were not captured

    TcpDatagram datagram;
    for (std::size_t i = 0; i < 4; ++i) {
        datagram.source[i] = p[12 + i];
        datagram.destination[i] = p[16 + i];
    }
    datagram.sourcePort = be16(p + headerLength);
    datagram.destinationPort = be16(p + headerLength + 2);
    datagram.size = length;
    return datagram;
}

std::optional<TcpDatagram> parseFrame(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength) {
    if (frame.size() > wireLength) return std::nullopt;
    const std::optional<std::size_t> header = linkHeaderLength(linkType, frame);
    if (!header || *header > wireLength) return std::nullopt;
    std::uint32_t length = wireLength - static_cast<std::uint32_t>(*header);
    const std::span<const std::uint8_t> bytes = frame.subspan(*header);
    if (linkType == kLinkEthernet && wireLength <= kEthernetMinimumFrame && bytes.size() >= 4) {
        // A short frame is padded up to the Ethernet minimum; the padding is
        // not part of the datagram. Only such frames are trimmed to the IPv4
        // length: on every other frame that field may be stale.
        const std::uint32_t total = be16(bytes.data() + 2);
        if (total < length && total >= kIpv4MinimumHeader + kTcpMinimumHeader) length = total;
    }
    return parseDatagram(bytes.first(std::min<std::size_t>(bytes.size(), length)), length);
}

}  // namespace kestrova
