// Packet checking on the real kernel: the real helper, real workers, traffic
// on loopback or between network namespaces the tests make, judged against
// tcpdump's view of the same traffic.
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "CaptureRig.h"
#include "helper/HelperOptions.h"
#include "linux/LinuxConnectionTable.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// tcpdump's default buffer drops in loopback bursts; as a yardstick it must
// see everything, and hand over and write each packet at once, so that the
// file shows how far it has come. It keeps only the headers, as the capture
// does.
const std::vector<std::string> kYardstick = {"-B", "65536", "-s", "160", "--immediate-mode", "-U"};

std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

// Processes whose parent is this one, those whose command name starts with
// `name` when one is given.
std::vector<pid_t> childProcesses(const std::string& name = "") {
    std::vector<pid_t> found;
    const std::string self = std::to_string(getpid());
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const std::size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state, parent;
        rest >> state >> parent;
        if (parent == self && line.compare(open + 1, name.size(), name) == 0)
            found.push_back(std::stoi(line.substr(0, open)));
    }
    return found;
}

std::size_t children() { return childProcesses().size(); }

std::map<std::string, std::string> statusOf(pid_t pid) {
    std::map<std::string, std::string> fields;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        fields[line.substr(0, colon)] = value;
    }
    return fields;
}

TEST(CaptureHelper, HoldsNoPrivilegeOnceItReportsReady) {
    REQUIRE_ROOT();
    LinuxPacketSource source(helperPath());
    ASSERT_EQ(source.start(CaptureRequest{"lo", {127, 0, 0, 1}, true, {}}).outcome, SourceStart::Outcome::Started);
    ASSERT_EQ(firstStatus(source), HelperStatus::Ready);
    const auto status = statusOf(source.helperPid());
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
        EXPECT_EQ(status.at(set), "0000000000000000") << set;
    EXPECT_EQ(status.at("NoNewPrivs"), "1");
    // Started by root, it runs on as nobody.
    EXPECT_EQ(status.at("Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(status.at("Groups"), "");
}

TEST(CaptureHelper, RefusesCapturesThatAreNotItsToTake) {
    REQUIRE_ROOT();
    struct Case {
        CaptureRequest request;
        HelperStatus status;
    };
    const Case cases[] = {
        {{"lo", {10, 99, 99, 99}, false, {}}, HelperStatus::NoSuchAddress},
        {{"no-such-if0", {127, 0, 0, 1}, false, {}}, HelperStatus::NoSuchAddress},
    };
    for (const Case& c : cases) {
        LinuxPacketSource source(helperPath());
        ASSERT_EQ(source.start(c.request).outcome, SourceStart::Outcome::Started);
        RecordBytes first{};
        ASSERT_EQ(source.read(first), first.size());
        EXPECT_EQ(std::get<StatusRecord>(decodeRecord(first)).status, c.status) << c.request.interfaceName;
        EXPECT_EQ(source.read(first), 0u);  // and ends
    }
}

TEST(CaptureOnLoopback, EveryConnectionGetsExactlyTheBytesTcpdumpSaw) {
    REQUIRE_ROOT();
    TempDir dir;
    LoopbackAddresses addresses;
    CaptureRig rig(addresses);
    Tcpdump tcpdump("lo", dir.path / "lo.pcap", "", kYardstick);
    ASSERT_TRUE(tcpdump.listening());
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(1));
    EXPECT_EQ(rig.lines[0], "127.0.0.1を通るパケットをチェックします。");

    // Small writes, one of them large enough for the kernel to hand capture
    // segments far beyond one frame.
    std::vector<TcpPair> pairs;
    pairs.push_back(connectPair({127, 0, 0, 1}, {127, 0, 0, 1}));
    pairs.push_back(connectPair({127, 0, 0, 1}, {127, 0, 0, 1}));
    for (TcpPair& pair : pairs) {
        ASSERT_TRUE(pair.ok());
        pair.addRows(rig.list);
    }
    TcpPair pending = std::move(pairs[0]);
    exchange(pending, 20 * 100, 100, 500);
    pairs[0] = std::move(pending);
    exchange(pairs[1], 4 << 20, 1 << 20, 0);
    ASSERT_TRUE(allQuiet(pairs));
    const TcpPair marker = connectPair({127, 0, 0, 1}, {127, 0, 0, 1});
    ASSERT_TRUE(marker.ok() && wroteThrough(dir.path / "lo.pcap", marker));
    const Tcpdump::Result seen = tcpdump.stop();
    ASSERT_TRUE(seen.ok);
    ASSERT_EQ(seen.dropped, 0u);
    const auto pcap = PcapTotals::read(dir.path / "lo.pcap");
    ASSERT_TRUE(pcap.has_value());

    for (const TcpPair& pair : pairs) {
        const std::string expected = std::to_string(pair.bytesIn(*pcap));
        EXPECT_TRUE(rig.window.runUntil([&] { return pair.total(rig.list) == expected; }, kPatience))
            << "port " << pair.clientPort << ": " << pair.total(rig.list) << " != " << expected;
    }
    EXPECT_EQ(rig.capture->statistics().dropped, 0u);
}

// A helper held up (stopped) under load: the kernel drops what its buffer
// cannot hold, and the worker tells how many, once, with the kernel's count.
TEST(CaptureOnLoopback, DatagramsTheKernelDroppedWhileTheHelperWasStoppedAreTold) {
    REQUIRE_ROOT();
    LoopbackAddresses addresses;
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(1));
    const std::vector<pid_t> helpers = childProcesses("kestrova-captur");
    ASSERT_EQ(helpers.size(), 1u);
    ASSERT_EQ(kill(helpers[0], SIGSTOP), 0);
    // Far more datagrams than the capture's buffer holds, however the kernel
    // would merge a stream's writes: 20,000 connections of four datagrams
    // each (handshake and reset).
    const int listener = socketIn("");
    sockaddr_storage address;
    socklen_t length = socketAddress(address, {127, 0, 0, 1}, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 64), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const linger reset{1, 0};
    for (int i = 0; i < 20000; ++i) {
        const int client = socketIn("");
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        close(client);
    }
    close(listener);
    ASSERT_EQ(kill(helpers[0], SIGCONT), 0);
    // Every drop the kernel counted is told, once a spell of them is over.
    const std::string prefix = "127.0.0.1を通るパケットのうち";
    auto told = [&] {
        std::uint64_t sum = 0;
        for (const std::string& line : rig.lines)
            if (line.starts_with(prefix)) sum += std::stoull(line.substr(prefix.size()));
        return sum;
    };
    EXPECT_TRUE(rig.window.runUntil(
        [&] { return rig.capture->statistics().dropped > 0 && told() == rig.capture->statistics().dropped; }, 30s))
        << told() << " told of " << rig.capture->statistics().dropped;
}

// Two namespaces joined by a veth pair, named after `stem`.
class VethNamespaces : public ::testing::Test {
protected:
    explicit VethNamespaces(const std::string& stem)
        : inside(uniqueName(stem + "a")), outside(uniqueName(stem + "b")), insideLink(uniqueName("kv" + stem + "a")),
          outsideLink(uniqueName("kv" + stem + "b")) {}

    void SetUp() override {
        REQUIRE_ROOT();
        namespaces = std::make_unique<Namespaces>(std::vector{inside, outside});
        ASSERT_TRUE(namespaces->ok());
        ASSERT_TRUE(Namespaces::ip(inside, {"link", "add", insideLink, "type", "veth", "peer", "name", outsideLink,
                                            "netns", outside}));
    }
    // Both namespaces' loopback and ends of the pair up.
    void upAll() {
        for (const auto& [ns, link] : {std::pair{inside, insideLink}, std::pair{outside, outsideLink}}) {
            ASSERT_TRUE(Namespaces::ip(ns, {"link", "set", "lo", "up"}));
            ASSERT_TRUE(Namespaces::ip(ns, {"link", "set", link, "up"}));
        }
    }

    const std::string inside, outside, insideLink, outsideLink;
    std::unique_ptr<Namespaces> namespaces;
};

// tcpdump on the inside's loopback and on its end of the pair: between them
// they see each of the inside's datagrams once.
class InsideYardsticks {
public:
    InsideYardsticks(const std::string& netns, const std::string& link)
        : onLoopback_("lo", dir_.path / "lo.pcap", netns, kYardstick),
          onLink_(link, dir_.path / "link.pcap", netns, kYardstick) {}
    bool listening() const { return onLoopback_.listening() && onLink_.listening(); }

    // Stops both once they have written every datagram of `pairs`; every
    // pair's rows must then reach what one of the two saw. A connection on
    // `loopback` and one from `inside` to `outside` over the link mark how
    // far each has written.
    void expectTotals(CaptureRig& rig, const std::vector<TcpPair>& pairs, const End& loopback, const End& inside,
                      const End& outside) {
        ASSERT_TRUE(allQuiet(pairs));
        const TcpPair overLoopback = connectPair(loopback, loopback), overLink = connectPair(inside, outside);
        ASSERT_TRUE(overLoopback.ok() && overLink.ok());
        ASSERT_TRUE(wroteThrough(dir_.path / "lo.pcap", overLoopback));
        ASSERT_TRUE(wroteThrough(dir_.path / "link.pcap", overLink));
        const auto seenOnLoopback = onLoopback_.stop();
        const auto seenOnLink = onLink_.stop();
        ASSERT_TRUE(seenOnLoopback.ok && seenOnLink.ok);
        ASSERT_EQ(seenOnLoopback.dropped + seenOnLink.dropped, 0u);
        const auto loopbackPcap = PcapTotals::read(dir_.path / "lo.pcap");
        const auto linkPcap = PcapTotals::read(dir_.path / "link.pcap");
        ASSERT_TRUE(loopbackPcap && linkPcap);
        for (const TcpPair& pair : pairs) {
            const std::uint64_t onLo = pair.bytesIn(*loopbackPcap), onVeth = pair.bytesIn(*linkPcap);
            EXPECT_TRUE(onLo == 0 || onVeth == 0) << pair.name();
            EXPECT_GT(onLo + onVeth, 0u) << pair.name();
            const std::string expected = std::to_string(onLo + onVeth);
            EXPECT_TRUE(rig.window.runUntil([&] { return pair.total(rig.list) == expected; }, kPatience))
                << pair.name() << ": " << pair.total(rig.list) << " != " << expected;
        }
    }

private:
    TempDir dir_;
    Tcpdump onLoopback_, onLink_;
};

// The inside has two addresses on its end of the pair and two on loopback;
// connections run out over the pair, in from the other side, and between
// the inside's own addresses, which takes them over its loopback.
class CaptureInNamespaces : public VethNamespaces {
protected:
    CaptureInNamespaces() : VethNamespaces("kcap") {}

    void SetUp() override {
        VethNamespaces::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.77.0.1/24", "dev", insideLink}));
        ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.77.0.3/24", "dev", insideLink}));
        ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "127.0.0.2/8", "dev", "lo"}));
        ASSERT_TRUE(Namespaces::ip(outside, {"addr", "add", "10.77.0.2/24", "dev", outsideLink}));
        upAll();
    }
};

TEST_F(CaptureInNamespaces, SeveralAddressesCountEachDatagramOnce) {
    InsideYardsticks yardsticks(inside, insideLink);
    ASSERT_TRUE(yardsticks.listening());

    InNamespace entered(inside);
    ASSERT_TRUE(entered.entered());
    LinuxAddressList addresses;
    const auto list = addresses.query();
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 4u);  // two on loopback, two on the link
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(4));

    const Octets a1{10, 77, 0, 1}, a3{10, 77, 0, 3}, b{10, 77, 0, 2}, lo1{127, 0, 0, 1}, lo2{127, 0, 0, 2};
    std::vector<TcpPair> pairs;
    pairs.push_back(connectPair(a1, b, "", outside));   // out over the link
    pairs.push_back(connectPair(a3, b, "", outside));   // out from the second address
    pairs.push_back(connectPair(a1, a3));               // between two link addresses: over loopback
    pairs.push_back(connectPair(lo2, lo1));             // between two loopback addresses
    pairs.push_back(connectPair(b, a3, outside, ""));   // in from the other side
    for (TcpPair& pair : pairs) {
        ASSERT_TRUE(pair.ok());
        pair.addRows(rig.list);
    }
    for (TcpPair& pair : pairs) exchange(pair, 64 << 10, 1000, 3000);
    yardsticks.expectTotals(rig, pairs, {lo1, "", ""}, {a1, "", ""}, {b, outside, ""});
}

TEST_F(CaptureInNamespaces, AnAddressOrInterfaceThatGoesAwayEndsItsWorker) {
    InNamespace entered(inside);
    ASSERT_TRUE(entered.entered());
    LinuxAddressList addresses;
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(4));
    ASSERT_EQ(rig.sources.live(), 3);  // the second loopback address has nothing to capture

    const auto gone = [&](int live) {
        return rig.window.runUntil([&] { return rig.sources.live() == live; }, kPatience);
    };
    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "del", "10.77.0.3/24", "dev", insideLink}));
    EXPECT_TRUE(gone(2)) << rig.sources.live();
    ASSERT_TRUE(Namespaces::ip(inside, {"link", "del", insideLink}));
    EXPECT_TRUE(gone(1)) << rig.sources.live();
}

// An address that comes while packets are checked is captured from then on;
// one that goes stops its capture with the line that says so, at once.
TEST_F(CaptureInNamespaces, AnAddressThatComesIsCapturedAndOneThatGoesSaysSo) {
    InNamespace entered(inside);
    ASSERT_TRUE(entered.entered());
    LinuxAddressList addresses;
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(4));

    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.77.0.5/24", "dev", insideLink}));
    ASSERT_TRUE(rig.waitForLines(5));
    EXPECT_EQ(rig.lines[4], "10.77.0.5を通るパケットをチェックします。");
    TcpPair pair = connectPair({10, 77, 0, 5}, {10, 77, 0, 2}, "", outside);
    ASSERT_TRUE(pair.ok());
    pair.addRows(rig.list);
    exchange(pair, 64 << 10, 1000, 3000);
    EXPECT_TRUE(rig.window.runUntil([&] { return readTotal(pair.total(rig.list)) >= (64 << 10) + 3000; }, 5s))
        << pair.total(rig.list);

    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "del", "10.77.0.5/24", "dev", insideLink}));
    ASSERT_TRUE(rig.waitForLines(6));
    EXPECT_EQ(rig.lines[5], "10.77.0.5を通るパケットのチェックが止まりました: アドレスがインターフェースにありません");
    // Long enough for the helper to have noticed by itself: still one line.
    rig.window.runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(rig.lines.size(), 6u);

    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.77.0.5/24", "dev", insideLink}));
    ASSERT_TRUE(rig.waitForLines(7));
    EXPECT_EQ(rig.lines[6], "10.77.0.5を通るパケットをチェックします。");
}

// The same with IPv6: two global addresses and a link-local one on the
// inside end of the pair (usable at once: no duplicate address detection),
// ::1 on loopback. Connections run out over the pair, in from the other
// side, link-local both ways, and between the inside's own addresses over
// its loopback, link-local ones among them, whose rows name the link.
class CaptureIpv6InNamespaces : public VethNamespaces {
protected:
    CaptureIpv6InNamespaces() : VethNamespaces("kc6") {}

    const IpAddress a1 = ipv6("2001:db8:77::1"), a3 = ipv6("2001:db8:77::3"), b = ipv6("2001:db8:77::2");
    const IpAddress linkA = ipv6("fe80::a"), linkB = ipv6("fe80::b"), loopback = ipv6("::1");

    void SetUp() override {
        VethNamespaces::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const auto& [ns, link, addresses] :
             {std::tuple{inside, insideLink, std::vector<std::string>{"2001:db8:77::1/64", "2001:db8:77::3/64",
                                                                      "fe80::a/64"}},
              std::tuple{outside, outsideLink, std::vector<std::string>{"2001:db8:77::2/64", "fe80::b/64"}}}) {
            // Only the link-local address given: none made up from the
            // link's hardware address, which would wait for its check.
            ASSERT_TRUE(Namespaces::ip(ns, {"link", "set", link, "addrgenmode", "none"}));
            for (const std::string& address : addresses)
                ASSERT_TRUE(Namespaces::ip(ns, {"addr", "add", address, "dev", link, "nodad"}));
        }
        upAll();
    }
};

TEST_F(CaptureIpv6InNamespaces, EachDatagramIsCountedOnceLinkLocalOnesToo) {
    InsideYardsticks yardsticks(inside, insideLink);
    ASSERT_TRUE(yardsticks.listening());

    InNamespace entered(inside);
    ASSERT_TRUE(entered.entered());
    LinuxAddressList addresses(IpFamilies::Ipv4AndIpv6);
    const auto list = addresses.query();
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 5u);  // 127.0.0.1 and ::1 on loopback, three on the link
    EXPECT_TRUE(list->front().address.isIpv4());
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(5));
    std::sort(rig.lines.begin(), rig.lines.end());
    const std::string opened = "を通るパケットをチェックします。";
    EXPECT_EQ(rig.lines, (std::vector<std::string>{"127.0.0.1" + opened, "2001:db8:77::1" + opened,
                                                   "2001:db8:77::3" + opened, "::1" + opened,
                                                   "fe80::a%" + insideLink + opened}));

    std::vector<TcpPair> pairs;
    pairs.push_back(connectPair(a1, b, "", outside));  // out over the link
    pairs.push_back(connectPair(a3, b, "", outside));  // out from the second address
    pairs.push_back(connectPair(a1, a3));              // between two link addresses: over loopback
    pairs.push_back(connectPair(b, a3, outside, ""));  // in from the other side
    pairs.push_back(connectPair(loopback, loopback));
    pairs.push_back(connectPair({linkB, outside, outsideLink}, {linkA, "", insideLink}, insideLink));
    pairs.push_back(connectPair({linkA, "", insideLink}, {linkB, outside, outsideLink}, insideLink));
    // To its own link-local address: over loopback, yet the rows name the link.
    pairs.push_back(connectPair({linkA, "", insideLink}, {linkA, "", insideLink}, insideLink));
    for (TcpPair& pair : pairs) {
        ASSERT_TRUE(pair.ok()) << pair.name();
        pair.addRows(rig.list);
    }

    // The kernel's own rows of that last connection name the link at both ends.
    LinuxConnectionTable table(LinuxConnectionTable::Reader::Automatic, IpFamilies::Ipv4AndIpv6);
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.snapshot(rows));
    int named = 0;
    for (const TcpRow& row : rows) {
        if (row.localAddr != linkA || row.remoteAddr != linkA) continue;
        EXPECT_EQ(table.interfaceName(row.interfaceIndex), insideLink);
        ++named;
    }
    EXPECT_GE(named, 2);

    for (TcpPair& pair : pairs) {
        // Over ::1 large writes too, which the kernel hands to capture as
        // segments far beyond one frame.
        if (pair.clientAddress == loopback)
            exchange(pair, 4 << 20, 1 << 20, 0);
        else
            exchange(pair, 64 << 10, 1000, 3000);
    }
    EXPECT_EQ(rig.capture->statistics().dropped, 0u);
    yardsticks.expectTotals(rig, pairs, {loopback, "", ""}, {a1, "", ""}, {b, outside, ""});
}

TEST(CaptureCycles, HundredStartsAndStopsLeaveNothingBehind) {
    REQUIRE_ROOT();
    LoopbackAddresses addresses;
    CaptureRig rig(addresses);
    // One round first, so that what stays for the process's life is there.
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(1));
    rig.capture->stop();
    const std::size_t threads = entriesIn("/proc/self/task"), descriptors = entriesIn("/proc/self/fd");
    ASSERT_EQ(children(), 0u);

    auto slowest = 0ms;
    for (int cycle = 0; cycle < 100; ++cycle) {
        rig.capture->start();
        // Half the stops come before the helper has even answered.
        if (cycle % 2) {
            ASSERT_TRUE(rig.waitForLines(rig.lines.size() + 1)) << cycle;
        }
        const auto start = std::chrono::steady_clock::now();
        rig.capture->stop();
        slowest = std::max(slowest,
                           std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start));
    }
    EXPECT_LT(slowest, kPatience);  // a stop waits for nothing, however busy the machine
    EXPECT_EQ(children(), 0u);
    EXPECT_EQ(rig.sources.live(), 0);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
}

// An ordinary user runs packet checking, in a child process that gives up
// root first. Without the capability the user is told how to grant it; with
// it, the capture works.
class CaptureAsOrdinaryUser : public ::testing::TestWithParam<bool> {};

TEST_P(CaptureAsOrdinaryUser, NeedsTheCapabilityOnTheHelper) {
    REQUIRE_ROOT();
    const bool granted = GetParam();
    TempDir dir;
    const fs::path helper = dir.path / "kestrova-capture";
    fs::copy_file(helperPath(), helper);
    chmod(helper.c_str(), 0755);
    if (granted) {
        ASSERT_TRUE(runCommand({"setcap", "cap_net_raw=p", helper.string()}));
    }

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ends[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(3);
        std::string report;
        {
            LoopbackAddresses addresses;
            CaptureRig rig(addresses, helper.string());
            rig.capture->start();
            rig.waitForLines(1);
            if (!rig.lines.empty()) report = rig.lines[0];
            if (granted) {
                TcpPair pair = connectPair({127, 0, 0, 1}, {127, 0, 0, 1});
                pair.addRows(rig.list);
                exchange(pair, 1000, 100, 0);
                rig.window.runUntil([&] { return !pair.total(rig.list).empty() && pair.total(rig.list) != "0"; }, kPatience);
                report += "\n" + pair.total(rig.list);
            }
        }
        [[maybe_unused]] const auto written = write(ends[1], report.data(), report.size());
        _exit(0);
    }
    close(ends[1]);
    std::string report;
    char buffer[1024];
    for (ssize_t count; (count = read(ends[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(count));
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    if (!granted) {
        // Anyone may run this copy: the command gives it to the group first.
        const std::string path = helper.string();
        EXPECT_EQ(report, "パケットをチェックできません: 権限がありません (sudo chgrp kestrova " + path +
                              " && sudo chmod 0750 " + path + " && sudo setcap cap_net_raw=p " + path + ")");
    } else {
        const std::size_t newline = report.find('\n');
        ASSERT_NE(newline, std::string::npos) << report;
        EXPECT_EQ(report.substr(0, newline), "127.0.0.1を通るパケットをチェックします。");
        EXPECT_GT(std::stoull(report.substr(newline + 1)), 1000u);
    }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithout, CaptureAsOrdinaryUser, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Granted" : "NotGranted"; });

TEST(LocateCaptureHelper, BesideTheProgramOrInItsLibexec) {
    TempDir dir;
    const fs::path build = dir.path / "build", installed = dir.path / "usr";
    fs::create_directories(build);
    fs::create_directories(installed / "bin");
    fs::create_directories(installed / "libexec" / "kestrova");
    auto executable = [](const fs::path& path) {
        std::ofstream(path) << "#!/bin/sh\n";
        chmod(path.c_str(), 0755);
    };
    executable(build / "kestrova-capture");
    executable(installed / "libexec" / "kestrova" / "kestrova-capture");
    EXPECT_EQ(locateCaptureHelper((build / "kestrova").string()), (build / "kestrova-capture").string());
    EXPECT_EQ(locateCaptureHelper((installed / "bin" / "kestrova").string()),
              (installed / "libexec" / "kestrova" / "kestrova-capture").string());
    EXPECT_EQ(locateCaptureHelper((dir.path / "elsewhere" / "kestrova").string()),
              (dir.path / "elsewhere" / "kestrova-capture").string());
    // An installed helper that this user may not run is still the one: its
    // refusal names the group to join.
    chmod((installed / "libexec" / "kestrova" / "kestrova-capture").c_str(), 0640);
    EXPECT_EQ(locateCaptureHelper((installed / "bin" / "kestrova").string()),
              (installed / "libexec" / "kestrova" / "kestrova-capture").string());
}

TEST(LinuxAddressListTest, ListsLoopbackAndKeepsItsOrder) {
    LinuxAddressList addresses;
    const auto first = addresses.query(), second = addresses.query();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first, second);
    const LocalAddress loopback{"lo", {127, 0, 0, 1}, true};
    EXPECT_NE(std::find(first->begin(), first->end(), loopback), first->end());
    for (const LocalAddress& address : *first) EXPECT_TRUE(address.address.isIpv4()) << text(address.address);

    // With IPv6 the same IPv4 addresses come first, then the IPv6 ones.
    const auto both = LinuxAddressList(IpFamilies::Ipv4AndIpv6).query();
    ASSERT_TRUE(both.has_value());
    ASSERT_GE(both->size(), first->size());
    EXPECT_EQ(std::vector<LocalAddress>(both->begin(), both->begin() + static_cast<std::ptrdiff_t>(first->size())),
              *first);
    for (auto it = both->begin() + static_cast<std::ptrdiff_t>(first->size()); it != both->end(); ++it)
        EXPECT_FALSE(it->address.isIpv4()) << text(it->address);
    const LocalAddress loopback6{"lo", ipv6("::1"), true};
    EXPECT_NE(std::find(both->begin(), both->end(), loopback6), both->end());
}

TEST(HelperArguments, EveryAddressIsWrittenAsTheRowsWriteIt) {
    EXPECT_EQ(LinuxPacketSource::helperArguments("/h", {"eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}}}),
              (std::vector<std::string>{"/h", "eth0", "10.0.0.3", "--exclude", "10.0.0.1"}));
    EXPECT_EQ(LinuxPacketSource::helperArguments("/h", {"lo", ipv6("::1"), true, {}}),
              (std::vector<std::string>{"/h", "lo", "::1", "--whole-interface"}));
    EXPECT_EQ(LinuxPacketSource::helperArguments("/h", {"eth0", ipv6("2001:db8::3"), false, {ipv6("fe80::1")}}),
              (std::vector<std::string>{"/h", "eth0", "2001:db8::3", "--exclude", "fe80::1%eth0"}));
    // And the helper takes them back as they were.
    const CaptureRequest linkLocal{"eth0", ipv6("fe80::2"), false, {ipv6("fe80::1"), ipv6("2001:db8::3")}};
    const auto arguments = LinuxPacketSource::helperArguments("/h", linkLocal);
    const std::vector<std::string_view> views(arguments.begin() + 1, arguments.end());
    const auto options = helper::parseHelperOptions(views);
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->address, linkLocal.address);
    EXPECT_EQ(options->excluded, linkLocal.excluded);
}

}  // namespace
}  // namespace kestrova
