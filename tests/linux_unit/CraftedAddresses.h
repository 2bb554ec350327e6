#pragma once
// IPv6 addresses the Linux parser tests craft sockets from.
#include <array>
#include <cstdint>

#include "platform/IpAddress.h"

namespace kestrova {

using Addr6 = std::array<std::uint8_t, 16>;
inline constexpr Addr6 kAny6{};
inline constexpr Addr6 mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}
inline constexpr Addr6 kLoopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline constexpr Addr6 kDocumentation6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4};
inline constexpr Addr6 kLinkLocal6{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline constexpr Addr6 kLinkLocalPeer6{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
inline IpAddress v6(const Addr6& bytes) { return IpAddress::fromIpv6(bytes); }

}  // namespace kestrova
