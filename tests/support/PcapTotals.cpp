#include "PcapTotals.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace kestrova::testing {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

bool between(const IpAddress& s, std::uint16_t sp, const IpAddress& d, std::uint16_t dp, const IpAddress& a,
             std::uint16_t ap, const IpAddress& b, std::uint16_t bp) {
    return (s == a && sp == ap && d == b && dp == bp) || (s == b && sp == bp && d == a && dp == ap);
}

IpAddress ipv6At(const unsigned char* p) {
    IpAddress::Ipv6Bytes bytes;
    std::memcpy(bytes.data(), p, bytes.size());
    return IpAddress::fromIpv6(bytes);
}

// Where the TCP header of an IPv6 datagram of `captured` bytes starts, past
// options, routing, authentication and first-fragment headers; 0 for none.
std::size_t ipv6TcpOffset(const unsigned char* ip, std::size_t captured) {
    std::size_t offset = 40;
    for (unsigned char next = ip[6]; next != 6;) {
        if (captured < offset + 4) return 0;
        const unsigned char* header = ip + offset;
        if (next == 0 || next == 43 || next == 60)
            offset += (std::size_t{header[1]} + 1) * 8;
        else if (next == 51)
            offset += (std::size_t{header[1]} + 2) * 4;
        else if (next == 44 && (header[2] << 8 | header[3]) < 8)
            offset += 8;
        else
            return 0;
        next = header[0];
    }
    return offset;
}

}  // namespace

std::optional<PcapTotals> PcapTotals::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    // Written on this machine: little-endian, micro- or nanosecond stamps.
    if (file.size() < 24 || (le32(p) != 0xA1B2C3D4 && le32(p) != 0xA1B23C4D)) return std::nullopt;
    const std::uint32_t linkType = le32(p + 20);
    std::size_t header;
    if (linkType == 1)
        header = 14;  // Ethernet, as lo and veth show
    else if (linkType == 113)
        header = 16;  // Linux cooked
    else
        return std::nullopt;

    PcapTotals totals;
    std::size_t at = 24;
    while (at + 16 <= file.size()) {
        const std::uint32_t captured = le32(p + at + 8);
        const std::uint32_t wire = le32(p + at + 12);
        const unsigned char* frame = p + at + 16;
        at += 16 + captured;
        if (at > file.size()) break;  // cut off when tcpdump stopped
        ++totals.frames_;
        if (captured < header + 24) continue;
        const unsigned char* ip = frame + header;
        const unsigned type = frame[header - 2] << 8 | frame[header - 1];
        std::size_t ipHeader = 0;
        Datagram d;
        if (type == 0x0800 && (ip[0] >> 4) == 4 && ip[9] == 6) {
            ipHeader = std::size_t{ip[0] & 0x0Fu} * 4;
            d.source = IpAddress(ip[12], ip[13], ip[14], ip[15]);
            d.destination = IpAddress(ip[16], ip[17], ip[18], ip[19]);
        } else if (type == 0x86DD && (ip[0] >> 4) == 6 && captured >= header + 44) {
            ipHeader = ipv6TcpOffset(ip, captured - header);
            d.source = ipv6At(ip + 8);
            d.destination = ipv6At(ip + 24);
        }
        if (ipHeader == 0 || captured < header + ipHeader + 4) continue;
        d.sourcePort = static_cast<std::uint16_t>(ip[ipHeader] << 8 | ip[ipHeader + 1]);
        d.destinationPort = static_cast<std::uint16_t>(ip[ipHeader + 2] << 8 | ip[ipHeader + 3]);
        d.size = wire - static_cast<std::uint32_t>(header);
        totals.datagrams_.push_back(d);
    }
    return totals;
}

std::uint64_t PcapTotals::bytesBetween(const IpAddress& a, std::uint16_t aPort, const IpAddress& b,
                                       std::uint16_t bPort) const {
    std::uint64_t bytes = 0;
    for (const Datagram& d : datagrams_)
        if (between(d.source, d.sourcePort, d.destination, d.destinationPort, a, aPort, b, bPort)) bytes += d.size;
    return bytes;
}

std::size_t PcapTotals::datagramsBetween(const IpAddress& a, std::uint16_t aPort, const IpAddress& b,
                                         std::uint16_t bPort) const {
    std::size_t count = 0;
    for (const Datagram& d : datagrams_)
        if (between(d.source, d.sourcePort, d.destination, d.destinationPort, a, aPort, b, bPort)) ++count;
    return count;
}

}  // namespace kestrova::testing
