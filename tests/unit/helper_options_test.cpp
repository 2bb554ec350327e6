#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "CaptureFakes.h"
#include "Ipv6Datagram.h"
#include "helper/CaptureFilter.h"
#include "helper/HelperOptions.h"

namespace kestrova::helper {
namespace {

std::optional<HelperOptions> parse(std::vector<std::string_view> arguments) { return parseHelperOptions(arguments); }

TEST(HelperOptions, AcceptsWhatTheProgramPasses) {
    EXPECT_EQ(parse({"lo", "127.0.0.1", "--whole-interface"}),
              (HelperOptions{"lo", {127, 0, 0, 1}, true, {}}));
    EXPECT_EQ(parse({"eth0", "10.0.0.3", "--exclude", "10.0.0.1", "--exclude", "10.0.0.2"}),
              (HelperOptions{"eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}, {10, 0, 0, 2}}}));
}

TEST(HelperOptions, TakesIpv6AddressesAsTheProgramWritesThem) {
    using testing::ipv6;
    EXPECT_EQ(parse({"lo", "::1", "--whole-interface"}), (HelperOptions{"lo", ipv6("::1"), true, {}}));
    EXPECT_EQ(parse({"eth0", "2001:db8::3", "--exclude", "fe80::1%eth0", "--exclude", "2001:db8::1"}),
              (HelperOptions{"eth0", ipv6("2001:db8::3"), false, {ipv6("fe80::1"), ipv6("2001:db8::1")}}));
    EXPECT_EQ(parse({"veth%1", "fe80::1%veth%1"}), (HelperOptions{"veth%1", ipv6("fe80::1"), false, {}}));
    for (const std::string_view longer : {"2001:DB8::1", "2001:0db8:0:0:0:0:0:1"})
        EXPECT_EQ(parse({"eth0", longer}), (HelperOptions{"eth0", ipv6("2001:db8::1"), false, {}})) << longer;
    const std::vector<std::vector<std::string_view>> refused = {
        {"eth0", "fe80::1"},                 // a link-local address names its interface
        {"eth0", "fe80::1%eth1"},            // and it is this one
        {"eth0", "fe80::1%"},
        {"eth0", "2001:db8::1%eth0"},        // no other address has a zone
        {"eth0", "::ffff:10.0.0.1"},         // an IPv4 address, written as one
        {"eth0", "::ffff:a00:1"},
        {"eth0", "2001:db8::1::2"},
        {"eth0", "2001:db8::1 "},
        {"eth0", "10.0.0.3", "--exclude", "2001:db8::1"},  // one family per capture
        {"eth0", "2001:db8::3", "--exclude", "10.0.0.1"},
        {"lo", "::1", "--whole-interface", "--exclude", "::2"},
    };
    for (const auto& arguments : refused) {
        std::string shown;
        for (std::string_view argument : arguments) shown += "[" + std::string(argument) + "]";
        EXPECT_FALSE(parse(arguments).has_value()) << shown;
    }
}

TEST(HelperOptions, RefusesAnythingElse) {
    const std::vector<std::vector<std::string_view>> refused = {
        {},
        {"lo"},
        {"", "127.0.0.1"},
        {"../../etc", "127.0.0.1"},
        {"a-name-too-long-x", "127.0.0.1"},
        {"eth 0", "127.0.0.1"},
        {"lo", "127.0.0.256"},
        {"lo", "127.0.0"},
        {"lo", "127.0.0.1.5"},
        {"lo", "127.00.0.1"},
        {"lo", " 127.0.0.1"},
        {"lo", "127.0.0.1", "--exclude"},
        {"lo", "127.0.0.1", "--exclude", "x"},
        {"lo", "127.0.0.1", "--whole-interface", "--exclude", "127.0.0.2"},
        {"lo", "127.0.0.1", "--promiscuous"},
    };
    for (const auto& arguments : refused) {
        std::string shown;
        for (std::string_view argument : arguments) shown += "[" + std::string(argument) + "]";
        EXPECT_FALSE(parse(arguments).has_value()) << shown;
    }
}

TEST(HelperOptions, AtMostSixtyFourExcludedAddresses) {
    std::vector<std::string> texts;
    for (int i = 1; i <= 65; ++i) texts.push_back("10.0.1." + std::to_string(i));
    std::vector<std::string_view> arguments = {"eth0", "10.0.0.3"};
    for (int i = 0; i < 64; ++i) {
        arguments.push_back("--exclude");
        arguments.push_back(texts[static_cast<std::size_t>(i)]);
    }
    ASSERT_TRUE(parse(arguments).has_value());
    arguments.push_back("--exclude");
    arguments.push_back(texts[64]);
    EXPECT_FALSE(parse(arguments).has_value());
}

// A frame of the given link type: Ethernet type, IPv4 header of `words`
// 32-bit words, protocol, fragment field, addresses, then 100 bytes of
// payload behind the ports.
struct Frame {
    std::uint16_t etherType = 0x0800;
    int version = 4;
    int words = 5;
    std::uint8_t protocol = 6;
    std::uint16_t fragment = 0x4000;
    Ipv4 source{10, 0, 0, 3};
    Ipv4 destination{192, 168, 1, 1};

    std::vector<std::uint8_t> bytes(bool ethernet) const {
        std::vector<std::uint8_t> out;
        if (ethernet) {
            out.assign(12, 0xAA);
            out.push_back(static_cast<std::uint8_t>(etherType >> 8));
            out.push_back(static_cast<std::uint8_t>(etherType));
        }
        const std::size_t ip = out.size();
        out.resize(ip + static_cast<std::size_t>(words) * 4 + 20 + 100, 0x5A);  // 0x5A: payload
        out[ip] = static_cast<std::uint8_t>(version << 4 | words);
        out[ip + 6] = static_cast<std::uint8_t>(fragment >> 8);
        out[ip + 7] = static_cast<std::uint8_t>(fragment);
        out[ip + 9] = protocol;
        std::copy(source.begin(), source.end(), out.begin() + static_cast<std::ptrdiff_t>(ip + 12));
        std::copy(destination.begin(), destination.end(), out.begin() + static_cast<std::ptrdiff_t>(ip + 16));
        return out;
    }
};

// The bytes of `frame` the kernel would keep: 0 for a frame not taken.
unsigned kept(const std::vector<bpf_insn>& program, const std::vector<std::uint8_t>& frame) {
    bpf_program compiled{static_cast<u_int>(program.size()), const_cast<bpf_insn*>(program.data())};
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    return static_cast<unsigned>(pcap_offline_filter(&compiled, &header, frame.data()));
}

struct FilterCase {
    const char* name;
    Frame frame;
    unsigned ethernetKept;  // and on a raw link, 14 less
};

class CaptureProgram : public ::testing::TestWithParam<FilterCase> {};

// The helper's own kernel filter, run by the capture library's interpreter:
// only first fragments of TCP to or from its address (none from an excluded
// one) are taken, and each is cut right after its ports.
TEST_P(CaptureProgram, TakesItsShareAndCutsItAfterThePorts) {
    const FilterCase& c = GetParam();
    const HelperOptions options{"eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}, {10, 0, 0, 9}}};
    const auto ethernet = captureProgram(1, options), raw = captureProgram(12, options);
    ASSERT_TRUE(ethernet && raw);
    EXPECT_EQ(kept(*ethernet, c.frame.bytes(true)), c.ethernetKept);
    if (c.frame.etherType == 0x0800) {
        EXPECT_EQ(kept(*raw, c.frame.bytes(false)), c.ethernetKept ? c.ethernetKept - 14 : 0);
    }
    EXPECT_LE(c.ethernetKept, static_cast<unsigned>(kSnapshotLength));
}

Frame with(std::function<void(Frame&)> change) {
    Frame frame;
    change(frame);
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureProgram,
    ::testing::Values(
        FilterCase{"from the address", Frame{}, 14 + 20 + 4},
        FilterCase{"to the address, longest header",
                   with([](Frame& f) {
                       f.words = 15;
                       std::swap(f.source, f.destination);
                   }),
                   14 + 60 + 4},
        FilterCase{"first fragment of several", with([](Frame& f) { f.fragment = 0x2000; }), 14 + 20 + 4},
        FilterCase{"later fragment", with([](Frame& f) { f.fragment = 0x0010; }), 0},
        FilterCase{"udp", with([](Frame& f) { f.protocol = 17; }), 0},
        FilterCase{"ipv6 frame", with([](Frame& f) { f.etherType = 0x86DD; }), 0},
        FilterCase{"ipv4 type, other version", with([](Frame& f) { f.version = 6; }), 0},
        FilterCase{"vlan tag left in the frame", with([](Frame& f) { f.etherType = 0x8100; }), 0},
        FilterCase{"other hosts", with([](Frame& f) { f.source = {10, 0, 0, 4}; }), 0},
        FilterCase{"to an excluded address", with([](Frame& f) { f.destination = {10, 0, 0, 9}; }), 0},
        FilterCase{"from an excluded address",
                   with([](Frame& f) {
                       f.source = {10, 0, 0, 1};
                       f.destination = {10, 0, 0, 3};
                   }),
                   0}),
    [](const auto& info) { return kestrova::testing::testName(info.param.name); });

using testing::Ipv6;
using testing::ipv6;

// An Ethernet frame of the given type carrying `datagram`, or the datagram
// alone for a raw link.
std::vector<std::uint8_t> ethernetFrame(std::uint16_t type, const std::vector<std::uint8_t>& datagram) {
    std::vector<std::uint8_t> out(12, 0xAA);
    out.push_back(static_cast<std::uint8_t>(type >> 8));
    out.push_back(static_cast<std::uint8_t>(type));
    out.insert(out.end(), datagram.begin(), datagram.end());
    return out;
}

struct Ipv6FilterCase {
    const char* name;
    Ipv6 datagram;
    unsigned ethernetKept;  // and on a raw link, 14 less
    std::uint16_t etherType = 0x86DD;
    std::size_t cutTo = 0;  // the datagram ends there, when not 0
};

class CaptureProgramIpv6 : public ::testing::TestWithParam<Ipv6FilterCase> {};

// The same for a capture of an IPv6 address: the ports are found behind the
// extension headers, and the frame is cut right after them.
TEST_P(CaptureProgramIpv6, TakesItsShareAndCutsItAfterThePorts) {
    const Ipv6FilterCase& c = GetParam();
    const HelperOptions options{"eth0", ipv6("2001:db8::3"), false, {ipv6("2001:db8::1"), ipv6("fe80::9")}};
    const auto ethernet = captureProgram(1, options), raw = captureProgram(12, options);
    ASSERT_TRUE(ethernet && raw);
    std::vector<std::uint8_t> datagram = c.datagram.build();
    if (c.cutTo) datagram.resize(c.cutTo);
    EXPECT_EQ(kept(*ethernet, ethernetFrame(c.etherType, datagram)), c.ethernetKept);
    if (c.etherType == 0x86DD) {
        EXPECT_EQ(kept(*raw, datagram), c.ethernetKept ? c.ethernetKept - 14 : 0);
    }
    // What is kept fits the snapshot, behind the longest link header.
    EXPECT_LE(c.ethernetKept - (c.ethernetKept ? 14 : 0) + 20, static_cast<unsigned>(kIpv6SnapshotLength));
}

const IpAddress kOwn6 = ipv6("2001:db8::3");
const Ipv6::Extension kHopByHop{kHopByHopOptions};

Ipv6 from(IpAddress source, IpAddress destination, std::vector<Ipv6::Extension> extensions = {},
          std::uint8_t upper = 6) {
    return Ipv6{.extensions = std::move(extensions), .upper = upper, .source = source, .destination = destination,
                .payload = 100};
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureProgramIpv6,
    ::testing::Values(
        Ipv6FilterCase{"from the address", from(kOwn6, ipv6("2001:db8::77")), 14 + 40 + 4},
        Ipv6FilterCase{"to the address behind options routing and options",
                       from(ipv6("2001:db8::77"), kOwn6, {kHopByHop, {kRoutingHeader, 24}, {kDestinationOptions, 16}}),
                       14 + 40 + 48 + 4},
        Ipv6FilterCase{"first fragment", from(kOwn6, ipv6("::7"), {{kFragmentHeader, 8, 0x0001}}), 14 + 40 + 8 + 4},
        Ipv6FilterCase{"later fragment", from(kOwn6, ipv6("::7"), {{kFragmentHeader, 8, 0x05C9}}), 0},
        Ipv6FilterCase{"later last fragment", from(kOwn6, ipv6("::7"), {{kFragmentHeader, 8, 0x0008}}), 0},
        Ipv6FilterCase{"authentication header", from(kOwn6, ipv6("::7"), {{kAuthenticationHeader, 24}}),
                       14 + 40 + 24 + 4},
        Ipv6FilterCase{"esp", from(kOwn6, ipv6("::7"), {}, 50), 0},
        Ipv6FilterCase{"udp", from(kOwn6, ipv6("::7"), {}, 17), 0},
        Ipv6FilterCase{"udp behind options", from(kOwn6, ipv6("::7"), {kHopByHop}, 17), 0},
        Ipv6FilterCase{"no next header", from(kOwn6, ipv6("::7"), {kHopByHop}, 59), 0},
        Ipv6FilterCase{"eight extension headers",
                       from(kOwn6, ipv6("::7"), std::vector<Ipv6::Extension>(8, {kDestinationOptions})),
                       14 + 40 + 64 + 4},
        Ipv6FilterCase{"nine extension headers",
                       from(kOwn6, ipv6("::7"), std::vector<Ipv6::Extension>(9, {kDestinationOptions})), 0},
        Ipv6FilterCase{"ports end at the reach", from(kOwn6, ipv6("::7"), {{kAuthenticationHeader, 84}}), 14 + 128},
        Ipv6FilterCase{"ports past the reach", from(kOwn6, ipv6("::7"), {{kAuthenticationHeader, 88}}), 0},
        // The datagram must hold a whole TCP header; a long one is cut all
        // the same.
        Ipv6FilterCase{"no room for the tcp header", from(kOwn6, ipv6("::7")), 0, 0x86DD, 40 + 19},
        Ipv6FilterCase{"just room for the tcp header", from(kOwn6, ipv6("::7")), 14 + 40 + 4, 0x86DD, 40 + 20},
        Ipv6FilterCase{"extension header cut", from(kOwn6, ipv6("::7"), {kHopByHop}), 0, 0x86DD, 41},
        Ipv6FilterCase{"jumbogram", Ipv6{.extensions = {kHopByHop}, .payloadLength = 0, .source = kOwn6, .payload = 100},
                       14 + 40 + 8 + 4},
        Ipv6FilterCase{"ipv4 ethertype", from(kOwn6, ipv6("::7")), 0, 0x0800},
        Ipv6FilterCase{"vlan tag left in the frame", from(kOwn6, ipv6("::7")), 0, 0x8100},
        Ipv6FilterCase{"ipv6 type, other version", Ipv6{.version = 4, .source = kOwn6}, 0},
        Ipv6FilterCase{"other hosts", from(ipv6("2001:db8::4"), ipv6("fe80::3")), 0},
        Ipv6FilterCase{"the same last word", from(ipv6("2001:db9::3"), ipv6("::7")), 0},
        Ipv6FilterCase{"to an excluded address", from(kOwn6, ipv6("fe80::9")), 0},
        Ipv6FilterCase{"from an excluded address", from(ipv6("2001:db8::1"), kOwn6), 0}),
    [](const auto& info) { return kestrova::testing::testName(info.param.name); });

TEST(CaptureProgramLimits, WholeInterfaceAndTheLongestExclusionList) {
    const auto whole = captureProgram(1, {"lo", {127, 0, 0, 1}, true, {}});
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(kept(*whole, with([](Frame& f) { f.source = {127, 0, 0, 5}; }).bytes(true)), 38u);

    HelperOptions most{"eth0", {10, 0, 0, 3}, false, {}};
    for (std::uint8_t i = 1; i <= kMaxExcluded; ++i) most.excluded.push_back({10, 0, 1, i});
    const auto program = captureProgram(1, most);
    ASSERT_TRUE(program.has_value());
    EXPECT_EQ(kept(*program, Frame{}.bytes(true)), 38u);
    EXPECT_EQ(kept(*program, with([](Frame& f) { f.destination = {10, 0, 1, 64}; }).bytes(true)), 0u);
    most.excluded.push_back({10, 0, 2, 1});
    EXPECT_FALSE(captureProgram(1, most).has_value());
    EXPECT_FALSE(captureProgram(147, {"x", {1, 2, 3, 4}, false, {}}).has_value());  // unknown link type
}

TEST(CaptureProgramLimits, Ipv6WholeInterfaceAndTheLongestExclusionList) {
    const auto whole = captureProgram(1, {"lo", ipv6("::1"), true, {}});
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(kept(*whole, ethernetFrame(0x86DD, from(ipv6("fe80::5"), ipv6("fe80::6")).build())), 58u);
    EXPECT_EQ(kept(*whole, Frame{}.bytes(true)), 0u);  // IPv4 is another capture's

    HelperOptions most{"eth0", kOwn6, false, {}};
    for (std::uint8_t i = 1; i <= kMaxExcluded; ++i) most.excluded.push_back(ipv6(("2001:db8::1:" + std::to_string(i)).c_str()));
    const auto program = captureProgram(1, most);
    ASSERT_TRUE(program.has_value());
    EXPECT_EQ(kept(*program, ethernetFrame(0x86DD, from(kOwn6, ipv6("::7")).build())), 58u);
    EXPECT_EQ(kept(*program, ethernetFrame(0x86DD, from(kOwn6, ipv6("2001:db8::1:64")).build())), 0u);
    EXPECT_LE(program->size(), 4096u);  // the kernel's most
    most.excluded.push_back(ipv6("2001:db8::2:1"));
    EXPECT_FALSE(captureProgram(1, most).has_value());
    // One family per program, and none for a link of IPv4 only.
    EXPECT_FALSE(captureProgram(1, {"eth0", kOwn6, false, {{10, 0, 0, 1}}}).has_value());
    EXPECT_FALSE(captureProgram(228, {"eth0", kOwn6, false, {}}).has_value());
}

}  // namespace
}  // namespace kestrova::helper
