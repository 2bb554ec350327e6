#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova::testing {

using Octets = std::array<std::uint8_t, 4>;

// The TCP datagrams of a capture file as tcpdump wrote it, IPv4 and IPv6,
// read on their own terms (not with the program's parser) so they can judge
// the program.
class PcapTotals {
public:
    static std::optional<PcapTotals> read(const std::string& path);

    // Bytes of the datagrams between the two endpoints, either way: each
    // frame's length on the wire less its link header.
    std::uint64_t bytesBetween(const IpAddress& a, std::uint16_t aPort, const IpAddress& b, std::uint16_t bPort) const;
    std::size_t datagramsBetween(const IpAddress& a, std::uint16_t aPort, const IpAddress& b,
                                 std::uint16_t bPort) const;
    std::size_t frames() const { return frames_; }

private:
    struct Datagram {
        IpAddress source, destination;
        std::uint16_t sourcePort, destinationPort;
        std::uint32_t size;
    };
    std::vector<Datagram> datagrams_;
    std::size_t frames_ = 0;
};

}  // namespace kestrova::testing
