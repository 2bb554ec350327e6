// libFuzzer entry: arbitrary bytes as a sock_diag reply datagram and as
// /proc/net/tcp text, with IPv6 rows and without. Both parsers must stay
// inside the input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "linux/ProcNetTcpParser.h"
#include "linux/SockDiagParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<kestrova::TcpSocketEntry> out;
    if (size < 8)
        return 0;
    // The first bytes choose the expected sequence number and port id, so the
    // fuzzer can reach past the ownership checks.
    std::uint32_t seq = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    std::uint32_t port = data[4] | data[5] << 8 | data[6] << 16 | static_cast<std::uint32_t>(data[7]) << 24;
    data += 8;
    size -= 8;

    // Without IPv6 rows and with them: the IPv6 sockets take another road.
    for (auto families : {kestrova::IpFamilies::Ipv4, kestrova::IpFamilies::Ipv4AndIpv6}) {
        out.clear();
        kestrova::parseSockDiagDatagram(std::span<const std::uint8_t>(data, size), seq, port, out,
                                        kestrova::SockDiagRequest::ByFamily, families);
        out.clear();
        kestrova::parseProcNetTcp(std::string_view(reinterpret_cast<const char*>(data), size), out, families);
    }
    return 0;
}
