#pragma once
// IPv6 datagrams made to measure, for the tests of the parser and of the
// capture's kernel filter.
#include <cstdint>
#include <vector>

#include "CaptureFakes.h"
#include "wire/Datagram.h"

namespace kestrova::testing {

// An IPv6 TCP datagram from port 0x1234 to port 443: the fixed header, the
// extension headers given (each names the one after it), the TCP header and
// `payload` bytes of 0x5A.
struct Ipv6 {
    struct Extension {
        std::uint8_t type;
        std::size_t length = 8;      // in bytes
        std::uint16_t fragment = 0;  // a fragment header's offset and flags
    };
    std::vector<Extension> extensions{};
    std::uint8_t upper = 6;  // what follows the last extension header
    int version = 6;
    std::uint16_t payloadLength = 0xFFFF;  // 0xFFFF: the real length
    IpAddress source = ipv6("2001:db8::1");
    IpAddress destination = ipv6("fe80::c8");
    std::size_t payload = 0;

    std::vector<std::uint8_t> build() const {
        std::vector<std::uint8_t> bytes(40, 0);
        bytes[0] = static_cast<std::uint8_t>(version << 4);
        bytes[7] = 64;
        std::copy(source.bytes().begin(), source.bytes().end(), bytes.begin() + 8);
        std::copy(destination.bytes().begin(), destination.bytes().end(), bytes.begin() + 24);
        std::size_t typeAt = 6;
        for (const Extension& e : extensions) {
            bytes[typeAt] = e.type;
            typeAt = bytes.size();
            std::vector<std::uint8_t> header(e.length, 1);
            header[1] = static_cast<std::uint8_t>(e.type == kAuthenticationHeader ? e.length / 4 - 2 : e.length / 8 - 1);
            if (e.type == kFragmentHeader) {
                header[1] = 0;
                header[2] = static_cast<std::uint8_t>(e.fragment >> 8);
                header[3] = static_cast<std::uint8_t>(e.fragment);
            }
            bytes.insert(bytes.end(), header.begin(), header.end());
        }
        bytes[typeAt] = upper;
        const std::size_t tcp = bytes.size();
        bytes.resize(tcp + 20, 0);
        bytes.resize(tcp + 20 + payload, 0x5A);
        bytes[tcp] = 0x12;
        bytes[tcp + 1] = 0x34;
        bytes[tcp + 2] = 0x01;
        bytes[tcp + 3] = 0xBB;
        const auto length = static_cast<std::uint16_t>(payloadLength != 0xFFFF ? payloadLength : bytes.size() - 40);
        bytes[4] = static_cast<std::uint8_t>(length >> 8);
        bytes[5] = static_cast<std::uint8_t>(length);
        return bytes;
    }
};

}  // namespace kestrova::testing
