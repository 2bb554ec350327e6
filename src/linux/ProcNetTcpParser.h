#pragma once
#include <string_view>
#include <vector>

#include "linux/TcpSocketEntry.h"

namespace kestrova {

// Parses the text of /proc/net/tcp or /proc/net/tcp6 and appends the sockets
// that `families` lists and the [::] listeners, with the same IPv6 filter as
// the netlink dump. Addresses are printed by the kernel as native-endian
// 32-bit words, so they are decoded with this machine's byte order. The text
// names no interface, so a link-local address has no zone here. Lines that do
// not parse are skipped.
void parseProcNetTcp(std::string_view text, std::vector<TcpSocketEntry>& out,
                     IpFamilies families = IpFamilies::Ipv4);

}  // namespace kestrova
