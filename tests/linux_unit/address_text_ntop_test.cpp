// The address texts against the C library's own: inet_ntop for the address,
// getnameinfo for the zone of a link-local one. Our writer must spell every
// address exactly as they do, since the rows' texts are compared byte for
// byte with texts made elsewhere.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <random>
#include <string>

#include "monitor/AddressText.h"

namespace kestrova {
namespace {

std::string ntop(int family, const void* bytes) {
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(family, bytes, text, sizeof text) ? text : "(failed)";
}

// What inet_ntop writes for the address: an IPv4-mapped one is the IPv4
// address it carries.
std::string expectedText(const IpAddress::Ipv6Bytes& bytes) {
    const IpAddress address = IpAddress::fromIpv6(bytes);
    return address.isIpv4() ? ntop(AF_INET, &bytes[12]) : ntop(AF_INET6, bytes.data());
}

// Every pattern of zero and non-zero groups, with values of every width,
// then random addresses: the runs, their ties and the embedded IPv4 forms.
TEST(AddressTextAgainstInetNtop, EveryZeroRunPatternAndRandomAddresses) {
    std::mt19937 rng(2026);
    const std::uint16_t values[] = {1, 0xf, 0x10, 0xab, 0x100, 0xfff, 0x1000, 0xffff};
    int checked = 0;
    for (unsigned zeros = 0; zeros < 256; ++zeros) {
        for (int round = 0; round < 24; ++round) {
            IpAddress::Ipv6Bytes bytes{};
            for (int group = 0; group < 8; ++group) {
                const std::uint16_t value = (zeros >> group & 1) ? 0 : values[rng() % std::size(values)];
                bytes[2 * group] = static_cast<std::uint8_t>(value >> 8);
                bytes[2 * group + 1] = static_cast<std::uint8_t>(value);
            }
            // Now and then the prefixes that make inet_ntop write IPv4 parts.
            if (round % 6 == 0) bytes[10] = bytes[11] = 0xff;
            if (round % 6 == 1) std::fill(bytes.begin(), bytes.begin() + 12, 0);
            ASSERT_EQ(addressText(IpAddress::fromIpv6(bytes)), expectedText(bytes)) << ntop(AF_INET6, bytes.data());
            ++checked;
        }
    }
    for (int i = 0; i < 100000; ++i) {
        IpAddress::Ipv6Bytes bytes;
        for (auto& byte : bytes) byte = rng() % 3 ? 0 : static_cast<std::uint8_t>(rng());
        ASSERT_EQ(addressText(IpAddress::fromIpv6(bytes)), expectedText(bytes)) << ntop(AF_INET6, bytes.data());
        const IpAddress::Ipv4Bytes v4{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng() % 2 ? 0 : rng()),
                                      static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng() % 11)};
        ASSERT_EQ(addressText(IpAddress(v4)), ntop(AF_INET, v4.data()));
        ++checked;
    }
    EXPECT_EQ(checked, 256 * 24 + 100000);
}

// A link-local address with its interface, as getnameinfo writes a scoped
// address numerically.
TEST(AddressTextAgainstInetNtop, LinkLocalZoneAsGetnameinfoWritesIt) {
    const unsigned loopback = if_nametoindex("lo");
    ASSERT_NE(loopback, 0u);
    for (const char* text : {"fe80::1", "fe80::abcd:ef01:2345:6789", "febf:ffff::", "fe80::"}) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        ASSERT_EQ(inet_pton(AF_INET6, text, &address.sin6_addr), 1);
        address.sin6_scope_id = loopback;
        char host[NI_MAXHOST];
        ASSERT_EQ(getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host, sizeof host, nullptr, 0,
                              NI_NUMERICHOST),
                  0);
        IpAddress::Ipv6Bytes bytes;
        std::memcpy(bytes.data(), &address.sin6_addr, 16);
        EXPECT_EQ(addressText(IpAddress::fromIpv6(bytes), "lo"), host);
    }
}

}  // namespace
}  // namespace kestrova
