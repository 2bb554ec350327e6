// The netlink reply parser of the Linux connection table, fed crafted
// input: no sockets are opened here.
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "monitor/RefreshCycle.h"
#include "linux/ProcNetTcpParser.h"
#include "linux/SockDiagParser.h"
#include "linux/SocketOwnerCache.h"

#include "CraftedAddresses.h"

namespace kestrova {
namespace {

using Status = SockDiagParseResult::Status;
using Octets = std::array<std::uint8_t, 4>;

constexpr std::uint32_t kSeq = 77;
constexpr std::uint32_t kPort = 4242;
// The interface index every crafted IPv6 socket is bound to.
constexpr std::uint32_t kBoundInterface = 7;

// Builds a datagram the way the kernel lays it out.
class Datagram {
public:
    Datagram& message(std::uint16_t type, const void* payload, std::size_t size, std::uint16_t flags = NLM_F_MULTI,
                      std::uint32_t seq = kSeq, std::uint32_t port = kPort) {
        nlmsghdr h{};
        h.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + size);
        h.nlmsg_type = type;
        h.nlmsg_flags = flags;
        h.nlmsg_seq = seq;
        h.nlmsg_pid = port;
        const std::size_t at = bytes.size();
        bytes.resize(at + NLMSG_ALIGN(h.nlmsg_len));
        std::memcpy(bytes.data() + at, &h, sizeof h);
        if (size)
            std::memcpy(bytes.data() + at + NLMSG_HDRLEN, payload, size);
        return *this;
    }
    Datagram& socket(const inet_diag_msg& m, std::uint16_t flags = NLM_F_MULTI) {
        return message(SOCK_DIAG_BY_FAMILY, &m, sizeof m, flags);
    }
    Datagram& done(int status = 0) { return message(NLMSG_DONE, &status, sizeof status); }
    Datagram& error(int error) {
        nlmsgerr e{};
        e.error = error;
        return message(NLMSG_ERROR, &e, sizeof e, 0);
    }
    std::vector<std::uint8_t> bytes;
};

inet_diag_msg v4Socket(Octets src, std::uint16_t sport, Octets dst, std::uint16_t dport, std::uint8_t state,
                       std::uint32_t inode) {
    inet_diag_msg m{};
    m.idiag_family = AF_INET;
    m.idiag_state = state;
    m.id.idiag_sport = htons(sport);
    m.id.idiag_dport = htons(dport);
    std::memcpy(m.id.idiag_src, src.data(), 4);
    std::memcpy(m.id.idiag_dst, dst.data(), 4);
    m.idiag_inode = inode;
    return m;
}

inet_diag_msg v6Socket(const std::array<std::uint8_t, 16>& src, const std::array<std::uint8_t, 16>& dst,
                       std::uint8_t state) {
    inet_diag_msg m{};
    m.idiag_family = AF_INET6;
    m.idiag_state = state;
    m.id.idiag_sport = htons(8080);
    m.id.idiag_dport = htons(50000);
    std::memcpy(m.id.idiag_src, src.data(), 16);
    std::memcpy(m.id.idiag_dst, dst.data(), 16);
    m.id.idiag_if = kBoundInterface;
    m.idiag_inode = 9;
    return m;
}

SockDiagParseResult parse(const Datagram& d, std::vector<TcpSocketEntry>& out,
                          IpFamilies families = IpFamilies::Ipv4) {
    return parseSockDiagDatagram(d.bytes, kSeq, kPort, out, SockDiagRequest::ByFamily, families);
}

TEST(SockDiagParse, ReadsEverySocketOfAValidReply) {
    Datagram d;
    d.socket(v4Socket({127, 0, 0, 1}, 0x1f90, {10, 1, 2, 3}, 443, TCP_ESTABLISHED, 1234))
        .socket(v4Socket({0, 0, 0, 0}, 22, {0, 0, 0, 0}, 0, TCP_LISTEN, 99))
        .done();
    std::vector<TcpSocketEntry> out;
    auto r = parse(d, out);
    EXPECT_EQ(r.status, Status::Done);
    EXPECT_FALSE(r.interrupted);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].row.localAddr, (Octets{127, 0, 0, 1}));
    EXPECT_EQ(out[0].row.localPort, 0x1f90);  // byte order of the port matters here
    EXPECT_EQ(out[0].row.remoteAddr, (Octets{10, 1, 2, 3}));
    EXPECT_EQ(out[0].row.remotePort, 443);
    EXPECT_EQ(out[0].row.state, kStateEstablished);
    EXPECT_EQ(out[0].inode, 1234u);
    EXPECT_EQ(out[1].row.state, kStateListen);
    EXPECT_EQ(out[1].row.localPort, 22);
}

// A socket message followed by netlink attributes, each (type, payload).
std::vector<std::uint8_t> withAttributes(const inet_diag_msg& m,
                                         const std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>>& attributes) {
    std::vector<std::uint8_t> bytes(sizeof m);
    std::memcpy(bytes.data(), &m, sizeof m);
    for (const auto& [type, payload] : attributes) {
        nlattr a{static_cast<std::uint16_t>(NLA_HDRLEN + payload.size()), type};
        const std::size_t at = bytes.size();
        bytes.resize(at + NLA_ALIGN(a.nla_len));
        std::memcpy(bytes.data() + at, &a, sizeof a);
        std::copy(payload.begin(), payload.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + NLA_HDRLEN));
    }
    return bytes;
}

std::vector<std::uint8_t> u64Bytes(std::uint64_t value) {
    std::vector<std::uint8_t> bytes(8);
    std::memcpy(bytes.data(), &value, 8);
    return bytes;
}

TEST(SockDiagParse, ReadsTheUserAndControlGroupOfEachSocket) {
    const std::uint64_t group = 0x1234'5678'9abcULL;
    auto sock = v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, TCP_ESTABLISHED, 1);
    sock.idiag_uid = 1000;
    const std::vector<std::uint8_t> shutdown = {0};
    struct Case {
        const char* name;
        std::vector<std::uint8_t> payload;
        std::uint64_t group;
    } cases[] = {
        {"AfterAnotherAttribute", withAttributes(sock, {{INET_DIAG_SHUTDOWN, shutdown}, {INET_DIAG_CGROUP_ID, u64Bytes(group)}}),
         group},
        {"WithTheNestedFlag", withAttributes(sock, {{INET_DIAG_CGROUP_ID | NLA_F_NESTED, u64Bytes(group)}}), group},
        {"None", withAttributes(sock, {{INET_DIAG_SHUTDOWN, shutdown}}), 0},
        {"TooShortForItsValue", withAttributes(sock, {{INET_DIAG_CGROUP_ID, {1, 2, 3, 4}}}), 0},
        {"BehindAnAttributePastTheEnd",
         [&] {
             auto bytes = withAttributes(sock, {{INET_DIAG_SHUTDOWN, shutdown}, {INET_DIAG_CGROUP_ID, u64Bytes(group)}});
             const std::uint16_t tooLong = 200;
             std::memcpy(bytes.data() + sizeof sock, &tooLong, 2);
             return bytes;
         }(),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Datagram d;
        d.message(SOCK_DIAG_BY_FAMILY, c.payload.data(), c.payload.size()).done();
        std::vector<TcpSocketEntry> out;
        EXPECT_EQ(parse(d, out).status, Status::Done);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].row.uid, 1000u);
        EXPECT_EQ(out[0].row.controlGroup, c.group);
    }
}

TEST(SockDiagParse, DumpInterruptedFlagIsReported) {
    Datagram d;
    d.socket(v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, TCP_ESTABLISHED, 1), NLM_F_MULTI | NLM_F_DUMP_INTR)
        .done();
    std::vector<TcpSocketEntry> out;
    auto r = parse(d, out);
    EXPECT_EQ(r.status, Status::Done);
    EXPECT_TRUE(r.interrupted);
}

struct BadDatagram {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int error;
};

std::vector<BadDatagram> badDatagrams() {
    const auto sock = v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, TCP_ESTABLISHED, 1);
    std::vector<BadDatagram> cases;
    auto add = [&cases](const char* name, std::vector<std::uint8_t> bytes, int error) {
        cases.push_back({name, std::move(bytes), error});
    };
    Datagram valid;
    valid.socket(sock).done();

    add("HeaderCutShort", {valid.bytes.begin(), valid.bytes.begin() + 10}, EBADMSG);
    add("SocketCutShort", {valid.bytes.begin(), valid.bytes.begin() + 40}, EBADMSG);
    {
        auto b = valid.bytes;
        std::uint32_t len = static_cast<std::uint32_t>(b.size() + 1);
        std::memcpy(b.data(), &len, 4);
        add("LengthPastTheEnd", b, EBADMSG);
        len = 0xffffffffu;
        std::memcpy(b.data(), &len, 4);
        add("LengthHuge", b, EBADMSG);
        len = 8;
        std::memcpy(b.data(), &len, 4);
        add("LengthBelowHeader", b, EBADMSG);
        len = 0;
        std::memcpy(b.data(), &len, 4);
        add("LengthZero", b, EBADMSG);
    }
    Datagram shortPayload;
    shortPayload.message(SOCK_DIAG_BY_FAMILY, &sock, sizeof sock - 1);
    add("PayloadSmallerThanASocket", shortPayload.bytes, EBADMSG);
    Datagram wrongSeq;
    wrongSeq.message(SOCK_DIAG_BY_FAMILY, &sock, sizeof sock, NLM_F_MULTI, kSeq - 1);
    add("AnswerToAnotherRequest", wrongSeq.bytes, EPROTO);
    Datagram wrongPort;
    wrongPort.message(SOCK_DIAG_BY_FAMILY, &sock, sizeof sock, NLM_F_MULTI, kSeq, 0);
    add("AddressedToAnotherSocket", wrongPort.bytes, EPROTO);
    add("KernelError", Datagram{}.error(-EACCES).bytes, EACCES);
    add("AcknowledgementInsteadOfDump", Datagram{}.error(0).bytes, EPROTO);
    add("DoneCarryingError", Datagram{}.done(-ENOBUFS).bytes, ENOBUFS);
    // Status words that are no errno: the negation of INT_MIN overflows.
    add("DoneCarryingIntMin", Datagram{}.done(INT_MIN).bytes, EPROTO);
    add("ErrorIntMin", Datagram{}.error(INT_MIN).bytes, EPROTO);
    add("ErrorBelowErrnoRange", Datagram{}.error(-4096).bytes, EPROTO);
    add("Overrun", Datagram{}.message(NLMSG_OVERRUN, nullptr, 0).bytes, EPROTO);
    {
        Datagram d;
        d.socket(sock).error(-EINVAL);
        add("ErrorAfterSockets", d.bytes, EINVAL);
        auto b = Datagram{}.socket(sock).bytes;
        b.resize(b.size() + 5, 0);
        add("TrailingBytes", b, EBADMSG);
    }
    return cases;
}

class SockDiagBadDatagram : public ::testing::TestWithParam<BadDatagram> {};

TEST_P(SockDiagBadDatagram, Fails) {
    std::vector<TcpSocketEntry> out;
    auto r = parseSockDiagDatagram(GetParam().bytes, kSeq, kPort, out);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(r.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(All, SockDiagBadDatagram, ::testing::ValuesIn(badDatagrams()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SockDiagParse, LastMessageWithoutPaddingIsRead) {
    Datagram d;
    d.done();
    d.bytes.push_back(0);  // header says 20, buffer is 21: 3 bytes of padding missing
    std::uint32_t len = 21;
    std::memcpy(d.bytes.data(), &len, 4);
    std::vector<TcpSocketEntry> out;
    EXPECT_EQ(parseSockDiagDatagram(d.bytes, kSeq, kPort, out).status, Status::Done);
}

struct V6Case {
    const char* name;
    Addr6 src, dst;
    std::uint8_t state;
    bool ipv4;  // an entry without IPv6 rows too
    IpAddress local, remote;
    bool listenerOnly = false;
    std::uint32_t interfaceIndex = 0;
};

class SockDiagV6 : public ::testing::TestWithParam<V6Case> {};

// Without IPv6 rows only the IPv4 connections of IPv6 sockets and the [::]
// listeners are entries; with them every IPv6 socket is, the IPv4 ones
// unchanged.
TEST_P(SockDiagV6, KeepsIpv4ConnectionsAndWithIpv6RowsEverySocket) {
    const V6Case& c = GetParam();
    for (IpFamilies families : {IpFamilies::Ipv4, IpFamilies::Ipv4AndIpv6}) {
        SCOPED_TRACE(families == IpFamilies::Ipv4 ? "IPv4" : "IPv4 and IPv6");
        Datagram d;
        d.socket(v6Socket(c.src, c.dst, c.state));
        std::vector<TcpSocketEntry> out;
        ASSERT_EQ(parse(d, out, families).status, Status::More);
        const bool kept = c.ipv4 || families == IpFamilies::Ipv4AndIpv6;
        ASSERT_EQ(out.size(), kept ? 1u : 0u);
        if (kept) {
            EXPECT_EQ(out[0].row.localAddr, c.local);
            EXPECT_EQ(out[0].row.remoteAddr, c.remote);
            EXPECT_EQ(out[0].row.localPort, 8080);
            EXPECT_EQ(out[0].row.remotePort, 50000);
            EXPECT_EQ(out[0].dualStackListener, c.listenerOnly);
            EXPECT_EQ(out[0].row.interfaceIndex, c.interfaceIndex);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, SockDiagV6,
    ::testing::Values(
        V6Case{"AcceptedFromIpv4Client", mapped(127, 0, 0, 1), mapped(127, 0, 0, 2), TCP_ESTABLISHED, true,
               {127, 0, 0, 1}, {127, 0, 0, 2}},
        V6Case{"ListenerOnMappedAddress", mapped(10, 0, 0, 1), kAny6, TCP_LISTEN, true, {10, 0, 0, 1}, {}},
        V6Case{"WildcardListenerIsTheListenerOfItsIpv4Clients", kAny6, kAny6, TCP_LISTEN, true, v6(kAny6),
               v6(kAny6), true},
        V6Case{"WildcardNonListener", kAny6, kAny6, TCP_SYN_SENT, false, v6(kAny6), v6(kAny6)},
        V6Case{"RealIpv6Connection", kLoopback6, kLoopback6, TCP_ESTABLISHED, false, v6(kLoopback6),
               v6(kLoopback6)},
        V6Case{"Ipv6ListenerOnOneAddress", kLoopback6, kAny6, TCP_LISTEN, false, v6(kLoopback6), v6(kAny6)},
        V6Case{"MappedLocalRealRemote", mapped(10, 0, 0, 1), kLoopback6, TCP_SYN_SENT, false, {10, 0, 0, 1},
               v6(kLoopback6)},
        V6Case{"LookalikePrefix", kDocumentation6, kDocumentation6, TCP_ESTABLISHED, false, v6(kDocumentation6),
               v6(kDocumentation6)},
        V6Case{"LinkLocalConnectionKeepsItsInterface", kLinkLocal6, kLinkLocalPeer6, TCP_ESTABLISHED, false,
               v6(kLinkLocal6), v6(kLinkLocalPeer6), false, kBoundInterface},
        V6Case{"LinkLocalListenerKeepsItsInterface", kLinkLocal6, kAny6, TCP_LISTEN, false, v6(kLinkLocal6),
               v6(kAny6), false, kBoundInterface}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SockDiagParse, UnknownFamilyIsSkipped) {
    auto m = v4Socket({1, 2, 3, 4}, 1, {5, 6, 7, 8}, 2, TCP_ESTABLISHED, 1);
    m.idiag_family = AF_UNIX;
    Datagram d;
    d.socket(m).done();
    std::vector<TcpSocketEntry> out;
    EXPECT_EQ(parse(d, out).status, Status::Done);
    EXPECT_TRUE(out.empty());
}

// A reply is only trusted when its socket messages carry the type of the
// request we sent; the legacy request's replies mix both address families.
TEST(SockDiagParse, SocketMessageTypeMustMatchTheRequest) {
    const auto v4 = v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, TCP_ESTABLISHED, 1);
    const auto mappedV6 = v6Socket(mapped(127, 0, 0, 1), mapped(127, 0, 0, 2), TCP_ESTABLISHED);
    const auto realV6 = v6Socket(kLoopback6, kLoopback6, TCP_ESTABLISHED);
    struct Case {
        SockDiagRequest request;
        std::uint16_t messageType;
        Status status;
        std::size_t kept;
    } cases[] = {
        {SockDiagRequest::ByFamily, SOCK_DIAG_BY_FAMILY, Status::Done, 2},
        {SockDiagRequest::LegacyTcp, TCPDIAG_GETSOCK, Status::Done, 2},
        {SockDiagRequest::ByFamily, TCPDIAG_GETSOCK, Status::Failed, 0},
        {SockDiagRequest::LegacyTcp, SOCK_DIAG_BY_FAMILY, Status::Failed, 0},
        {SockDiagRequest::LegacyTcp, DCCPDIAG_GETSOCK, Status::Failed, 0},
    };
    for (const Case& c : cases) {
        Datagram d;
        d.message(c.messageType, &v4, sizeof v4)
            .message(c.messageType, &mappedV6, sizeof mappedV6)
            .message(c.messageType, &realV6, sizeof realV6)
            .done();
        std::vector<TcpSocketEntry> out;
        auto r = parseSockDiagDatagram(d.bytes, kSeq, kPort, out, c.request);
        SCOPED_TRACE(testing::Message() << "request " << static_cast<int>(c.request) << ", type " << c.messageType);
        EXPECT_EQ(r.status, c.status);
        if (c.status == Status::Failed) {
            EXPECT_EQ(r.error, EPROTO);
        }
        ASSERT_EQ(out.size(), c.kept);
        if (c.kept) {
            EXPECT_EQ(out[1].row.localAddr, (Octets{127, 0, 0, 1}));
            EXPECT_EQ(out[1].row.remoteAddr, (Octets{127, 0, 0, 2}));
        }
    }
}

// What a user reads in the state column for each kernel state number, from
// the netlink reply and from the /proc text alike.
TEST(TcpStateMapping, EveryKernelStateEndsAsItsText) {
    const std::map<unsigned, std::string> expected = {
        {TCP_ESTABLISHED, "ESTABLISHED"},
        {TCP_SYN_SENT, "SYN_SENT"},
        {TCP_SYN_RECV, "SYN_RCVD"},
        {TCP_FIN_WAIT1, "FIN_WAIT1"},
        {TCP_FIN_WAIT2, "FIN_WAIT2"},
        {TCP_TIME_WAIT, "TIME_WAIT"},
        {TCP_CLOSE, "CLOSED"},
        {TCP_CLOSE_WAIT, "CLOSE_WAIT"},
        {TCP_LAST_ACK, "LAST_ACK"},
        {TCP_LISTEN, "LISTEN"},
        {TCP_CLOSING, "CLOSING"},
        {12 /* TCP_NEW_SYN_RECV */, "SYN_RCVD"},
        {13 /* TCP_BOUND_INACTIVE, never asked for */, "UNKNOWN(13)"},
        {255, "UNKNOWN(255)"},
    };
    for (const auto& [kernel, text] : expected) {
        SCOPED_TRACE("kernel state " + std::to_string(kernel));
        std::vector<TcpSocketEntry> out;
        Datagram d;
        d.socket(v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, static_cast<std::uint8_t>(kernel), 1));
        parse(d, out);
        char line[200];
        std::snprintf(line, sizeof line,
                      "   0: 0100007F:0001 0100007F:0002 %02X 00000000:00000000 00:00000000 00000000     0 0 1\n",
                      kernel);
        parseProcNetTcp(line, out);
        ASSERT_EQ(out.size(), 2u);
        for (const TcpSocketEntry& e : out)
            EXPECT_EQ(makeConnectionTexts(e.row).state, text);
    }
    EXPECT_EQ(makeConnectionTexts(TcpRow{}).state, "") << "0 is no state of any kernel";
}

// Whatever arrives, the parser stays inside the buffer (run under ASan) and
// never reports success for bytes that were not a sane reply.
TEST(SockDiagParse, SurvivesGarbageAndMutatedReplies) {
    std::mt19937 rng(12345);
    Datagram valid;
    const auto grouped = withAttributes(v4Socket({127, 0, 0, 1}, 3, {127, 0, 0, 1}, 4, TCP_ESTABLISHED, 2),
                                        {{INET_DIAG_SHUTDOWN, {0}}, {INET_DIAG_CGROUP_ID, u64Bytes(77)}});
    valid.socket(v4Socket({127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, TCP_ESTABLISHED, 1))
        .message(SOCK_DIAG_BY_FAMILY, grouped.data(), grouped.size())
        .socket(v6Socket(mapped(1, 2, 3, 4), kAny6, TCP_LISTEN))
        .socket(v6Socket(kLinkLocal6, kLinkLocalPeer6, TCP_ESTABLISHED))
        .done();
    std::vector<TcpSocketEntry> out;
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::uint8_t> bytes;
        if (i % 2) {
            bytes.resize(rng() % 300);
            for (auto& b : bytes)
                b = static_cast<std::uint8_t>(rng());
        } else {
            bytes = valid.bytes;
            for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
                bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
            bytes.resize(rng() % (bytes.size() + 1));
        }
        // Exactly sized heap copy so ASan sees any read past the end.
        auto heap = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), heap.get());
        out.clear();
        auto r = parseSockDiagDatagram({heap.get(), bytes.size()}, kSeq, kPort, out, SockDiagRequest::ByFamily,
                                       i % 4 < 2 ? IpFamilies::Ipv4 : IpFamilies::Ipv4AndIpv6);
        if (r.status == Status::Failed) {
            EXPECT_NE(r.error, 0);
        }
        EXPECT_LE(out.size(), bytes.size() / (NLMSG_HDRLEN + sizeof(inet_diag_msg)));
    }
}

}  // namespace
}  // namespace kestrova
