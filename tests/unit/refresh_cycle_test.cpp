#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "Fakes.h"
#include "monitor/AddressText.h"
#include "monitor/ProcessNameLookup.h"
#include "monitor/RefreshCycle.h"

namespace kestrova {
namespace {

using testing::FakeConnectionTable;
using testing::FakeProcessInfo;
using testing::ipv6;
using testing::tcp;

const IpAddress kAny6 = ipv6({0, 0, 0, 0, 0, 0, 0, 0});
const IpAddress kLoopback6 = ipv6({0, 0, 0, 0, 0, 0, 0, 1});

constexpr std::uint32_t LISTEN = 2, SYN_SENT = 3, ESTABLISHED = 5, TIME_WAIT = 11;

class RefreshCycleTest : public ::testing::Test {
protected:
    ConnectionList list;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    std::vector<std::string> log;  // in the order written; the pane shows it reversed
    std::string errors;
    RefreshCycle cycle{list, table, processes, [this](std::string_view t) { log.emplace_back(t); },
                       [this](std::string_view t) { errors += t; }};

    void tick(bool showHostname = false) { cycle.tick(showHostname); }
    std::string cell(int row, int column) const { return cellText(list, row, column); }
    std::vector<std::string> takeLog() { return std::exchange(log, {}); }
};

TEST_F(RefreshCycleTest, NewRowsAreFilledAndStandInReverseSnapshotOrder) {
    processes.paths[42] = "/usr/bin/client";
    table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 1025, {10, 0, 0, 2}, 80, 42),
                  tcp(LISTEN, {0, 0, 0, 0}, 22, {0, 0, 0, 0}, 4711, 0)};
    tick();
    ASSERT_EQ(list.rowCount(), 2);
    // Row 0 is the connection the snapshot listed last.
    const std::vector<std::string> listener = {"TCP", "", "0.0.0.0:22", "→", "0.0.0.0:0", "LISTEN",
                                               "System Idle Process", "0", "新規", "0.0.0.0", "", "22",
                                               "0.0.0.0", "", "0", "0"};
    const std::vector<std::string> client = {"TCP", "", "10.0.0.1:1025", "→", "10.0.0.2:80", "ESTABLISHED",
                                             "/usr/bin/client", "42", "新規", "10.0.0.1", "", "1025",
                                             "10.0.0.2", "", "80", "0"};
    for (int column = 0; column < kConnectionColumns; ++column) {
        EXPECT_EQ(cell(0, column), listener[column]) << "column " << column;
        EXPECT_EQ(cell(1, column), client[column]) << "column " << column;
    }
    EXPECT_EQ(takeLog(), (std::vector<std::string>{
                             "プロセスID:(42)→プログラム名:(/usr/bin/client)",
                             "(/usr/bin/client)の(10.0.0.2:80)との接続状態を(ESTABLISHED)で新規追加しました。",
                             "(System Idle Process)の(0.0.0.0:0)との接続状態を(LISTEN)で新規追加しました。",
                         }));
}

TEST_F(RefreshCycleTest, RemotePortIsZeroWheneverRemoteFirstOctetIsZero) {
    table.rows = {tcp(SYN_SENT, {10, 0, 0, 1}, 1, {0, 9, 9, 9}, 4711, 7),
                  tcp(SYN_SENT, {10, 0, 0, 1}, 2, {1, 0, 0, 0}, 4711, 7)};
    tick();
    EXPECT_EQ(cell(1, colDestination), "0.9.9.9:0");
    EXPECT_EQ(cell(1, colRemotePort), "0");
    EXPECT_EQ(cell(0, colDestination), "1.0.0.0:4711");
    // Process 7 has no readable image: "System".
    EXPECT_EQ(cell(0, colProcess), "System");
}

TEST_F(RefreshCycleTest, StateChangeUpdatesInPlaceAndLogsOnce) {
    processes.paths[5] = "/bin/p";
    table.rows = {tcp(SYN_SENT, {10, 0, 0, 1}, 1, {10, 0, 0, 2}, 2, 5),
                  tcp(ESTABLISHED, {10, 0, 0, 1}, 3, {10, 0, 0, 2}, 4, 5)};
    tick();
    takeLog();
    table.rows[0].state = ESTABLISHED;
    tick();
    tick();
    EXPECT_EQ(takeLog(), std::vector<std::string>{"(/bin/p)の(10.0.0.2:2)との接続状態を(ESTABLISHED)に更新しました。"});
    EXPECT_EQ(cell(1, colState), "ESTABLISHED");
    EXPECT_EQ(cell(1, colLocalPort), "1");  // kept its place
    EXPECT_EQ(cell(0, colSeen), "更新");
    EXPECT_EQ(cell(1, colSeen), "更新");
}

// Each line says what kind it is and, for a connection, the row's texts as
// they stand once the line is written: a changed row in its new state, a
// removed one with what it showed last.
TEST(RefreshCycleEvents, KindsAndConnectionTexts) {
    ConnectionList list;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    processes.paths[5] = "/bin/p";
    std::vector<std::string> seen;
    RefreshCycle cycle(list, table, processes, [&](const LogEvent& event) {
        std::string entry(logKindWord(event.kind));
        if (const ConnectionFacts* c = event.connection)
            for (std::string_view field : {c->local, c->remote, c->localIp, c->localPort, c->remoteIp, c->remotePort,
                                           c->state, c->pid, c->process, c->bytes})
                entry += " " + std::string(field);
        if (!event.pid.empty()) entry += " pid=" + std::string(event.pid) + " " + std::string(event.process);
        seen.push_back(entry);
    }, {});
    table.rows = {tcp(SYN_SENT, {10, 0, 0, 1}, 1, {10, 0, 0, 2}, 2, 5),
                  tcp(LISTEN, {0, 0, 0, 0}, 22, {0, 0, 0, 0}, 0, kPidNotVisible)};
    cycle.tick(false);
    table.rows[0].state = ESTABLISHED;
    cycle.tick(false);
    list.setCellText(0, colTotalBytes, "99");  // as packet checking would
    table.rows.clear();
    cycle.tick(false);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "process pid=5 /bin/p",
                        "added 10.0.0.1:1 10.0.0.2:2 10.0.0.1 1 10.0.0.2 2 SYN_SENT 5 /bin/p 0",
                        "added 0.0.0.0:22 0.0.0.0:0 0.0.0.0 22 0.0.0.0 0 LISTEN  System (0) 0",
                        "changed 10.0.0.1:1 10.0.0.2:2 10.0.0.1 1 10.0.0.2 2 ESTABLISHED 5 /bin/p 0",
                        "removed 10.0.0.1:1 10.0.0.2:2 10.0.0.1 1 10.0.0.2 2 ESTABLISHED 5 /bin/p 0",
                        "removed 0.0.0.0:22 0.0.0.0:0 0.0.0.0 22 0.0.0.0 0 LISTEN  System (0) 99",
                    }));
}

TEST_F(RefreshCycleTest, SameEndpointsUnderAnotherPidReplaceTheRow) {
    processes.paths = {{1, "/bin/a"}, {2, "/bin/b"}};
    table.rows = {tcp(ESTABLISHED, {127, 0, 0, 1}, 5000, {127, 0, 0, 1}, 80, 1)};
    tick();
    takeLog();
    table.rows[0].pid = 2;
    tick();
    ASSERT_EQ(list.rowCount(), 1);
    EXPECT_EQ(cell(0, colPid), "2");
    EXPECT_EQ(takeLog(), (std::vector<std::string>{
                             "プロセスID:(2)→プログラム名:(/bin/b)",
                             "(/bin/b)の(127.0.0.1:80)との接続状態を(ESTABLISHED)で新規追加しました。",
                             "(/bin/a)の(127.0.0.1:80)との接続状態を破棄しました。",
                         }));
}

TEST_F(RefreshCycleTest, SweepRemovesGoneRowsBottomUp) {
    table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 1, {10, 0, 0, 9}, 1, 0),
                  tcp(ESTABLISHED, {10, 0, 0, 1}, 2, {10, 0, 0, 9}, 2, 0),
                  tcp(ESTABLISHED, {10, 0, 0, 1}, 3, {10, 0, 0, 9}, 3, 0)};
    tick();
    takeLog();
    table.rows = {table.rows[1]};
    tick();
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_EQ(cell(0, colSeen), "更新");
    EXPECT_EQ(takeLog(), (std::vector<std::string>{
                             "(System Idle Process)の(10.0.0.9:1)との接続状態を破棄しました。",
                             "(System Idle Process)の(10.0.0.9:3)との接続状態を破棄しました。",
                         }));
}

TEST_F(RefreshCycleTest, FailedSnapshotKeepsEveryRow) {
    table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 1, {10, 0, 0, 9}, 1, 0)};
    tick();
    takeLog();
    table.fail = true;
    tick();
    EXPECT_EQ(errors, "ERROR AllocateAndGetTcpExTableFromStack\n");
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_TRUE(takeLog().empty());
    table.fail = false;
    tick();
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_TRUE(takeLog().empty());  // found again, not re-added
}

TEST_F(RefreshCycleTest, EmptySnapshotRemovesEverything) {
    table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 1, {10, 0, 0, 9}, 1, 0)};
    tick();
    table.rows.clear();
    tick();
    EXPECT_EQ(list.rowCount(), 0);
}

TEST_F(RefreshCycleTest, UnknownStatesShowTheirNumberAndChangesAreLogged) {
    EXPECT_EQ(stateText(0), "");
    EXPECT_EQ(stateText(12), "DELETE_TCB");
    EXPECT_EQ(stateText(13), "UNKNOWN(13)");
    EXPECT_EQ(stateText(4294967295u), "UNKNOWN(4294967295)");
    table.rows = {tcp(99, {10, 0, 0, 1}, 1, {10, 0, 0, 9}, 1, 0)};
    tick();
    EXPECT_EQ(cell(0, colState), "UNKNOWN(99)");
    takeLog();
    table.rows[0].state = TIME_WAIT;
    tick();
    EXPECT_EQ(cell(0, colState), "TIME_WAIT");
    EXPECT_EQ(takeLog().size(), 1u);
}

// A name is shown as name:port, an IPv6 address alone in brackets.
TEST_F(RefreshCycleTest, HostNamesShowOnlyWhileTheOptionIsOn) {
    const struct {
        TcpRow row;
        const char *source, *addressed;
    } cases[] = {
        {tcp(ESTABLISHED, {10, 0, 0, 1}, 1025, {10, 0, 0, 2}, 80, 0), "10.0.0.1:1025", "10.0.0.2:80"},
        {tcp(ESTABLISHED, kLoopback6, 1025, ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10}), 80, 0), "[::1]:1025",
         "[2001:db8::10]:80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addressed);
        table.rows = {c.row};
        tick();
        list.setCellText(0, colRemoteHost, "server.example");
        tick(true);
        EXPECT_EQ(cell(0, colSource), c.source);  // no local name: address form
        EXPECT_EQ(cell(0, colDestination), "server.example:80");
        table.rows[0].state = TIME_WAIT;
        takeLog();
        tick(true);
        EXPECT_EQ(takeLog(), std::vector<std::string>{
                                 "(System Idle Process)の(server.example:80)との接続状態を(TIME_WAIT)に更新しました。"});
        tick(false);
        EXPECT_EQ(cell(0, colDestination), c.addressed);
        EXPECT_TRUE(takeLog().empty());
        table.rows.clear();
        tick();
        takeLog();
    }
}

TEST_F(RefreshCycleTest, Ipv6RowsShowBracketedEndpointsAndBareAddresses) {
    processes.paths[42] = "/usr/bin/client";
    table.interfaces[3] = "eth0";
    table.rows = {tcp(ESTABLISHED, kLoopback6, 40000, kLoopback6, 5000, 42),
                  tcp(LISTEN, kAny6, 22, kAny6, 4711, 0),
                  tcp(ESTABLISHED, ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 22, ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 2}), 50000,
                      0, 3),
                  tcp(ESTABLISHED, {127, 0, 0, 1}, 40001, {127, 0, 0, 1}, 5000, 42)};
    tick();
    ASSERT_EQ(list.rowCount(), 4);
    struct Expected {
        int row;
        const char *source, *destination, *localIp, *localPort, *remoteIp, *remotePort;
    } expected[] = {
        {0, "127.0.0.1:40001", "127.0.0.1:5000", "127.0.0.1", "40001", "127.0.0.1", "5000"},
        {1, "[fe80::1%eth0]:22", "[fe80::2%eth0]:50000", "fe80::1%eth0", "22", "fe80::2%eth0", "50000"},
        // A listener's remote end carries no port, whatever the field holds.
        {2, "[::]:22", "[::]:0", "::", "22", "::", "0"},
        // The remote ::1 starts with a zero byte, and still has its port.
        {3, "[::1]:40000", "[::1]:5000", "::1", "40000", "::1", "5000"},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.source);
        EXPECT_EQ(cell(e.row, colSource), e.source);
        EXPECT_EQ(cell(e.row, colDestination), e.destination);
        EXPECT_EQ(cell(e.row, colLocalIp), e.localIp);
        EXPECT_EQ(cell(e.row, colLocalPort), e.localPort);
        EXPECT_EQ(cell(e.row, colRemoteIp), e.remoteIp);
        EXPECT_EQ(cell(e.row, colRemotePort), e.remotePort);
    }
    EXPECT_EQ(takeLog(), (std::vector<std::string>{
                             "プロセスID:(42)→プログラム名:(/usr/bin/client)",
                             "(/usr/bin/client)の([::1]:5000)との接続状態を(ESTABLISHED)で新規追加しました。",
                             "(System Idle Process)の([::]:0)との接続状態を(LISTEN)で新規追加しました。",
                             "(System Idle Process)の([fe80::2%eth0]:50000)との接続状態を(ESTABLISHED)"
                             "で新規追加しました。",
                             "プロセスID:(42)→プログラム名:(/usr/bin/client)",
                             "(/usr/bin/client)の(127.0.0.1:5000)との接続状態を(ESTABLISHED)で新規追加しました。",
                         }));
    // Found again by their texts, as any row is.
    tick();
    EXPECT_EQ(list.rowCount(), 4);
    EXPECT_TRUE(takeLog().empty());
}

// The same link-local address on two links is two addresses.
TEST_F(RefreshCycleTest, LinkLocalRowsOfTwoInterfacesAreTwoRows) {
    table.interfaces = {{2, "eth0"}, {3, "wlan0"}};
    const IpAddress local = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), remote = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 2});
    table.rows = {tcp(ESTABLISHED, local, 22, remote, 50000, 0, 2), tcp(ESTABLISHED, local, 22, remote, 50000, 0, 3)};
    tick();
    tick();
    ASSERT_EQ(list.rowCount(), 2);
    EXPECT_EQ(cell(0, colLocalIp), "fe80::1%wlan0");
    EXPECT_EQ(cell(1, colLocalIp), "fe80::1%eth0");
    EXPECT_EQ(cell(0, colSeen), "更新");
    EXPECT_EQ(cell(1, colSeen), "更新");
}

TEST_F(RefreshCycleTest, EveryNewRowOfOneProcessLogsItsOwnProcessLine) {
    processes.paths[9] = "/bin/x";
    table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 1, {10, 0, 0, 2}, 1, 9),
                  tcp(ESTABLISHED, {10, 0, 0, 1}, 2, {10, 0, 0, 2}, 2, 9)};
    tick();
    const auto lines = takeLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], lines[2]);
    EXPECT_EQ(lines[0], "プロセスID:(9)→プログラム名:(/bin/x)");
    EXPECT_EQ(processes.lookups, 1);  // one lookup per process within a tick
}

TEST_F(RefreshCycleTest, SteadyTickWritesNoCell) {
    struct Counter : TableObserver {
        int changes = 0;
        void rowInserted() override { ++changes; }
        void rowDeleted(int) override { ++changes; }
        void cellChanged(int, int) override { ++changes; }
    } counter;
    for (std::uint16_t port = 1; port <= 50; ++port)
        table.rows.push_back(tcp(ESTABLISHED, {127, 0, 0, 1}, port, {127, 0, 0, 1}, 80, 3));
    tick();
    tick();
    list.setObserver(&counter);
    tick();
    EXPECT_EQ(counter.changes, 0);
    list.setObserver(nullptr);
}

TEST_F(RefreshCycleTest, DuplicateSnapshotRowsMakeOneRowMarkedUpdated) {
    // Two listeners sharing a port in one process carry the same five keys.
    table.rows = {tcp(LISTEN, {0, 0, 0, 0}, 80, {0, 0, 0, 0}, 0, 4), tcp(LISTEN, {0, 0, 0, 0}, 80, {0, 0, 0, 0}, 0, 4)};
    tick();
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_EQ(cell(0, colSeen), "更新");
}

// Who a new row names when no path is found, and what its process id cell
// shows; an owner we may not inspect is never looked up.
TEST_F(RefreshCycleTest, OwnerStandInsAndTheirProcessIdCells) {
    struct Case {
        std::uint32_t pid;
        const char* process;
        const char* pidCell;
        int lookups;
    } cases[] = {
        {0, "System Idle Process", "0", 1},
        {kPidNotVisible, "System (0)", "", 0},  // no group or user name known
        {77, "System", "77", 1},
        {78, "/usr/bin/server", "78", 1},
    };
    processes.paths[78] = "/usr/bin/server";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        processes.lookups = 0;
        table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 80, {10, 0, 0, 2}, 5000, c.pid)};
        tick();
        ASSERT_EQ(list.rowCount(), 1);
        EXPECT_EQ(cell(0, colProcess), c.process);
        EXPECT_EQ(cell(0, colPid), c.pidCell);
        EXPECT_EQ(processes.lookups, c.lookups);
        const std::vector<std::string> lines = takeLog();  // the last case's row goes too
        const std::string added =
            std::string("(") + c.process + ")の(10.0.0.2:5000)との接続状態を(ESTABLISHED)で新規追加しました。";
        EXPECT_NE(std::find(lines.begin(), lines.end(), added), lines.end());
        EXPECT_EQ(lines.size(), (c.pid == 78 ? 2u : 1u) + (c.pid == 0 ? 0u : 1u));
        tick();  // found again by its key: no new row
        EXPECT_EQ(cell(0, colSeen), "更新");
        EXPECT_EQ(processes.lookups, c.lookups);
    }
}

// A socket whose process we may not inspect is named by its control group
// and user, as the kernel tells them; its process id cell stays empty.
TEST_F(RefreshCycleTest, OwnersWeMayNotInspectShowTheirGroupAndUser) {
    struct Case {
        std::uint32_t pid, uid;
        std::uint64_t group;
        const char* process;
    } cases[] = {
        {kPidNotVisible, 0, 7, "sshd.service (root)"},
        {kPidNotVisible, 1000, 8, "app-firefox-4242.scope (alice)"},
        {kPidNotVisible, 0, 1, "System (root)"},          // the root group
        {kPidNotVisible, 1000, 99, "System (alice)"},     // a group no longer there
        {kPidNotVisible, 0, 0, "System (root)"},          // no group told
        {kPidNotVisible, 4321, 7, "sshd.service (4321)"}, // a uid without a name
        {kPidNotVisible, 666, 66, "evil\\x1b[2J\\xff.scope (m\\u202eallory\\x0a)"},
        {0, 0, 7, "System Idle Process"},
        {77, 0, 7, "System"},
    };
    processes.groups = {{1, ""}, {7, "/system.slice/sshd.service"},
                        {8, "/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-4242.scope"},
                        {66, "/user.slice/evil\x1b[2J\xff.scope"}};
    processes.users = {{0, "root"}, {1000, "alice"}, {666, "m\u202eallory\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.process);
        TcpRow row = tcp(ESTABLISHED, {10, 0, 0, 1}, 80, {10, 0, 0, 2}, 5000, c.pid);
        row.uid = c.uid;
        row.controlGroup = c.group;
        TcpRow listener = tcp(LISTEN, {10, 0, 0, 1}, 80, {0, 0, 0, 0}, 0, c.pid);
        listener.uid = c.uid;
        listener.controlGroup = c.group;
        table.rows = {listener, row};
        processes.ownerLookups = 0;
        tick();
        ASSERT_EQ(list.rowCount(), 2);
        for (int r = 0; r < 2; ++r) {
            EXPECT_EQ(cell(r, colProcess), c.process);
            EXPECT_EQ(cell(r, colPid), c.pid == kPidNotVisible ? "" : std::to_string(c.pid));
        }
        const std::vector<std::string> lines = takeLog();
        const std::string added =
            std::string("(") + c.process + ")の(10.0.0.2:5000)との接続状態を(ESTABLISHED)で新規追加しました。";
        EXPECT_NE(std::find(lines.begin(), lines.end(), added), lines.end());
        // Two rows of one owner in one tick: one look.
        EXPECT_EQ(processes.ownerLookups, c.pid == kPidNotVisible ? 1 : 0);
        table.rows.clear();
        tick();
    }
    EXPECT_EQ(processes.ticks, 2 * static_cast<int>(std::size(cases)));
}

// Anyone may name a program file; its path is shown as host names are, in
// the row and both log lines, and a plain one exactly as it is.
TEST_F(RefreshCycleTest, ProgramPathsAreShownAsText) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/server", "/usr/bin/server"},
        {"/opt/日本語/アプリ (deleted)", "/opt/日本語/アプリ (deleted)"},
        {"/tmp/k\x1b[31m\n\xc2\x9b\x9b\xff\u202egpj.exe", "/tmp/k\\x1b[31m\\x0a\\u009b\\x9b\\xff\\u202egpj.exe"},
    };
    for (const auto& [path, shown] : cases) {
        SCOPED_TRACE(shown);
        processes.paths[78] = path;
        table.rows = {tcp(ESTABLISHED, {10, 0, 0, 1}, 80, {10, 0, 0, 2}, 5000, 78)};
        tick();
        EXPECT_EQ(cell(0, colProcess), shown);
        EXPECT_EQ(takeLog(), (std::vector<std::string>{
                                 "プロセスID:(78)→プログラム名:(" + shown + ")",
                                 "(" + shown + ")の(10.0.0.2:5000)との接続状態を(ESTABLISHED)で新規追加しました。"}));
        table.rows.clear();
        tick();
        EXPECT_EQ(takeLog(), std::vector<std::string>{"(" + shown + ")の(10.0.0.2:5000)との接続状態を破棄しました。"});
    }
}

TEST(ControlGroupName, IsTheLastComponentOfThePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"/system.slice/cups.service", "cups.service"},
        {"/system.slice/docker-0123abcd.scope", "docker-0123abcd.scope"},
        {"/machine.slice/", "machine.slice"},
        {"init.scope", "init.scope"},
        {"/", ""},
        {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(controlGroupName(path), name) << path;
}

// A refresh that remembers its last tick (and skips what cannot have
// changed) must leave the rows and the log exactly as one that starts from
// nothing at every tick, whatever else writes to the rows in between.
class RefreshCycleMemory : public ::testing::TestWithParam<unsigned> {};

TEST_P(RefreshCycleMemory, MatchesAFreshRefreshEveryTick) {
    std::mt19937 rng(GetParam());
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    FakeConnectionTable table;
    FakeProcessInfo processes;
    processes.paths[3] = "/bin/three";
    ConnectionList kept, fresh;
    std::vector<std::string> keptLog, freshLog;
    RefreshCycle keeper(kept, table, processes, [&](std::string_view t) { keptLog.emplace_back(t); }, {});
    std::vector<TcpRow> live;
    for (int i = 0; i < 40; ++i)
        live.push_back(tcp(ESTABLISHED, {10, 0, 0, 1}, static_cast<std::uint16_t>(1000 + i), {10, 0, 0, 2}, 80,
                           static_cast<std::uint32_t>(pick(4))));
    for (int step = 0; step < 600; ++step) {
        // The machine: connections come, go and change state.
        for (int n = pick(3); n > 0 && !live.empty(); --n) live.erase(live.begin() + pick(static_cast<int>(live.size())));
        const IpAddress remotes[] = {{10, 0, 0, 3}, {10, 0, 0, 3}, {10, 0, 0, 3}, {0, 0, 0, 5}, kLoopback6, kAny6};
        for (int n = pick(3); n > 0; --n)
            live.push_back(tcp(SYN_SENT, {10, 0, 0, 1}, static_cast<std::uint16_t>(2000 + pick(500)), remotes[pick(6)],
                               static_cast<std::uint16_t>(pick(3)), static_cast<std::uint32_t>(pick(4))));
        for (TcpRow& r : live)
            if (pick(20) == 0) r.state = r.state == ESTABLISHED ? TIME_WAIT : ESTABLISHED;
        table.rows = live;
        std::sort(table.rows.begin(), table.rows.end(), inSnapshotOrder);
        table.fail = pick(30) == 0;
        // Everyone else: host names, traffic, a hand-written cell.
        const int outside = pick(6);
        for (ConnectionList* list : {&kept, &fresh}) {
            if (list->rowCount() == 0) break;
            std::mt19937 same(static_cast<unsigned>(step));  // the same writes to both lists
            const int row = static_cast<int>(same() % static_cast<unsigned>(list->rowCount()));
            if (outside == 0) list->setCellText(row, colRemoteHost, "host" + std::to_string(step % 3));
            if (outside == 1) list->setCellText(row, colTotalBytes, std::to_string(step));
            if (outside == 2) list->setCellText(row, colState, "odd");
            if (outside == 3) list->setCellText(row, colSeen, "");
        }
        const bool showHostname = step % 50 > 25;
        keeper.tick(showHostname);
        RefreshCycle(fresh, table, processes, [&](std::string_view t) { freshLog.emplace_back(t); }, {})
            .tick(showHostname);
        const auto [k, f] = std::mismatch(keptLog.begin(), keptLog.end(), freshLog.begin(), freshLog.end());
        ASSERT_TRUE(k == keptLog.end() && f == freshLog.end())
            << "step " << step << ", line " << (k - keptLog.begin()) << ": "
            << (k == keptLog.end() ? "(none)" : *k) << " / " << (f == freshLog.end() ? "(none)" : *f);
        ASSERT_EQ(kept.rowCount(), fresh.rowCount()) << "step " << step;
        for (int row = 0; row < kept.rowCount(); ++row)
            for (int column = 0; column < kConnectionColumns; ++column)
                ASSERT_EQ(cellText(kept, row, column), cellText(fresh, row, column))
                    << "step " << step << " row " << row << " column " << column;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RefreshCycleMemory, ::testing::Values(5u, 6u, 7u, 8u));

// The keys of a snapshot sorted as the table promises come out sorted, so
// the next tick meets each previous key where it expects it.
TEST(RowKeys, OrderAsSnapshotsAreSorted) {
    const IpAddress addresses[] = {{0, 0, 0, 0},
                                   {0, 0, 0, 7},
                                   {1, 2, 3, 4},
                                   {1, 2, 3, 5},
                                   {10, 0, 0, 1},
                                   {255, 0, 0, 1},
                                   kAny6,
                                   kLoopback6,
                                   ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}),
                                   ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 1, 0}),
                                   ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}),
                                   ipv6({0xffff, 0, 0, 0, 0, 0, 0, 0})};
    const std::uint16_t ports[] = {0, 1, 80, 256, 65535};
    const std::uint32_t pids[] = {0, 5, 70000, kPidNotVisible};
    const std::uint32_t interfaces[] = {0, 0, 1, 70000};
    std::mt19937 rng(11);
    auto any = [&rng](const auto& values) { return values[rng() % std::size(values)]; };
    auto row = [&] {
        return tcp(ESTABLISHED, any(addresses), any(ports), any(addresses), any(ports), any(pids), any(interfaces));
    };
    // The order a snapshot promises, field by field.
    auto fieldOrder = [](const TcpRow& a, const TcpRow& b) {
        return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort, a.pid, a.interfaceIndex) <
               std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort, b.pid, b.interfaceIndex);
    };
    for (int i = 0; i < 20000; ++i) {
        const TcpRow a = row(), b = row();
        ASSERT_EQ(fieldOrder(a, b), inSnapshotOrder(a, b));
        ASSERT_EQ(fieldOrder(a, b), RefreshCycle::keyOf(a) < RefreshCycle::keyOf(b))
            << addressText(a.remoteAddr) << ":" << a.remotePort << " vs " << addressText(b.remoteAddr) << ":"
            << b.remotePort;
    }
}

TEST(ConnectionTexts, AreMadeFromOneRow) {
    const ConnectionTexts texts = makeConnectionTexts(tcp(5, {192, 168, 0, 5}, 1025, {10, 1, 2, 3}, 443, 1234));
    EXPECT_EQ(texts.protocol, "TCP");
    EXPECT_EQ(texts.localIp, "192.168.0.5");
    EXPECT_EQ(texts.localPort, "1025");
    EXPECT_EQ(texts.remoteIp, "10.1.2.3");
    EXPECT_EQ(texts.remotePort, "443");
    EXPECT_EQ(texts.state, "ESTABLISHED");
    EXPECT_EQ(texts.pid, "1234");
}

}  // namespace
}  // namespace kestrova
