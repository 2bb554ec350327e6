// The connection table against this machine's kernel, with loopback
// connections the tests open themselves.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "monitor/AddressText.h"
#include "../support/Patience.h"
#include "LoopbackSockets.h"
#include "monitor/RefreshCycle.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/ProcSocketOwnerSource.h"

namespace kestrova {
namespace {

using testing::connectTo;
using testing::Fd;
using testing::listenOnLoopback;
using testing::localPort;
using Octets = std::array<std::uint8_t, 4>;
constexpr Octets kLoopback{127, 0, 0, 1};
const std::uint32_t kOurPid = static_cast<std::uint32_t>(getpid());

// A listener on an IPv6 address, which on [::] takes IPv4 clients too;
// nullopt without IPv6.
std::optional<Fd> listenOnIpv6(const in6_addr& address) {
    Fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return std::nullopt;
    int off = 0;
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = address;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd.get(), 16) != 0)
        return std::nullopt;
    return fd;
}

std::optional<Fd> listenDualStack() { return listenOnIpv6(in6addr_any); }
std::optional<Fd> listenOnIpv6Loopback() { return listenOnIpv6(in6addr_loopback); }

struct Connection {
    Fd listener, client, accepted;
    std::uint16_t serverPort = 0, clientPort = 0;
};

Connection openConnection(Fd listener) {
    Connection c;
    c.listener = std::move(listener);
    c.serverPort = localPort(c.listener.get());
    c.client = connectTo(c.serverPort);
    c.clientPort = localPort(c.client.get());
    c.accepted = Fd(accept4(c.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_GE(c.accepted.get(), 0);
    return c;
}

// A [::1] connection: IPv6 at both ends, a row only where IPv6 rows are asked for.
std::optional<Connection> openIpv6Connection() {
    auto listener = listenOnIpv6Loopback();
    if (!listener)
        return std::nullopt;
    Connection c;
    c.serverPort = localPort(listener->get());
    c.client = connectTo(c.serverPort, true);
    c.clientPort = localPort(c.client.get());
    c.accepted = Fd(accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC));
    c.listener = std::move(*listener);
    return c;
}

std::vector<TcpRow> rowsWithLocal(const std::vector<TcpRow>& rows, std::uint16_t port) {
    std::vector<TcpRow> out;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(out),
                 [port](const TcpRow& r) { return r.localAddr == kLoopback && r.localPort == port; });
    return out;
}

std::optional<TcpRow> findRow(const std::vector<TcpRow>& rows, Octets local, std::uint16_t localPort, Octets remote,
                              std::uint16_t remotePort) {
    for (const TcpRow& r : rows)
        if (r.localAddr == local && r.localPort == localPort && r.remoteAddr == remote && r.remotePort == remotePort)
            return r;
    return std::nullopt;
}

std::vector<TcpRow> snapshotOrFail(LinuxConnectionTable& table) {
    std::vector<TcpRow> rows;
    EXPECT_TRUE(table.snapshot(rows));
    return rows;
}

// The rows and log lines one tick of the refresh makes from the table.
struct Refreshed {
    Refreshed(LinuxConnectionTable::Reader reader, IpFamilies families)
        : table(reader, families), refresh(list, table, processes, [this](std::string_view line) {
              log.emplace_back(line);
          }, {}) {
        refresh.tick(false);
    }
    bool logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }

    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    ConnectionList list;
    std::vector<std::string> log;
    RefreshCycle refresh;
};

struct ShownRow {
    ConnectionKey key;
    std::string source, destination, state;
};

class ConnectionTableTest : public ::testing::TestWithParam<LinuxConnectionTable::Reader> {};

TEST_P(ConnectionTableTest, ShowsLoopbackConnectionAndListenerWithOurPid) {
    LinuxConnectionTable table(GetParam());
    Connection c = openConnection(listenOnLoopback());
    const auto rows = snapshotOrFail(table);
    EXPECT_EQ(table.usedNetlink(), GetParam() != LinuxConnectionTable::Reader::ProcNetOnly);

    auto listener = findRow(rows, kLoopback, c.serverPort, {0, 0, 0, 0}, 0);
    ASSERT_TRUE(listener);
    EXPECT_EQ(listener->state, kStateListen);
    EXPECT_EQ(listener->pid, kOurPid);
    for (auto [lp, rp] : {std::pair{c.clientPort, c.serverPort}, std::pair{c.serverPort, c.clientPort}}) {
        auto row = findRow(rows, kLoopback, lp, kLoopback, rp);
        ASSERT_TRUE(row) << lp << " -> " << rp;
        EXPECT_EQ(row->state, kStateEstablished);
        EXPECT_EQ(row->pid, kOurPid);
    }
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const TcpRow& a, const TcpRow& b) {
        return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort) <
               std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort);
    }));
}

TEST_P(ConnectionTableTest, DualStackListenerShowsOnlyItsIpv4Connection) {
    auto listener = listenDualStack();
    if (!listener)
        GTEST_SKIP() << "no IPv6 on this machine";
    LinuxConnectionTable table(GetParam());
    Connection c = openConnection(std::move(*listener));
    const auto rows = snapshotOrFail(table);

    auto accepted = findRow(rows, kLoopback, c.serverPort, kLoopback, c.clientPort);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->state, kStateEstablished);
    EXPECT_EQ(accepted->pid, kOurPid);
    EXPECT_TRUE(findRow(rows, kLoopback, c.clientPort, kLoopback, c.serverPort));
    for (const TcpRow& r : rows)
        EXPECT_FALSE(r.localPort == c.serverPort && r.state == kStateListen) << "the [::] listener is not IPv4";
}

TEST_P(ConnectionTableTest, ClosedConnectionGoesAwayOrLingersWithoutOwner) {
    LinuxConnectionTable table(GetParam());
    Connection c = openConnection(listenOnLoopback());
    ASSERT_EQ(rowsWithLocal(snapshotOrFail(table), c.serverPort).size(), 2u);
    c.client.reset();
    c.accepted.reset();
    c.listener.reset();
    // Other programs may take the freed ports at once: only the two ends of
    // this connection are ours, and a listener on its port only with our pid.
    auto ours = [&c](const TcpRow& r) {
        const bool end = r.localAddr == kLoopback && r.remoteAddr == kLoopback &&
                         ((r.localPort == c.serverPort && r.remotePort == c.clientPort) ||
                          (r.localPort == c.clientPort && r.remotePort == c.serverPort));
        return end || (r.localPort == c.serverPort && r.pid == kOurPid);
    };

    // Closing runs through FIN_WAIT/LAST_ACK for a moment; afterwards only the
    // actively closing side may stay, in TIME_WAIT and owned by nobody.
    std::vector<TcpRow> left;
    for (const auto deadline = std::chrono::steady_clock::now() + testing::kPatience;
         std::chrono::steady_clock::now() < deadline;) {
        const auto rows = snapshotOrFail(table);
        left.clear();
        std::copy_if(rows.begin(), rows.end(), std::back_inserter(left), ours);
        if (std::all_of(left.begin(), left.end(), [](const TcpRow& r) { return r.state == kStateTimeWait; }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(left.size(), 1u);
    for (const TcpRow& r : left) {
        EXPECT_EQ(r.state, kStateTimeWait);
        EXPECT_EQ(r.localPort, c.clientPort);
        EXPECT_EQ(r.pid, 0u);
    }
}

// A socket that is only bound is no connection: /proc/net/tcp and `ss` do
// not list it, and neither do we (kernels from 6.8 on would hand it out as
// a socket in a state of its own when asked for every state).
TEST_P(ConnectionTableTest, BoundSocketThatNeitherListensNorConnectsIsNoRow) {
    for (std::uint32_t address : {INADDR_LOOPBACK, INADDR_ANY}) {
        Fd bound(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        ASSERT_EQ(bind(bound.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const std::uint16_t port = localPort(bound.get());
        LinuxConnectionTable table(GetParam());
        for (const TcpRow& r : snapshotOrFail(table))
            EXPECT_NE(r.localPort, port) << "state " << r.state << " for a socket bound to " << std::hex << address;
    }
}

// Runs `check` in a child process inside a network namespace of its own,
// its loopback up: a connection table that no other program's sockets reach,
// however many tests run beside this one. The child's exit status, or
// kNoNamespace.
constexpr int kNoNamespace = 77;

int runInOwnNetworkNamespace(const std::function<int()>& check) {
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // An ordinary user may still own a network namespace inside a user
        // namespace of its own.
        if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            _exit(kNoNamespace);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq loopback{};
        std::strcpy(loopback.ifr_name, "lo");
        if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &loopback) != 0)
            _exit(kNoNamespace);
        loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &loopback) != 0)
            _exit(kNoNamespace);
        close(fd);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_P(ConnectionTableTest, UnchangedTableDoesNotWalkProcesses) {
    const LinuxConnectionTable::Reader reader = GetParam();
    const int status = runInOwnNetworkNamespace([reader] {
        LinuxConnectionTable table(reader);
        Connection c = openConnection(listenOnLoopback());
        std::vector<TcpRow> rows;
        if (!table.snapshot(rows) || rows.size() != 3)
            return 1;
        const std::uint64_t scans = table.ownerCache().scanCount();
        for (int i = 0; i < 20; ++i)
            if (!table.snapshot(rows) || table.ownerCache().scanCount() != scans)
                return 2;
        return 0;
    });
    if (status == kNoNamespace)
        GTEST_SKIP() << "no network namespace of our own here";
    EXPECT_EQ(status, 0) << (status == 1 ? "our three sockets are not the table" : "a steady table walked /proc");
}

// A link-local connection names its interface as its zone, the one the
// kernel gives the socket (getsockname's scope id); /proc/net/tcp6 names no
// interface, so there it has none. Runs on a veth pair in a network namespace
// of its own.
TEST_P(ConnectionTableTest, LinkLocalConnectionCarriesItsInterface) {
    constexpr int kNoLink = 78;
    const LinuxConnectionTable::Reader reader = GetParam();
    const int status = runInOwnNetworkNamespace([reader] {
        if (std::system("ip link add kv6link0 type veth peer name kv6link1 && ip link set kv6link0 up && "
                        "ip link set kv6link1 up && ip addr add fe80::1/64 dev kv6link0 nodad") != 0)
            return kNoLink;
        const unsigned index = if_nametoindex("kv6link0");
        Fd listener(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "fe80::1", &a.sin6_addr);
        a.sin6_scope_id = index;
        if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener.get(), 4) != 0)
            return 1;
        a.sin6_port = htons(localPort(listener.get()));
        Fd client(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 2;
        Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        // Each socket's zone as the kernel tells its owner.
        auto zoneOf = [](const Fd& fd) {
            sockaddr_in6 name{};
            socklen_t length = sizeof name;
            getsockname(fd.get(), reinterpret_cast<sockaddr*>(&name), &length);
            char text[IF_NAMESIZE] = {};
            return if_indextoname(name.sin6_scope_id, text) ? "fe80::1%" + std::string(text) : std::string("?");
        };
        const bool zoned = reader != LinuxConnectionTable::Reader::ProcNetOnly;
        const std::string server = std::to_string(ntohs(a.sin6_port)), client6 = std::to_string(localPort(client.get()));
        const std::string pid = std::to_string(getpid());
        const std::string listenerAddress = zoned ? zoneOf(listener) : "fe80::1";
        const std::string clientAddress = zoned ? zoneOf(client) : "fe80::1";
        const std::string acceptedAddress = zoned ? zoneOf(accepted) : "fe80::1";
        if (zoned && listenerAddress != "fe80::1%kv6link0")
            return 3;

        Refreshed r(reader, IpFamilies::Ipv4AndIpv6);
        const ShownRow shown[] = {
            {{listenerAddress, server, "::", "0", pid}, "[" + listenerAddress + "]:" + server, "[::]:0", "LISTEN"},
            {{clientAddress, client6, clientAddress, server, pid}, "[" + clientAddress + "]:" + client6,
             "[" + clientAddress + "]:" + server, "ESTABLISHED"},
            {{acceptedAddress, server, acceptedAddress, client6, pid}, "[" + acceptedAddress + "]:" + server,
             "[" + acceptedAddress + "]:" + client6, "ESTABLISHED"},
        };
        for (const ShownRow& s : shown) {
            const int row = r.list.findRow(s.key);
            if (row < 0)
                return 4;
            if (cellText(r.list, row, colSource) != s.source || cellText(r.list, row, colDestination) != s.destination)
                return 5;
        }
        return 0;
    });
    if (status == kNoNamespace || status == kNoLink)
        GTEST_SKIP() << "no network namespace with a link of our own here";
    const char* const failures[] = {"passed", "cannot listen", "cannot connect", "listener not on its link",
                                    "row missing", "endpoints not as shown"};
    EXPECT_EQ(status, 0) << (status > 0 && status < 6 ? failures[status] : "failed");
}

// Kills and reaps a forked child when the test ends, however it ends.
struct Child {
    pid_t pid;
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST_P(ConnectionTableTest, SocketSharedWithChildKeepsOneOwner) {
    Connection c = openConnection(listenOnLoopback());
    Child child{fork()};
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        // Holds every descriptor until killed; bounded in case nobody does.
        sleep(30);
        _exit(0);
    }
    LinuxConnectionTable table(GetParam());
    std::optional<std::uint32_t> owner;
    for (int i = 0; i < 5; ++i) {
        auto row = findRow(snapshotOrFail(table), kLoopback, c.serverPort, kLoopback, c.clientPort);
        ASSERT_TRUE(row);
        if (!owner)
            owner = row->pid;
        EXPECT_EQ(row->pid, *owner) << "snapshot " << i;
    }
    EXPECT_TRUE(*owner == kOurPid || *owner == static_cast<std::uint32_t>(child.pid)) << *owner;

    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
    for (int i = 0; i < 3; ++i) {
        auto row = findRow(snapshotOrFail(table), kLoopback, c.serverPort, kLoopback, c.clientPort);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->pid, kOurPid);
    }
}

// A server that accepts late: the connection waits in the accept queue
// (no process holds it yet) until accept() hands it to the listener's
// owner. It is the listener owner's all along, so its row stays one row.
// With IPv6 rows, an IPv6 client's alike.
TEST_P(ConnectionTableTest, ConnectionWaitingForAcceptKeepsOneRowThroughAccept) {
    struct Case {
        const char* name;
        std::optional<Fd> listener;
        bool ipv6;
    };
    std::vector<Case> cases;
    cases.push_back({"127.0.0.1", listenOnLoopback(), false});
    cases.push_back({"[::]", listenDualStack(), false});
    cases.push_back({"[::1] for [::1]", listenOnIpv6Loopback(), true});
    cases.push_back({"[::] for [::1]", listenDualStack(), true});
    for (Case& c : cases) {
        if (!c.listener)
            continue;  // no IPv6 here
        SCOPED_TRACE(c.name);
        const std::string serverPort = std::to_string(localPort(c.listener->get()));
        Fd client = connectTo(localPort(c.listener->get()), c.ipv6);
        const std::string clientPort = std::to_string(localPort(client.get()));
        const std::string ourPid = std::to_string(kOurPid);
        const char* const loopback = c.ipv6 ? "::1" : "127.0.0.1";
        const ConnectionKey key{loopback, serverPort, loopback, clientPort, ourPid};

        Refreshed r(GetParam(), c.ipv6 ? IpFamilies::Ipv4AndIpv6 : IpFamilies::Ipv4);
        const int queued = r.list.findRow(key);
        ASSERT_GE(queued, 0) << "the queued connection is not listed under our pid";
        const std::uint64_t serial = r.list.serialAt(queued);

        Fd accepted(accept4(c.listener->get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(accepted.get(), 0);
        r.refresh.tick(false);
        const int after = r.list.findRow(key);
        ASSERT_GE(after, 0);
        EXPECT_EQ(r.list.serialAt(after), serial) << "removed and added again on accept()";
        EXPECT_EQ(cellText(r.list, after, colProcess), r.processes.imagePath(getpid()));
    }
}

// Runs `check` in a child process as the user nobody, holding none of our
// descriptors but `keep`; its exit status.
int runAsNobody(const std::function<int()>& check) {
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// To an ordinary user a root process's sockets are there but their owner
// cannot be inspected: named by their group and user, with no process id,
// never the idle process.
TEST_P(ConnectionTableTest, SocketsOfAProcessWeMayNotInspectShowGroupAndUserWithoutPid) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hold sockets an ordinary user cannot inspect";
    Connection c = openConnection(listenOnLoopback());
    const std::string serverPort = std::to_string(c.serverPort);
    const std::string clientPort = std::to_string(c.clientPort);
    const int status = runAsNobody([&] {
        // The child's copies would make the sockets its own.
        c.listener.reset();
        c.client.reset();
        c.accepted.reset();
        LinuxConnectionTable table(GetParam());
        std::vector<TcpRow> rows;
        if (!table.snapshot(rows))
            return 1;
        auto listener = findRow(rows, kLoopback, c.serverPort, {0, 0, 0, 0}, 0);
        auto accepted = findRow(rows, kLoopback, c.serverPort, kLoopback, c.clientPort);
        if (!listener || !accepted)
            return 2;
        if (listener->pid != kPidNotVisible || accepted->pid != kPidNotVisible)
            return 3;
        LinuxProcessInfo processes;
        ConnectionList list;
        RefreshCycle refresh(list, table, processes, [](std::string_view) {}, {});
        refresh.tick(false);
        for (const ConnectionKey& key : {ConnectionKey{"127.0.0.1", serverPort, "0.0.0.0", "0", ""},
                                         ConnectionKey{"127.0.0.1", serverPort, "127.0.0.1", clientPort, ""}}) {
            const int row = list.findRow(key);
            if (row < 0)
                return 4;
            // The group is wherever this test runs; the text table names none.
            const std::string& owner = cellText(list, row, colProcess);
            if (!owner.ends_with(" (root)") || (GetParam() == LinuxConnectionTable::Reader::ProcNetOnly &&
                                                owner != "System (root)") ||
                cellText(list, row, colPid) != "")
                return 5;
        }
        return 0;
    });
    const char* const failures[] = {"passed", "no snapshot", "rows missing", "owner not kPidNotVisible",
                                    "no row with an empty process id", "not named by group and user"};
    EXPECT_EQ(status, 0) << (status > 0 && status < 6 ? failures[status] : "could not become nobody");
}

TEST_P(ConnectionTableTest, Ipv6LoopbackConnectionIsListedOnlyWhenAsked) {
    auto c = openIpv6Connection();
    if (!c)
        GTEST_SKIP() << "no IPv6 on this machine";
    const std::string server = std::to_string(c->serverPort), client = std::to_string(c->clientPort);
    const std::string ourPid = std::to_string(kOurPid), path = LinuxProcessInfo().imagePath(getpid());
    const ShownRow shown[] = {
        {{"::1", server, "::", "0", ourPid}, "[::1]:" + server, "[::]:0", "LISTEN"},
        {{"::1", server, "::1", client, ourPid}, "[::1]:" + server, "[::1]:" + client, "ESTABLISHED"},
        {{"::1", client, "::1", server, ourPid}, "[::1]:" + client, "[::1]:" + server, "ESTABLISHED"},
    };
    for (IpFamilies families : {IpFamilies::Ipv4, IpFamilies::Ipv4AndIpv6}) {
        const bool asked = families == IpFamilies::Ipv4AndIpv6;
        SCOPED_TRACE(asked ? "with IPv6 rows" : "without");
        Refreshed r(GetParam(), families);
        for (const ShownRow& s : shown) {
            SCOPED_TRACE(s.source + " -> " + s.destination);
            const int row = r.list.findRow(s.key);
            if (!asked) {
                EXPECT_LT(row, 0);
                continue;
            }
            ASSERT_GE(row, 0);
            EXPECT_EQ(cellText(r.list, row, colSource), s.source);
            EXPECT_EQ(cellText(r.list, row, colDestination), s.destination);
            EXPECT_EQ(cellText(r.list, row, colState), s.state);
            EXPECT_EQ(cellText(r.list, row, colProcess), path);
            EXPECT_TRUE(r.logged("(" + path + ")の(" + s.destination + ")との接続状態を(" + s.state +
                                 ")で新規追加しました。"));
        }
        for (int row = 0; !asked && row < r.list.rowCount(); ++row)
            EXPECT_FALSE(isIpv6Text(cellText(r.list, row, colLocalIp))) << cellText(r.list, row, colSource);
    }

    // The side that closes first lingers in TIME_WAIT as the kernel's own.
    Refreshed r(GetParam(), IpFamilies::Ipv4AndIpv6);
    c->client.reset();
    c->accepted.reset();
    const ConnectionKey lingering{"::1", client, "::1", server, "0"};
    for (const auto deadline = std::chrono::steady_clock::now() + testing::kPatience;
         r.list.findRow(lingering) < 0 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        r.refresh.tick(false);
    }
    const int row = r.list.findRow(lingering);
    ASSERT_GE(row, 0);
    EXPECT_EQ(cellText(r.list, row, colState), "TIME_WAIT");
    EXPECT_EQ(cellText(r.list, row, colProcess), "System Idle Process");
}

// [::] takes IPv4 clients too: with IPv6 rows it is one IPv6 listener row,
// and its IPv4 connection stays the IPv4 rows it always was.
TEST_P(ConnectionTableTest, DualStackListenerIsOneIpv6RowWhenAsked) {
    auto listener = listenDualStack();
    if (!listener)
        GTEST_SKIP() << "no IPv6 on this machine";
    Connection c = openConnection(std::move(*listener));
    const std::string server = std::to_string(c.serverPort), client = std::to_string(c.clientPort);
    const std::string ourPid = std::to_string(kOurPid);
    Refreshed r(GetParam(), IpFamilies::Ipv4AndIpv6);
    const int listening = r.list.findRow({"::", server, "::", "0", ourPid});
    ASSERT_GE(listening, 0);
    EXPECT_EQ(cellText(r.list, listening, colSource), "[::]:" + server);
    EXPECT_EQ(cellText(r.list, listening, colDestination), "[::]:0");
    EXPECT_EQ(cellText(r.list, listening, colState), "LISTEN");
    for (const ConnectionKey& key : {ConnectionKey{"127.0.0.1", server, "127.0.0.1", client, ourPid},
                                     ConnectionKey{"127.0.0.1", client, "127.0.0.1", server, ourPid}}) {
        const int row = r.list.findRow(key);
        ASSERT_GE(row, 0);
        EXPECT_EQ(cellText(r.list, row, colSource), "127.0.0.1:" + std::string(key.localPort));
    }
    for (int row = 0; row < r.list.rowCount(); ++row)
        EXPECT_EQ(cellText(r.list, row, colLocalIp).find("ffff"), std::string::npos) << cellText(r.list, row, colSource);
}

INSTANTIATE_TEST_SUITE_P(Readers, ConnectionTableTest,
                         ::testing::Values(LinuxConnectionTable::Reader::Automatic,
                                           LinuxConnectionTable::Reader::PerFamilyDumps,
                                           LinuxConnectionTable::Reader::ProcNetOnly),
                         [](const auto& info) {
                             switch (info.param) {
                             case LinuxConnectionTable::Reader::Automatic:
                                 return "Netlink";
                             case LinuxConnectionTable::Reader::PerFamilyDumps:
                                 return "NetlinkPerFamily";
                             case LinuxConnectionTable::Reader::ProcNetOnly:
                                 break;
                             }
                             return "ProcNet";
                         });

TEST(ConnectionTable, OneDumpPerSnapshotOnThisKernel) {
    using Reader = LinuxConnectionTable::Reader;
    for (auto [reader, combined] : {std::pair{Reader::Automatic, true}, std::pair{Reader::PerFamilyDumps, false},
                                    std::pair{Reader::ProcNetOnly, false}}) {
        LinuxConnectionTable table(reader);
        for (int i = 0; i < 2; ++i) {
            snapshotOrFail(table);
            EXPECT_EQ(table.usedCombinedDump(), combined) << "reader " << static_cast<int>(reader) << ", snapshot " << i;
        }
    }
}

TEST(ConnectionTable, CombinedAndPerFamilyDumpsGiveTheSameRows) {
    std::vector<Connection> ours;
    ours.push_back(openConnection(listenOnLoopback()));
    if (auto dual = listenDualStack())
        ours.push_back(openConnection(std::move(*dual)));
    auto v6 = openIpv6Connection();
    std::vector<std::uint16_t> ports;
    for (const Connection& c : ours)
        ports.insert(ports.end(), {c.serverPort, c.clientPort});
    if (v6)
        ports.insert(ports.end(), {v6->serverPort, v6->clientPort});
    // Every socket here is open, so ours carry our pid; other programs'
    // sockets may reuse our port numbers between the two snapshots.
    auto mine = [&ports](const std::vector<TcpRow>& rows) {
        std::vector<TcpRow> out;
        std::copy_if(rows.begin(), rows.end(), std::back_inserter(out), [&ports](const TcpRow& r) {
            return r.pid == kOurPid && (std::find(ports.begin(), ports.end(), r.localPort) != ports.end() ||
                                        std::find(ports.begin(), ports.end(), r.remotePort) != ports.end());
        });
        return out;
    };

    for (IpFamilies families : {IpFamilies::Ipv4, IpFamilies::Ipv4AndIpv6}) {
        const bool ipv6 = families == IpFamilies::Ipv4AndIpv6;
        SCOPED_TRACE(ipv6 ? "with IPv6 rows" : "IPv4");
        using Reader = LinuxConnectionTable::Reader;
        LinuxConnectionTable combined(Reader::Automatic, families), perFamily(Reader::PerFamilyDumps, families),
            text(Reader::ProcNetOnly, families);
        const auto fromCombined = mine(snapshotOrFail(combined));
        ASSERT_TRUE(combined.usedCombinedDump());
        EXPECT_EQ(fromCombined, mine(snapshotOrFail(perFamily)));
        // Loopback addresses have no zone, which /proc/net/tcp6 could not
        // tell, and the text tables name no control group.
        auto withoutGroups = [](std::vector<TcpRow> rows) {
            for (TcpRow& row : rows) row.controlGroup = 0;
            return rows;
        };
        EXPECT_EQ(withoutGroups(fromCombined), mine(snapshotOrFail(text)));
        // v4 listener and both ends of each IPv4 connection; the [::]
        // listener and the [::1] listener and connection only as IPv6 rows.
        EXPECT_EQ(fromCombined.size(), 1 + 2 * ours.size() + (ipv6 ? ours.size() - 1 + (v6 ? 3 : 0) : 0));
    }
}

TEST(ConnectionTable, NetlinkAndProcNetAgree) {
    Connection c = openConnection(listenOnLoopback());
    LinuxConnectionTable netlink, text(LinuxConnectionTable::Reader::ProcNetOnly);
    auto fromNetlink = rowsWithLocal(snapshotOrFail(netlink), c.serverPort);
    const auto fromText = rowsWithLocal(snapshotOrFail(text), c.serverPort);
    EXPECT_EQ(fromNetlink.size(), 2u);
    // The text table names no control group.
    for (TcpRow& row : fromNetlink) row.controlGroup = 0;
    EXPECT_EQ(fromNetlink, fromText);
}

TEST(ProcSocketOwnerSource, WalkFindsOurSocketAndWatchSeesChildEnd) {
    Fd sock = listenOnLoopback();
    struct stat st {};
    ASSERT_EQ(fstat(sock.get(), &st), 0);
    ProcSocketOwnerSource source;
    std::vector<SocketHolder> holders;
    source.scan(holders);
    EXPECT_NE(std::find(holders.begin(), holders.end(), SocketHolder{st.st_ino, kOurPid}), holders.end());

    Child child{fork()};
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
        sleep(30);
        _exit(0);
    }
    const auto pid = static_cast<std::uint32_t>(child.pid);
    ASSERT_TRUE(source.watch(pid));
    std::vector<std::uint32_t> exited;
    source.collectExited(exited);
    EXPECT_TRUE(exited.empty());
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
    source.collectExited(exited);
    EXPECT_EQ(exited, std::vector<std::uint32_t>{pid});
    source.unwatch(pid);
    EXPECT_FALSE(source.watch(pid)) << "a reaped pid cannot be watched";
}

// Pids taken again: inside a pid namespace of its own, where the next pid
// can be chosen (ns_last_pid), a process holding a socket ends and another
// gets its pid. Neither a watch that comes after that, nor one made before
// and checked by start time alone (past the pidfds), may take the newcomer
// for the socket's owner. Runs as a child, its exit status the verdict.
enum PidReuseVerdict { kReuseCaught = 0, kReuseWatched = 1, kReuseNotNoticed = 2, kNoHolder = 3, kPidNotTaken = 4 };

int pidReuseInOwnNamespace(std::size_t maxPidfds, bool watchBeforeReuse) {
    const pid_t outer = fork();
    if (outer < 0)
        return -1;
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(kNoNamespace);
        const pid_t init = fork();
        if (init == 0) {
            char proc[] = "/tmp/kestrova-pid-reuse-XXXXXX";
            if (!mkdtemp(proc) || mount("proc", proc, "proc", 0, nullptr) != 0)
                _exit(kNoNamespace);
            auto takePid = [&proc](pid_t pid) {
                const std::string last = std::string(proc) + "/sys/kernel/ns_last_pid";
                FILE* f = std::fopen(last.c_str(), "w");
                return f && std::fprintf(f, "%d", pid - 1) > 0 && std::fclose(f) == 0;
            };
            auto sleeper = [](const char* name) {
                const pid_t pid = fork();
                if (pid == 0) {
                    prctl(PR_SET_NAME, name);
                    sleep(30);
                    _exit(0);
                }
                return pid;
            };
            Fd sock = listenOnLoopback();
            struct stat st {};
            fstat(sock.get(), &st);
            // The socket goes to the first holder only; a command name with
            // parentheses and spaces tests the reading of its start time.
            fcntl(sock.get(), F_SETFD, 0);
            const pid_t holder = sleeper("k) 1 (2");
            sock.reset();
            ProcSocketOwnerSource source(proc, maxPidfds);
            std::vector<SocketHolder> holders;
            source.scan(holders);
            const auto pid = static_cast<std::uint32_t>(holder);
            if (std::find(holders.begin(), holders.end(), SocketHolder{st.st_ino, pid}) == holders.end())
                _exit(kNoHolder);
            if (watchBeforeReuse && !source.watch(pid))
                _exit(kNoHolder);
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
            // Start times count clock ticks (10 ms); outside a test a pid comes
            // back only after the whole range of pids went round, far later.
            usleep(30000);
            if (!takePid(holder) || sleeper("newcomer") != holder)
                _exit(kPidNotTaken);
            int verdict = kReuseCaught;
            if (watchBeforeReuse) {
                std::vector<std::uint32_t> exited;
                source.collectExited(exited);
                if (exited != std::vector<std::uint32_t>{pid})
                    verdict = kReuseNotNoticed;
            } else if (source.watch(pid)) {
                verdict = kReuseWatched;
            }
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
            umount(proc);
            rmdir(proc);
            _exit(verdict);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
    }
    int status = 0;
    waitpid(outer, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProcSocketOwnerSource, APidTakenAgainIsNeverTakenForTheOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a pid namespace whose next pid it may choose";
    const char* const verdicts[] = {"caught", "the newcomer was watched", "the newcomer was not noticed",
                                    "the holder was not found", "the pid could not be taken again"};
    for (std::size_t maxPidfds : {ProcSocketOwnerSource::defaultMaxPidfds(), std::size_t{0}}) {
        for (bool watchBeforeReuse : {false, true}) {
            if (watchBeforeReuse && maxPidfds > 0)
                continue;  // a pidfd sees its own process end
            SCOPED_TRACE(std::string(maxPidfds ? "pidfds" : "start times only") +
                         (watchBeforeReuse ? ", watched before" : ", taken between walk and watch"));
            const int status = pidReuseInOwnNamespace(maxPidfds, watchBeforeReuse);
            if (status == kNoNamespace)
                GTEST_SKIP() << "no pid namespace of our own here";
            EXPECT_EQ(status, kReuseCaught) << (status >= 0 && status <= 4 ? verdicts[status] : "crashed");
        }
    }
}

TEST(ProcessImagePath, OwnProcessMatchesProcSelfExe) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(LinuxProcessInfo().imagePath(getpid()), std::string(buf, static_cast<std::size_t>(n)));
}

TEST(ProcessImagePath, EmptyForPidsWithoutImage) {
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    LinuxProcessInfo info;
    for (std::int64_t pid : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{INT64_MIN}, std::int64_t{INT64_MAX},
                             std::int64_t{1} << 32, std::int64_t{gone}})
        EXPECT_EQ(info.imagePath(pid), "") << pid;
}

}  // namespace
}  // namespace kestrova
