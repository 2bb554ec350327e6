#include <gtest/gtest.h>

#include "Fakes.h"
#include "monitor/AddressText.h"

namespace kestrova {
namespace {

using testing::ipv6;

IpAddress bytes6(std::initializer_list<std::uint8_t> bytes) {
    IpAddress::Ipv6Bytes all{};
    std::copy(bytes.begin(), bytes.end(), all.begin());
    return IpAddress::fromIpv6(all);
}

struct TextCase {
    const char* name;
    IpAddress address;
    std::string_view zone;
    std::string_view text;
};

class AddressTextTable : public ::testing::TestWithParam<TextCase> {};

TEST_P(AddressTextTable, WritesTheTextTheRowsShow) {
    const TextCase& c = GetParam();
    EXPECT_EQ(addressText(c.address, c.zone), c.text);
    char buffer[kAddressTextLength + 1];
    buffer[kAddressTextLength] = '#';
    EXPECT_EQ(std::string_view(buffer, writeAddressText(buffer, c.address, c.zone)), c.text);
    EXPECT_EQ(buffer[kAddressTextLength], '#');
    EXPECT_EQ(isIpv6Text(c.text), !c.address.isIpv4());
}

INSTANTIATE_TEST_SUITE_P(
    All, AddressTextTable,
    ::testing::Values(
        TextCase{"Ipv4Any", {}, {}, "0.0.0.0"},
        TextCase{"Ipv4", {192, 0, 2, 1}, {}, "192.0.2.1"},
        TextCase{"Ipv4Widest", {255, 255, 255, 255}, {}, "255.255.255.255"},
        TextCase{"Ipv4NeverTakesAZone", {169, 254, 0, 1}, "eth0", "169.254.0.1"},
        // A dual-stack socket's IPv4 connection is the IPv4 address it carries.
        TextCase{"MappedStaysIpv4", bytes6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}), {},
                 "127.0.0.1"},
        TextCase{"Unspecified", ipv6({0, 0, 0, 0, 0, 0, 0, 0}), {}, "::"},
        TextCase{"Loopback", ipv6({0, 0, 0, 0, 0, 0, 0, 1}), {}, "::1"},
        TextCase{"RunInTheMiddle", ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10}), {}, "2001:db8::10"},
        TextCase{"RunAtTheEnd", ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}), {}, "2001:db8::"},
        TextCase{"LongestRunWins", ipv6({0x2001, 0, 0, 1, 0, 0, 0, 1}), {}, "2001:0:0:1::1"},
        TextCase{"FirstOfTwoEqualRunsWins", ipv6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), {}, "2001:db8::1:0:0:1"},
        TextCase{"LoneZeroGroupStays", ipv6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), {}, "2001:db8:0:1:1:1:1:1"},
        TextCase{"LowercaseWithoutLeadingZeros", ipv6({0x2001, 0x0db8, 0x00ab, 0xCDEF, 0x000f, 0, 0, 0x0100}), {},
                 "2001:db8:ab:cdef:f::100"},
        TextCase{"NoZeroGroup", ipv6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}), {},
                 "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        TextCase{"Ipv4CompatibleIsDotted", ipv6({0, 0, 0, 0, 0, 0, 0x0102, 0x0304}), {}, "::1.2.3.4"},
        TextCase{"Ipv4CompatibleWithZeroLastGroup", ipv6({0, 0, 0, 0, 0, 0, 1, 0}), {}, "::0.1.0.0"},
        TextCase{"TranslatedIsNotDotted", ipv6({0, 0, 0, 0, 0xffff, 0, 0x0102, 0x0304}), {}, "::ffff:0:102:304"},
        TextCase{"Nat64PrefixIsNotDotted", ipv6({0x64, 0xff9b, 0, 0, 0, 0, 0x0102, 0x0304}), {}, "64:ff9b::102:304"},
        TextCase{"LinkLocalWithItsInterface", ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "eth0", "fe80::1%eth0"},
        TextCase{"LinkLocalWithoutInterface", ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), {}, "fe80::1"},
        TextCase{"LinkLocalUpperEnd", ipv6({0xfebf, 0, 0, 0, 0, 0, 0, 1}), "wlan0", "febf::1%wlan0"},
        TextCase{"SiteLocalTakesNoZone", ipv6({0xfec0, 0, 0, 0, 0, 0, 0, 1}), "eth0", "fec0::1"},
        TextCase{"GlobalTakesNoZone", ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "eth0", "2001:db8::1"},
        TextCase{"InterfaceNumber", ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "12", "fe80::1%12"},
        TextCase{"InterfaceNameBytesEscaped", ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "e\x1b[0m\xc3\xa4%\\",
                 "fe80::1%e\\x1b[0m\\xc3\\xa4%\\x5c"},
        TextCase{"LongestZone",
                 ipv6({0xfe80, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
                 "\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01 cut",
                 "fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%"
                 "\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01\\x01"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IpAddress, Ipv4IsTheMappedFormAndKeepsItsOrder) {
    const IpAddress a{10, 0, 0, 1};
    EXPECT_TRUE(a.isIpv4());
    EXPECT_EQ(a.ipv4(), (IpAddress::Ipv4Bytes{10, 0, 0, 1}));
    EXPECT_EQ(a, bytes6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}));
    EXPECT_EQ(IpAddress(), (IpAddress{0, 0, 0, 0}));
    EXPECT_FALSE(IpAddress().isIpv6Unspecified()) << "0.0.0.0 is no IPv6 address";
    EXPECT_TRUE(ipv6({0, 0, 0, 0, 0, 0, 0, 0}).isIpv6Unspecified());
    EXPECT_LT((IpAddress{9, 255, 255, 255}), (IpAddress{10, 0, 0, 0}));
    EXPECT_LT((IpAddress{1, 2, 3, 4}), (IpAddress{1, 2, 3, 5}));
    EXPECT_FALSE(ipv6({0, 0, 0, 0, 0, 0, 0x0a00, 1}).isIpv4()) << "::10.0.0.1 is IPv6";
}

TEST(EndpointText, BracketsIpv6AddressesButNeverNames) {
    struct Case {
        std::string_view host, port;
        bool named;
        std::string_view text;
    } cases[] = {
        {"127.0.0.1", "80", false, "127.0.0.1:80"},
        {"::1", "5000", false, "[::1]:5000"},
        {"::", "0", false, "[::]:0"},
        {"fe80::1%eth0", "22", false, "[fe80::1%eth0]:22"},
        {"localhost", "5000", true, "localhost:5000"},
        {"odd:name", "1", true, "odd:name:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(endpointText(c.host, c.port, c.named), c.text);
        EXPECT_TRUE(isEndpointText(c.text, c.host, c.port, c.named));
        if (!c.named && isIpv6Text(c.host)) {
            EXPECT_FALSE(isEndpointText(c.text, c.host, c.port, true)) << "a name never stands in brackets";
        }
    }
    for (std::string_view near : {"::1:5000", "[::1]5000", "[::1]:500", "[::1]:50000", "[::2]:5000", "[::1:5000",
                                  "[::1]:5000 ", ""})
        EXPECT_FALSE(isEndpointText(near, "::1", "5000", false)) << near;
    EXPECT_FALSE(isEndpointText("[name]:1", "name", "1", true));
    EXPECT_FALSE(isEndpointText("1.2.3.4:80", "1.2.3.4", "8", false));
}

}  // namespace
}  // namespace kestrova
