// The /proc/net/tcp text parser of the Linux connection table, fed crafted
// text: no sockets are opened here.

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

constexpr const char* kProcTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 1 "
    "0000000000000000 100 0 0 10 0\n"
    "   1: 0100007F:A3F2 0201A8C0:01BB 01 00000000:00000000 02:00000B3C 00000000  1000        0 777 2 "
    "0000000000000000 20 4 30 10 -1\n"
    "   2: 0100007F:A3F4 0100007F:0CEA 06 00000000:00000000 03:00001770 00000000     0        0 0 3 "
    "0000000000000000\n"
    "garbage line\n"
    "   3: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
    "   4: 0100007F:0CEA 00000000:0000\n"
    "   5: 0100007F0:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
    "   6: 0100007F:0CEA 00000000:00000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
    "   7: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 -5 1\n"
    "\n"
    "   8: 0100007F:0050 0100007F:D431 08 00000000:00000000 00:00000000 00000000     0        0 4242";

constexpr const char* kProcTcp6 =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 501 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:C350 01 00000000:00000000 "
    "00:00000000 00000000     0        0 502 1 0000000000000000 20 4 30 10 -1\n"
    "   2: 00000000000000000000000001000000:1F90 00000000000000000000000001000000:C351 01 00000000:00000000 "
    "00:00000000 00000000     0        0 503 1 0000000000000000 20 4 30 10 -1\n"
    "   3: 0000000000000000FFFF00000100007F:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000     0        0 504 1 0000000000000000 100 0 0 10 0\n"
    "   4: 0000000000000000FFFF00000100007F:1F90 0100007F:C350 01 00000000:00000000 "
    "00:00000000 00000000     0        0 505 1\n";

struct ExpectedEntry {
    IpAddress local;
    std::uint16_t localPort;
    IpAddress remote;
    std::uint16_t remotePort;
    std::uint32_t state;
    std::uint64_t inode;
};

void expectEntries(const std::vector<TcpSocketEntry>& got, const std::vector<ExpectedEntry>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].row.localAddr, want[i].local);
        EXPECT_EQ(got[i].row.localPort, want[i].localPort);
        EXPECT_EQ(got[i].row.remoteAddr, want[i].remote);
        EXPECT_EQ(got[i].row.remotePort, want[i].remotePort);
        EXPECT_EQ(got[i].row.state, want[i].state);
        EXPECT_EQ(got[i].inode, want[i].inode);
    }
}

TEST(ProcNetTcpParse, ReadsGoodLinesAndSkipsMalformedOnes) {
    if constexpr (std::endian::native != std::endian::little)
        GTEST_SKIP() << "sample text is from a little-endian machine";
    std::vector<TcpSocketEntry> out;
    parseProcNetTcp(kProcTcp, out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[1].row.uid, 1000u);
    expectEntries(out, {
                           {{127, 0, 0, 1}, 3306, {0, 0, 0, 0}, 0, kStateListen, 12345},
                           {{127, 0, 0, 1}, 0xA3F2, {192, 168, 1, 2}, 443, kStateEstablished, 777},
                           {{127, 0, 0, 1}, 0xA3F4, {127, 0, 0, 1}, 3306, kStateTimeWait, 0},
                           {{127, 0, 0, 1}, 80, {127, 0, 0, 1}, 0xD431, 8, 4242},
                       });
}

TEST(ProcNetTcpParse, KeepsOnlyIpv4ConnectionsOfIpv6SocketsWithoutIpv6Rows) {
    if constexpr (std::endian::native != std::endian::little)
        GTEST_SKIP() << "sample text is from a little-endian machine";
    std::vector<TcpSocketEntry> out;
    parseProcNetTcp(kProcTcp6, out);
    expectEntries(out, {
                           {v6(kAny6), 8080, v6(kAny6), 0, kStateListen, 501},
                           {{127, 0, 0, 1}, 8080, {127, 0, 0, 1}, 50000, kStateEstablished, 502},
                           {{127, 0, 0, 1}, 8080, {0, 0, 0, 0}, 0, kStateListen, 504},
                       });
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[0].dualStackListener) << "[::] listens for IPv4 clients too";
    EXPECT_FALSE(out[1].dualStackListener);
    EXPECT_FALSE(out[2].dualStackListener);
}

TEST(ProcNetTcpParse, ReadsIpv6SocketsWithIpv6Rows) {
    if constexpr (std::endian::native != std::endian::little)
        GTEST_SKIP() << "sample text is from a little-endian machine";
    std::vector<TcpSocketEntry> out;
    parseProcNetTcp(kProcTcp6, out, IpFamilies::Ipv4AndIpv6);
    expectEntries(out, {
                           {v6(kAny6), 8080, v6(kAny6), 0, kStateListen, 501},
                           {{127, 0, 0, 1}, 8080, {127, 0, 0, 1}, 50000, kStateEstablished, 502},
                           {v6(kLoopback6), 8080, v6(kLoopback6), 50001, kStateEstablished, 503},
                           {{127, 0, 0, 1}, 8080, {0, 0, 0, 0}, 0, kStateListen, 504},
                       });
}

}  // namespace
}  // namespace kestrova
