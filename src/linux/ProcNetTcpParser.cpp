#include "linux/ProcNetTcpParser.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kestrova {
namespace {

constexpr unsigned kLinuxListen = 0x0A;

// The next whitespace-separated field of `line`, consumed from its front.
std::string_view nextField(std::string_view& line) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    std::size_t end = line.find_first_of(" \t", start);
    if (end == std::string_view::npos)
        end = line.size();
    std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

template <typename T>
bool parseWhole(std::string_view s, T& value, int base) {
    if (s.empty())
        return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return ec == std::errc{} && ptr == s.data() + s.size();
}

// "0100007F:0CEA" or 32 hex digits ":" 4 hex digits. `bytes` receives the
// address as it sits in memory, i.e. network order.
bool parseEndpoint(std::string_view s, std::uint8_t (&bytes)[16], std::size_t& addrLen,
                   std::uint16_t& port) {
    std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || (colon != 8 && colon != 32) || s.size() - colon - 1 != 4)
        return false;
    addrLen = colon / 2;
    for (std::size_t word = 0; word < colon / 8; ++word) {
        std::uint32_t v = 0;
        if (!parseWhole(s.substr(word * 8, 8), v, 16))
            return false;
        std::memcpy(bytes + word * 4, &v, 4);
    }
    return parseWhole(s.substr(colon + 1), port, 16);
}

bool parseLine(std::string_view line, IpFamilies families, std::vector<TcpSocketEntry>& out) {
    std::string_view slot = nextField(line);
    if (slot.size() < 2 || slot.back() != ':')
        return false;
    std::uint8_t local[16]{}, remote[16]{};
    std::size_t localLen = 0, remoteLen = 0;
    TcpSocketEntry e;
    if (!parseEndpoint(nextField(line), local, localLen, e.row.localPort) ||
        !parseEndpoint(nextField(line), remote, remoteLen, e.row.remotePort) || localLen != remoteLen)
        return false;
    unsigned state = 0;
    if (!parseWhole(nextField(line), state, 16))
        return false;
    for (int skip = 0; skip < 3; ++skip)  // queues, timer, retransmits
        if (nextField(line).empty())
            return false;
    // The text table names no control group; the uid alone still tells
    // whose a socket is.
    if (!parseWhole(nextField(line), e.row.uid, 10) || nextField(line).empty())  // uid, timeout
        return false;
    if (!parseWhole(nextField(line), e.inode, 10))
        return false;

    if (localLen == 4) {
        e.row.localAddr = IpAddress(local[0], local[1], local[2], local[3]);
        e.row.remoteAddr = IpAddress(remote[0], remote[1], remote[2], remote[3]);
    } else {
        auto address = [](const std::uint8_t(&a)[16]) {
            IpAddress::Ipv6Bytes bytes;
            std::copy(std::begin(a), std::end(a), bytes.begin());
            return IpAddress::fromIpv6(bytes);
        };
        if (!setIpv6Addresses(e, address(local), address(remote), state == kLinuxListen, families))
            return true;  // a real IPv6 socket: well-formed, just not listed
    }
    e.row.state = tcpStateFromLinux(state);
    out.push_back(e);
    return true;
}

}  // namespace

void parseProcNetTcp(std::string_view text, std::vector<TcpSocketEntry>& out, IpFamilies families) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        parseLine(line, families, out);
    }
}

}  // namespace kestrova
