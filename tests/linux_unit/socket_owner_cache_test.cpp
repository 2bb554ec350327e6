// The owner cache of the Linux connection table over a fake process walk:
// no sockets are opened here.

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

using Octets = std::array<std::uint8_t, 4>;

// Processes as the cache would find them: who holds which socket, who has
// ended, who is being watched.
class FakeOwnerSource : public SocketOwnerSource {
public:
    ScanOutcome scan(std::vector<SocketHolder>& holders) override {
        ++scans;
        holders.clear();
        for (const SocketHolder& h : held)
            if (!ended.contains(h.pid))
                holders.push_back(h);
        // An ordinary user's walk, denied other users' processes; or root's,
        // which sees them all.
        return {cutShort, !root, root ? 0u : 4321u};
    }
    bool watch(std::uint32_t pid) override {
        if (ended.contains(pid))
            return false;
        watched.insert(pid);
        return true;
    }
    void unwatch(std::uint32_t pid) override { watched.erase(pid); }
    void collectExited(std::vector<std::uint32_t>& exited) override {
        for (std::uint32_t pid : watched)
            if (ended.contains(pid))
                exited.push_back(pid);
    }

    std::vector<SocketHolder> held;
    std::set<std::uint32_t> ended;
    std::set<std::uint32_t> watched;
    int scans = 0;
    bool cutShort = false;
    bool root = false;
};

struct Sock {
    std::uint64_t inode;
    std::uint32_t state = kStateEstablished;
    std::uint16_t localPort = 0;
    IpAddress local{127, 0, 0, 1};
    bool dualStackListener = false;
};

constexpr std::uint32_t kHidden = kPidNotVisible;
constexpr std::uint32_t kSynRcvd = 4, kFinWait1 = 6, kCloseWait = 8;
constexpr Octets kAnyV4{0, 0, 0, 0};

struct Tick {
    std::optional<std::vector<SocketHolder>> held;  // unset: as before
    std::vector<std::uint32_t> end;                 // processes that end before this tick
    std::vector<Sock> table;
    std::vector<std::uint32_t> pids;                // expected, one per socket
    int scans;                                      // expected total so far
    int ms = -1;                                    // when it comes; -1: 100 ms after the last
    bool cutShort = false;                          // walks run out of descriptors
};

struct OwnerScenario {
    const char* name;
    std::vector<Tick> ticks;
    bool root = false;  // the walks see every process
};

class OwnerCacheScenario : public ::testing::TestWithParam<OwnerScenario> {};

TEST_P(OwnerCacheScenario, Runs) {
    FakeOwnerSource source;
    source.root = GetParam().root;
    SocketOwnerCache cache(source);
    int n = 0;
    const auto start = SocketOwnerCache::Clock::now();
    auto now = start;
    for (const Tick& t : GetParam().ticks) {
        now = t.ms >= 0 ? start + std::chrono::milliseconds(t.ms) : now + std::chrono::milliseconds(100);
        SCOPED_TRACE("tick " + std::to_string(n++));
        if (t.held)
            source.held = *t.held;
        source.ended.insert(t.end.begin(), t.end.end());
        source.cutShort = t.cutShort;
        std::vector<TcpSocketEntry> entries;
        for (const Sock& s : t.table) {
            TcpSocketEntry e;
            e.inode = s.inode;
            e.row.state = s.state;
            e.row.localAddr = s.local;
            e.row.localPort = s.localPort;
            e.dualStackListener = s.dualStackListener;
            e.row.pid = 12345;  // must be overwritten
            entries.push_back(e);
        }
        cache.assignOwners(entries, now);
        std::vector<std::uint32_t> pids;
        for (const auto& e : entries)
            pids.push_back(e.row.pid);
        EXPECT_EQ(pids, t.pids);
        EXPECT_EQ(source.scans, t.scans);
        EXPECT_EQ(cache.scanCount(), static_cast<std::uint64_t>(t.scans));
        // Only live owners of current sockets are watched.
        for (std::uint32_t pid : source.watched) {
            EXPECT_FALSE(source.ended.contains(pid)) << pid;
            EXPECT_NE(std::find(pids.begin(), pids.end(), pid), pids.end()) << pid;
        }
    }
}

using H = std::vector<SocketHolder>;

INSTANTIATE_TEST_SUITE_P(
    All, OwnerCacheScenario,
    ::testing::Values(
        OwnerScenario{"SteadyTableWalksOnce",
                      {{H{{10, 100}, {11, 200}}, {}, {{10}, {11}}, {100, 200}, 1},
                       {{}, {}, {{10}, {11}}, {100, 200}, 1},
                       {{}, {}, {{11}, {10}}, {200, 100}, 1}}},
        OwnerScenario{"TimeWaitAndInodeZeroHaveNoOwnerAndCauseNoWalk",
                      {{H{{10, 100}}, {}, {{10, kStateTimeWait}, {0}, {0, kStateListen}}, {0, 0, 0}, 0}}},
        OwnerScenario{"SeveralNewSocketsShareOneWalk",
                      {{H{{10, 100}}, {}, {{10}}, {100}, 1},
                       {H{{10, 100}, {11, 100}, {12, 300}}, {}, {{10}, {11}, {12}}, {100, 100, 300}, 2},
                       {{}, {}, {{10}, {11}, {12}}, {100, 100, 300}, 2}}},
        OwnerScenario{"SocketsFoundEarlierNeedNoWalk",
                      // 11 was open (not yet connected) during the first walk.
                      {{H{{10, 100}, {11, 200}}, {}, {{10}}, {100}, 1},
                       {{}, {}, {{10}, {11}}, {100, 200}, 1}}},
        OwnerScenario{"SocketNobodyVisibleHoldsIsLookedForLessAndLessOften",
                      // Held where we cannot look: a walk after a second,
                      // then after two, four...
                      {{H{{10, 100}}, {}, {{10}, {99}}, {100, kHidden}, 1, 0},
                       {{}, {}, {{10}, {99}}, {100, kHidden}, 1, 900},
                       {{}, {}, {{10}, {99}}, {100, kHidden}, 2, 1000},
                       {{}, {}, {{10}, {99}}, {100, kHidden}, 2, 2900},
                       {{}, {}, {{99}}, {kHidden}, 3, 3000},
                       {{}, {}, {{99}}, {kHidden}, 3, 6900},
                       {{}, {}, {{99}}, {kHidden}, 4, 7000}}},
        OwnerScenario{"UnheldThenHeldIsFoundASecondLater",
                      // Its descriptor was on its way between two processes
                      // during the walk.
                      {{H{}, {}, {{10}}, {kHidden}, 1, 0},
                       {H{{10, 100}}, {}, {{10}}, {kHidden}, 1, 900},
                       {{}, {}, {{10}}, {100}, 2, 1000},
                       {{}, {}, {{10}}, {100}, 2, 1100}}},
        OwnerScenario{"ANewSocketWithoutHolderStartsTheBackoffAgain",
                      {{H{}, {}, {{10}}, {kHidden}, 1, 0},
                       {{}, {}, {{10}}, {kHidden}, 2, 1000},
                       {{}, {}, {{10}, {11}}, {kHidden, kHidden}, 3, 1500},
                       {H{{11, 100}}, {}, {{10}, {11}}, {kHidden, 100}, 4, 2500},
                       {{}, {}, {{10}, {11}}, {kHidden, 100}, 4, 4400},
                       {{}, {}, {{10}, {11}}, {kHidden, 100}, 5, 4500}}},
        OwnerScenario{"HolderThatClosedItsCopyGivesWayAtTheNextWalk",
                      // 100 handed the socket to its child 200 and closed
                      // its own copy, but lives on.
                      {{H{{10, 100}, {10, 200}}, {}, {{10}}, {100}, 1, 0},
                       {H{{10, 200}}, {}, {{10}}, {100}, 1, 1000},
                       {{}, {}, {{10}}, {100}, 1, 29900},
                       {{}, {}, {{10}}, {200}, 2, 30000},
                       {{}, {}, {{10}}, {200}, 2, 30100}}},
        OwnerScenario{"QueuedConnectionsBelongToTheirListener",
                      // From the handshake to a client that hung up before
                      // accept(); a socket its process closed is the kernel's.
                      {{H{{10, 100}}, {},
                        {{10, kStateListen, 80}, {0, kSynRcvd, 80}, {0, kStateEstablished, 80},
                         {0, kCloseWait, 80}, {0, kFinWait1, 80}, {0, kStateEstablished, 81}},
                        {100, 100, 100, 100, 0, 0}, 1}}},
        OwnerScenario{"ListenerOnEveryAddressOrBothFamilies",
                      {{H{{10, 100}, {11, 200}, {12, 300}}, {},
                        {{10, kStateListen, 80, kAnyV4}, {11, kStateListen, 81, kAnyV4, true},
                         {12, kStateListen, 81, {127, 0, 0, 2}},
                         {0, kStateEstablished, 80, {10, 1, 2, 3}}, {0, kStateEstablished, 81},
                         {0, kStateEstablished, 81, {127, 0, 0, 2}}},
                        {100, 200, 300, 100, 200, 300}, 1}}},
        OwnerScenario{"Ipv6ListenerOnItsAddressOrOnEveryAddress",
                      // An IPv4 listener on every address takes no IPv6 client.
                      {{H{{10, 100}, {11, 200}, {12, 300}}, {},
                        {{10, kStateListen, 80, v6(kAny6), true}, {11, kStateListen, 81, v6(kLoopback6)},
                         {12, kStateListen, 82, kAnyV4},
                         {0, kStateEstablished, 80, v6(kLoopback6)}, {0, kStateEstablished, 81, v6(kLoopback6)},
                         {0, kStateEstablished, 82, v6(kLoopback6)}, {0, kStateEstablished, 81, v6(kLinkLocal6)}},
                        {100, 200, 300, 100, 200, 0, 0}, 1}}},
        OwnerScenario{"QueuedOnAListenerWeCannotSeeIsNotVisibleEither",
                      {{H{}, {}, {{98, kStateListen, 80}, {0, kStateEstablished, 80}}, {kHidden, kHidden}, 1}}},
        OwnerScenario{"AcceptedBeforeItsDescriptorShowsKeepsTheListenersOwner",
                      // accept() gives the socket its inode a moment before
                      // the descriptor appears in /proc.
                      {{H{{10, 100}}, {}, {{10, kStateListen, 80}, {0, kStateEstablished, 80}}, {100, 100}, 1},
                       {{}, {}, {{10, kStateListen, 80}, {12, kStateEstablished, 80}}, {100, 100}, 2},
                       {H{{10, 100}, {12, 100}}, {}, {{10, kStateListen, 80}, {12, kStateEstablished, 80}},
                        {100, 100}, 2}}},
        OwnerScenario{"SharedSocketGoesToLowestPid",
                      {{H{{10, 300}, {10, 200}, {10, 250}}, {}, {{10}}, {200}, 1}}},
        OwnerScenario{"SharedSocketKeepsItsOwnerAcrossWalks",
                      {{H{{10, 200}}, {}, {{10}}, {200}, 1},
                       // A lower pid now holds it too (socket activation);
                       // a new socket forces a walk.
                       {H{{10, 200}, {10, 100}, {11, 100}}, {}, {{10}, {11}}, {200, 100}, 2},
                       {{}, {}, {{10}, {11}}, {200, 100}, 2}}},
        OwnerScenario{"EndedOwnerHandsOverToRemainingHolder",
                      {{H{{10, 100}, {10, 200}}, {}, {{10}}, {100}, 1},
                       {{}, {100}, {{10}}, {200}, 2},
                       {{}, {}, {{10}}, {200}, 2}}},
        OwnerScenario{"EndedOwnerWithReusedPidIsNotBelieved",
                      // pid 100 ends; its socket lives on where we cannot see.
                      {{H{{10, 100}}, {}, {{10}}, {100}, 1},
                       {H{}, {100}, {{10}}, {kHidden}, 2},
                       {{}, {}, {{10}}, {kHidden}, 2}}},
        OwnerScenario{"OwnerGoneBeforeWatchIsLookedUpAgain",
                      // 11's holder was seen in a walk, then ended before 11
                      // showed up in the table; the socket now sits with 300.
                      {{H{{10, 100}, {11, 200}}, {}, {{10}}, {100}, 1},
                       {H{{10, 100}, {11, 200}, {11, 300}}, {200}, {{10}, {11}}, {100, 300}, 2}}},
        OwnerScenario{"AWalkCutShortTakesNoOwnerAwayAndIsMadeAgain",
                      // Out of descriptors, the walk for 12 sees nobody; 12
                      // is looked up again a second later.
                      {{H{{10, 100}, {11, 200}}, {}, {{10}, {11}}, {100, 200}, 1, 0},
                       {H{}, {}, {{10}, {11}, {12}}, {100, 200, kHidden}, 2, 100, true},
                       {H{{10, 100}, {11, 200}, {12, 300}}, {}, {{10}, {11}, {12}}, {100, 200, kHidden}, 2, 1000},
                       {{}, {}, {{10}, {11}, {12}}, {100, 200, 300}, 3, 1100},
                       {{}, {}, {{10}, {11}, {12}}, {100, 200, 300}, 3, 2200}}},
        OwnerScenario{"WhereEveryProcessIsSeenASocketNobodyHoldsIsNobodys",
                      // Root: the holder went away before the walk.
                      {{H{{10, 100}}, {}, {{10}, {11}}, {100, 0}, 1}},
                      true},
        OwnerScenario{"ClosedSocketsAreForgotten",
                      // 10 vanishes and comes back: it must be looked up again.
                      {{H{{10, 100}}, {}, {{10}}, {100}, 1},
                       {{}, {}, {}, {}, 1},
                       {H{{10, 400}}, {}, {{10}}, {400}, 2}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A request socket names no user or group of its own: one that waits for a
// listener we cannot see is named as the listener is.
TEST(OwnerCache, QueuedConnectionTakesTheGroupAndUserOfAListenerWeCannotSee) {
    FakeOwnerSource source;
    SocketOwnerCache cache(source);
    std::vector<TcpSocketEntry> entries(2);
    entries[0].inode = 98;
    entries[0].row.state = kStateListen;
    entries[0].row.localPort = 80;
    entries[0].row.uid = 1000;
    entries[0].row.controlGroup = 4242;
    entries[1].row.state = kSynRcvd;
    entries[1].row.localPort = 80;
    entries[1].row.localAddr = entries[0].row.localAddr = {127, 0, 0, 1};
    cache.assignOwners(entries, SocketOwnerCache::Clock::now());
    EXPECT_EQ(entries[1].row.pid, kHidden);
    EXPECT_EQ(entries[1].row.uid, 1000u);
    EXPECT_EQ(entries[1].row.controlGroup, 4242u);
}

}  // namespace
}  // namespace kestrova
