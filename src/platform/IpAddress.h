#pragma once
#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>

namespace kestrova {

// An IPv4 or IPv6 address, held as the 16 bytes of an IPv6 address in
// network order. An IPv4 address is held in its IPv4-mapped form,
// ::ffff:a.b.c.d, so that the connections of a dual-stack socket, which the
// kernel reports that way, are the very IPv4 addresses they carry: no IPv6
// address is ever spelt ::ffff:a.b.c.d.
//
// Addresses order by their 16 bytes, so IPv4 addresses keep their own order
// among themselves.
class IpAddress {
public:
    using Ipv4Bytes = std::array<std::uint8_t, 4>;
    using Ipv6Bytes = std::array<std::uint8_t, 16>;

    // 0.0.0.0.
    constexpr IpAddress() = default;
    // The IPv4 address a.b.c.d.
    constexpr IpAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
        : bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d} {}
    // The IPv4 address of these octets, first octet first.
    constexpr IpAddress(const Ipv4Bytes& octets) : IpAddress(octets[0], octets[1], octets[2], octets[3]) {}

    // The address of these 16 bytes, network order. An IPv4-mapped one is
    // the IPv4 address it maps.
    static constexpr IpAddress fromIpv6(const Ipv6Bytes& bytes) {
        IpAddress address;
        address.bytes_ = bytes;
        return address;
    }

    constexpr bool isIpv4() const {
        for (std::size_t i = 0; i < 10; ++i)
            if (bytes_[i] != 0) return false;
        return bytes_[10] == 0xff && bytes_[11] == 0xff;
    }
    // The four octets of an IPv4 address.
    constexpr Ipv4Bytes ipv4() const { return {bytes_[12], bytes_[13], bytes_[14], bytes_[15]}; }
    constexpr const Ipv6Bytes& bytes() const { return bytes_; }

    // :: (not 0.0.0.0, which is IPv4).
    constexpr bool isIpv6Unspecified() const {
        return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == 0; });
    }
    // fe80::/10: an address that means something only together with the
    // interface it is used on.
    constexpr bool isLinkLocal() const { return bytes_[0] == 0xfe && (bytes_[1] & 0xc0) == 0x80; }

    constexpr auto operator<=>(const IpAddress&) const = default;

private:
    Ipv6Bytes bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
};

// Which addresses the program deals with: IPv4 always; with Ipv4AndIpv6
// (the -6 option) IPv6 too. For the connection table: its IPv4 connections,
// those of dual-stack IPv6 sockets (::ffff:a.b.c.d) among them, and with
// Ipv4AndIpv6 every other IPv6 socket; for the local addresses whose packets
// are checked: the IPv4 ones, then with Ipv4AndIpv6 the IPv6 ones.
enum class IpFamilies : std::uint8_t { Ipv4, Ipv4AndIpv6 };

}  // namespace kestrova
