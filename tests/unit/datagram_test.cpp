#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CaptureFakes.h"
#include "Ipv6Datagram.h"
#include "wire/CaptureRecord.h"
#include "wire/Datagram.h"

namespace kestrova {
namespace {

using Bytes = std::vector<std::uint8_t>;

// An IPv4 datagram from 10.0.0.1:0x1234 to 192.168.1.200:443 with `payload`
// bytes after a 20-byte TCP header.
struct Ipv4 {
    int version = 4;
    int headerWords = 5;
    int protocol = 6;
    std::uint16_t fragment = 0x4000;  // don't fragment, offset 0
    int totalLength = -1;             // -1: the real length
    std::size_t payload = 0;

    Bytes build() const {
        const std::size_t header = static_cast<std::size_t>(headerWords) * 4;
        Bytes bytes(header + 20 + payload, 0);
        bytes[0] = static_cast<std::uint8_t>(version << 4 | headerWords);
        const auto length = static_cast<std::uint16_t>(totalLength >= 0 ? totalLength : static_cast<int>(bytes.size()));
        bytes[2] = length >> 8;
        bytes[3] = length & 0xFF;
        bytes[6] = fragment >> 8;
        bytes[7] = fragment & 0xFF;
        bytes[8] = 64;
        bytes[9] = static_cast<std::uint8_t>(protocol);
        const std::uint8_t addresses[8] = {10, 0, 0, 1, 192, 168, 1, 200};
        std::memcpy(&bytes[12], addresses, 8);
        for (std::size_t i = 20; i < header; ++i) bytes[i] = 1;  // options: no-ops
        bytes[header] = 0x12;
        bytes[header + 1] = 0x34;
        bytes[header + 2] = 0x01;
        bytes[header + 3] = 0xBB;
        return bytes;
    }
};

Bytes withLink(Bytes link, const Bytes& datagram) {
    link.insert(link.end(), datagram.begin(), datagram.end());
    return link;
}

Bytes ethernet(std::initializer_list<std::uint16_t> types) {
    Bytes frame(12, 0xAA);
    for (std::uint16_t type : types) {
        frame.push_back(type >> 8);
        frame.push_back(type & 0xFF);
        if (type == 0x8100 || type == 0x88A8) frame.insert(frame.end(), {0x00, 0x05});  // the VLAN tag's own bytes
    }
    return frame;
}

const TcpDatagram kExpected{{10, 0, 0, 1}, {192, 168, 1, 200}, 0x1234, 443, 0};

using testing::Ipv6;
using Extensions = std::vector<Ipv6::Extension>;
const Ipv6::Extension kHopByHop{kHopByHopOptions};

struct DatagramCase {
    const char* name;
    Bytes datagram;
    std::uint32_t length;  // as received
    bool reported;
};

class ParseDatagram : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(ParseDatagram, ReportsOnlyWholeFirstTcpDatagrams) {
    const DatagramCase& c = GetParam();
    const auto parsed = parseDatagram(c.datagram, c.length);
    ASSERT_EQ(parsed.has_value(), c.reported);
    if (!parsed) return;
    TcpDatagram expected = kExpected;
    expected.size = c.length;
    EXPECT_EQ(*parsed, expected);
}

Bytes cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseDatagram,
    ::testing::Values(
        DatagramCase{"plain", Ipv4{}.build(), 40, true},
        DatagramCase{"payload", Ipv4{.payload = 1460}.build(), 1500, true},
        // Options move the TCP header; the ports must come from behind them.
        DatagramCase{"options", Ipv4{.headerWords = 8}.build(), 52, true},
        DatagramCase{"largest header", Ipv4{.headerWords = 15}.build(), 80, true},
        DatagramCase{"udp", Ipv4{.protocol = 17}.build(), 40, false},
        DatagramCase{"icmp", Ipv4{.protocol = 1}.build(), 40, false},
        DatagramCase{"version 6", Ipv4{.version = 6}.build(), 40, false},
        DatagramCase{"header length below 20", Ipv4{.headerWords = 4}.build(), 36, false},
        DatagramCase{"first fragment", Ipv4{.fragment = 0x2000}.build(), 40, true},
        DatagramCase{"later fragment", Ipv4{.fragment = 0x00B9}.build(), 40, false},
        DatagramCase{"later last fragment", Ipv4{.fragment = 0x2001}.build(), 40, false},
        DatagramCase{"no room for the tcp header", cut(Ipv4{}.build(), 24), 24, false},
        DatagramCase{"shorter than an ip header", cut(Ipv4{}.build(), 19), 19, false},
        DatagramCase{"empty", Bytes{}, 0, false},
        // Captured short of the ports, though the datagram held them.
        DatagramCase{"ports not captured", cut(Ipv4{}.build(), 22), 40, false},
        // Only the ports need capturing; the size is what was received.
        DatagramCase{"snapshot of the headers", cut(Ipv4{.payload = 100}.build(), 24), 140, true},
        // A large segment handed to capture before segmentation: the IP
        // length field says 0, the received length is right.
        DatagramCase{"segment longer than 64k", cut(Ipv4{.totalLength = 0}.build(), 40), 131072, true},
        DatagramCase{"more captured than received", Ipv4{}.build(), 39, false}),
    [](const auto& info) { return testing::testName(info.param.name); });

class ParseIpv6Datagram : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(ParseIpv6Datagram, FindsThePortsBehindTheExtensionHeaders) {
    const DatagramCase& c = GetParam();
    const auto parsed = parseDatagram(c.datagram, c.length);
    ASSERT_EQ(parsed.has_value(), c.reported);
    if (!parsed) return;
    const TcpDatagram expected{testing::ipv6("2001:db8::1"), testing::ipv6("fe80::c8"), 0x1234, 443, c.length};
    EXPECT_EQ(*parsed, expected);
}

// The headers of a datagram with these extension headers, captured up to and
// including its ports.
Bytes headersOf(const Ipv6& datagram) {
    Bytes bytes = datagram.build();
    bytes.resize(bytes.size() - 20 - datagram.payload + 4);
    return bytes;
}

Extensions repeated(std::size_t count) { return Extensions(count, {kDestinationOptions}); }

INSTANTIATE_TEST_SUITE_P(
    Table, ParseIpv6Datagram,
    ::testing::Values(
        DatagramCase{"plain", Ipv6{}.build(), 60, true},
        DatagramCase{"payload", Ipv6{.payload = 1440}.build(), 1500, true},
        DatagramCase{"hop by hop", Ipv6{.extensions = {kHopByHop}}.build(), 68, true},
        DatagramCase{"options routing and options",
                     Ipv6{.extensions = {kHopByHop, {kRoutingHeader, 24}, {kDestinationOptions, 16}}}.build(), 108,
                     true},
        DatagramCase{"authentication header", Ipv6{.extensions = {{kAuthenticationHeader, 24}}}.build(), 84, true},
        DatagramCase{"first fragment", Ipv6{.extensions = {{kFragmentHeader, 8, 0x0001}}}.build(), 68, true},
        DatagramCase{"later fragment", Ipv6{.extensions = {{kFragmentHeader, 8, 0x05C9}}}.build(), 68, false},
        DatagramCase{"later last fragment", Ipv6{.extensions = {{kFragmentHeader, 8, 0x0008}}}.build(), 68, false},
        DatagramCase{"fragment behind options",
                     Ipv6{.extensions = {kHopByHop, {kFragmentHeader, 8, 0x0001}}}.build(), 76, true},
        DatagramCase{"esp", Ipv6{.upper = 50}.build(), 60, false},
        DatagramCase{"udp behind options", Ipv6{.extensions = {kHopByHop}, .upper = 17}.build(), 68, false},
        DatagramCase{"no next header", Ipv6{.extensions = {kHopByHop}, .upper = 59}.build(), 68, false},
        DatagramCase{"eight extension headers", Ipv6{.extensions = repeated(8)}.build(), 124, true},
        DatagramCase{"nine extension headers", Ipv6{.extensions = repeated(9)}.build(), 132, false},
        // The ports must lie within the first 128 bytes.
        DatagramCase{"ports end at the reach", Ipv6{.extensions = {{kAuthenticationHeader, 84}}}.build(), 144, true},
        DatagramCase{"ports past the reach", Ipv6{.extensions = {{kAuthenticationHeader, 88}}}.build(), 148, false},
        // A jumbogram or a large segment before segmentation: the payload
        // length says 0, the received length counts.
        DatagramCase{"jumbogram", headersOf(Ipv6{.extensions = {kHopByHop}, .payloadLength = 0, .payload = 100}),
                     70000, true},
        DatagramCase{"segment longer than 64k", headersOf(Ipv6{.payloadLength = 0, .payload = 100}), 131072, true},
        DatagramCase{"payload length larger than received", headersOf(Ipv6{.payloadLength = 9000}), 60, true},
        DatagramCase{"no room for the tcp header", headersOf(Ipv6{}), 59, false},
        DatagramCase{"shorter than the fixed header", cut(Ipv6{}.build(), 39), 39, false},
        DatagramCase{"extension header cut", cut(Ipv6{.extensions = {kHopByHop}}.build(), 41), 68, false},
        DatagramCase{"ports not captured", cut(Ipv6{}.build(), 43), 60, false},
        DatagramCase{"snapshot of the headers", headersOf(Ipv6{.extensions = {kHopByHop}, .payload = 500}), 568,
                     true},
        // An IPv4-mapped address is an IPv4 address, never an IPv6 connection's.
        DatagramCase{"mapped source", Ipv6{.source = testing::ipv6("::ffff:10.0.0.1")}.build(), 60, false},
        DatagramCase{"more captured than received", Ipv6{}.build(), 59, false}),
    [](const auto& info) { return testing::testName(info.param.name); });

struct FrameCase {
    const char* name;
    int linkType;
    Bytes frame;
    std::uint32_t wireLength;
    std::optional<std::uint32_t> size;  // nothing: not reported
    IpAddress destination = IpAddress(192, 168, 1, 200);
};

class ParseFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ParseFrame, SizeIsTheWireLengthWithoutTheLinkHeader) {
    const FrameCase& c = GetParam();
    const auto parsed = parseFrame(c.linkType, c.frame, c.wireLength);
    ASSERT_EQ(parsed.has_value(), c.size.has_value());
    if (!parsed) return;
    EXPECT_EQ(parsed->size, *c.size);
    EXPECT_EQ(parsed->sourcePort, 0x1234);
    EXPECT_EQ(parsed->destination, c.destination);
}

const Bytes kSegment = Ipv4{.payload = 1000}.build();  // 1040 bytes
const Bytes kAck = Ipv4{}.build();                     // 40 bytes
const Bytes kSegment6 = Ipv6{.payload = 1000}.build();  // 1060 bytes
const IpAddress kDestination6 = testing::ipv6("fe80::c8");

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFrame,
    ::testing::Values(
        FrameCase{"ethernet", kLinkEthernet, withLink(ethernet({0x0800}), kSegment), 1054, 1040},
        FrameCase{"ethernet cut by the snapshot", kLinkEthernet, cut(withLink(ethernet({0x0800}), kSegment), 160),
                  1054, 1040},
        // Whatever the IP length field says, the frame's length counts.
        FrameCase{"loopback segment of 64k", kLinkEthernet,
                  cut(withLink(ethernet({0x0800}), Ipv4{.totalLength = 65483}.build()), 160), 65549, 65535},
        FrameCase{"vlan", kLinkEthernet, withLink(ethernet({0x8100, 0x0800}), kSegment), 1058, 1040},
        FrameCase{"double vlan", kLinkEthernet, withLink(ethernet({0x88A8, 0x8100, 0x0800}), kSegment), 1062,
                  1040},
        FrameCase{"ipv6 ethertype", kLinkEthernet, withLink(ethernet({0x86DD}), kSegment), 1054, std::nullopt},
        FrameCase{"arp", kLinkEthernet, withLink(ethernet({0x0806}), kSegment), 1054, std::nullopt},
        FrameCase{"ethernet header cut", kLinkEthernet, Bytes(13, 0), 60, std::nullopt},
        // A short frame is padded to 60 bytes on the wire; the padding is not
        // part of the datagram.
        FrameCase{"padded ack", kLinkEthernet, [] {
                      Bytes frame = withLink(ethernet({0x0800}), kAck);
                      frame.resize(60, 0);
                      return frame;
                  }(),
                  60, 40},
        FrameCase{"cooked", kLinkLinuxCooked,
                  withLink({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00}, kSegment), 1056, 1040},
        FrameCase{"cooked ipv6", kLinkLinuxCooked,
                  withLink({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD}, kSegment), 1056, std::nullopt},
        FrameCase{"cooked v2", kLinkLinuxCooked2,
                  withLink({0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0}, kSegment), 1060,
                  1040},
        FrameCase{"raw", kLinkRaw, kSegment, 1040, 1040},
        FrameCase{"ipv4", kLinkIpv4, kSegment, 1040, 1040},
        FrameCase{"bsd loopback", kLinkNull, withLink({2, 0, 0, 0}, kSegment), 1044, 1040},
        FrameCase{"bsd loopback ipv6", kLinkNull, withLink({30, 0, 0, 0}, kSegment), 1044, std::nullopt},
        FrameCase{"unknown link", 147, withLink(ethernet({0x0800}), kSegment), 1054, std::nullopt},
        FrameCase{"ethernet ipv6", kLinkEthernet, withLink(ethernet({0x86DD}), kSegment6), 1074, 1060, kDestination6},
        FrameCase{"vlan ipv6", kLinkEthernet, withLink(ethernet({0x8100, 0x86DD}), kSegment6), 1078, 1060,
                  kDestination6},
        FrameCase{"ipv6 cut by the snapshot", kLinkEthernet, cut(withLink(ethernet({0x86DD}), kSegment6), 160), 1074,
                  1060, kDestination6},
        FrameCase{"ipv4 ethertype, ipv6 datagram", kLinkEthernet, withLink(ethernet({0x0800}), kSegment6), 1074,
                  std::nullopt},
        FrameCase{"cooked ipv6 datagram", kLinkLinuxCooked,
                  withLink({0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD}, kSegment6), 1076, 1060,
                  kDestination6},
        FrameCase{"cooked v2 ipv6", kLinkLinuxCooked2,
                  withLink({0x86, 0xDD, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0}, kSegment6), 1080, 1060,
                  kDestination6},
        FrameCase{"raw ipv6", kLinkRaw, kSegment6, 1060, 1060, kDestination6},
        FrameCase{"ipv4 link, ipv6 datagram", kLinkIpv4, kSegment6, 1060, std::nullopt},
        FrameCase{"bsd loopback ipv6 datagram", kLinkNull, withLink({30, 0, 0, 0}, kSegment6), 1064, 1060,
                  kDestination6},
        FrameCase{"bsd loop ipv6", kLinkLoop, withLink({0, 0, 0, 24}, kSegment6), 1064, 1060, kDestination6},
        FrameCase{"wire shorter than the link header", kLinkEthernet, Bytes{}, 10, std::nullopt}),
    [](const auto& info) { return testing::testName(info.param.name); });

TEST(CaptureRecordFormat, RoundTripsEveryKind) {
    const ConnectionRecord connection = testing::connectionRecord({127, 0, 0, 1}, 65535, {10, 1, 2, 3}, 1, ~0ull);
    EXPECT_EQ(std::get<ConnectionRecord>(decodeRecord(encodeRecord(connection))), connection);
    const ConnectionRecord ipv6 =
        testing::connectionRecord(testing::ipv6("fe80::1"), 22, testing::ipv6("ffff::ffff:1.2.3.4"), 4, 60);
    EXPECT_EQ(std::get<ConnectionRecord>(decodeRecord(encodeRecord(ipv6))), ipv6);
    for (HelperStatus status : {HelperStatus::Ready, HelperStatus::PermissionDenied, HelperStatus::ReadFailed})
        EXPECT_EQ(std::get<StatusRecord>(decodeRecord(encodeRecord(StatusRecord{status}))).status, status);
    const StatisticsRecord counts{1ull << 40, 7};
    EXPECT_EQ(std::get<StatisticsRecord>(decodeRecord(encodeRecord(counts))), counts);
}

TEST(CaptureRecordFormat, RecordsThatCannotBeRightAreGarbled) {
    auto garbled = [](RecordBytes bytes) { return std::holds_alternative<GarbledRecord>(decodeRecord(bytes)); };
    auto patched = [](RecordBytes bytes, std::size_t at, std::uint32_t value) {
        std::memcpy(bytes.data() + at, &value, sizeof value);
        return bytes;
    };
    const RecordBytes connection = encodeRecord(testing::connectionRecord({1, 2, 3, 4}, 1, {5, 6, 7, 8}, 2, 40));
    const RecordBytes status = encodeRecord(StatusRecord{HelperStatus::Ready});
    const RecordBytes counts = encodeRecord(StatisticsRecord{1, 0});
    EXPECT_FALSE(garbled(connection));
    EXPECT_TRUE(garbled(RecordBytes{}));                       // zeros
    EXPECT_TRUE(garbled(patched(connection, 0, 0x44504B4B)));  // unknown tag
    EXPECT_TRUE(garbled(patched(connection, 4, 5)));           // a family it does not carry
    EXPECT_TRUE(garbled(patched(connection, 12, 1)));          // junk past an IPv4 source address
    EXPECT_TRUE(garbled(patched(connection, 28, 1)));          // and past the destination
    EXPECT_TRUE(garbled(patched(connection, 48, 39)));         // smaller than two headers
    EXPECT_TRUE(garbled(patched(connection, 44, 1)));          // junk where zeros belong
    EXPECT_TRUE(garbled(patched(connection, 56, 1)));
    // IPv6: smaller than two headers, or an address that is an IPv4 one.
    const RecordBytes ipv6 = encodeRecord(
        testing::connectionRecord(testing::ipv6("2001:db8::1"), 1, testing::ipv6("2001:db8::2"), 2, 60));
    EXPECT_FALSE(garbled(ipv6));
    EXPECT_TRUE(garbled(patched(ipv6, 48, 59)));
    for (const bool source : {true, false}) {
        ConnectionRecord mapped =
            testing::connectionRecord(testing::ipv6("2001:db8::1"), 1, testing::ipv6("2001:db8::2"), 2, 60);
        (source ? mapped.source : mapped.destination) = IpAddress(1, 2, 3, 4).bytes();
        EXPECT_TRUE(garbled(encodeRecord(mapped))) << source;
    }
    EXPECT_TRUE(garbled(patched(status, 4, 9)));               // unknown status
    EXPECT_TRUE(garbled(patched(status, 4, 0xFFFFFFFF)));
    EXPECT_TRUE(garbled(patched(status, 60, 1)));
    EXPECT_TRUE(garbled(patched(counts, 4, 1)));
    EXPECT_TRUE(garbled(patched(counts, 60, 1)));
}

}  // namespace
}  // namespace kestrova
