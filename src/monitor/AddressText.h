#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

namespace kestrova {

// The longest IPv6 address text (INET6_ADDRSTRLEN without its terminator).
inline constexpr std::size_t kIpv6AddressLength = 45;
// The most bytes of an interface name that a zone shows: an interface name
// has at most IFNAMSIZ - 1 of them. Each may be written as \xNN.
inline constexpr std::size_t kZoneNameBytes = 15;
// The longest address text writeAddressText writes.
inline constexpr std::size_t kAddressTextLength = kIpv6AddressLength + 1 + 4 * kZoneNameBytes;

// Writes the text of `address` at `out`, which has room for
// kAddressTextLength characters, and returns the end. Every address the
// program shows, compares or passes on is spelt by this function, so that
// the connection rows, the packet reports, the capture helper's arguments and
// the host name pass agree byte for byte:
//   - IPv4 in dotted decimal without leading zeros: 192.0.2.1;
//   - IPv6 in the RFC 5952 form, as inet_ntop writes it: lowercase hex
//     without leading zeros, the first longest run of two or more zero
//     groups as "::", an IPv4-compatible address as ::a.b.c.d;
//   - a link-local IPv6 address followed by "%" and `zone`, the name of the
//     interface it belongs to, when one is given: fe80::1%eth0. The name's
//     bytes other than printable ASCII are written as \xNN, and only its
//     first kZoneNameBytes bytes count.
char* writeAddressText(char* out, const IpAddress& address, std::string_view zone = {});
std::string addressText(const IpAddress& address, std::string_view zone = {});

// Whether an address text (as written above) is an IPv6 one.
inline bool isIpv6Text(std::string_view addressText) { return addressText.find(':') != std::string_view::npos; }

// The text of an endpoint: "host:port", where host is a host name or an
// address text; an IPv6 address stands in brackets, "[::1]:5000". `port`
// is its decimal text.
std::string endpointText(std::string_view host, std::string_view port, bool hostIsName);
// Whether `text` is exactly endpointText(host, port, hostIsName).
bool isEndpointText(std::string_view text, std::string_view host, std::string_view port, bool hostIsName);

}  // namespace kestrova
