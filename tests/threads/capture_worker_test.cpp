#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "../unit/CaptureFakes.h"
#include "../unit/Fakes.h"
#include "capture/CapturePlan.h"
#include "capture/PacketCapture.h"
#include "monitor/AddressText.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;

TEST(PlanCapture, EveryDatagramHasOneWorker) {
    const std::vector<LocalAddress> addresses = {
        localAddress("lo", {127, 0, 0, 1}, true),   localAddress("eth0", {10, 0, 0, 1}),
        localAddress("lo", {127, 0, 0, 2}, true),   localAddress("eth0", {10, 0, 0, 2}),
        localAddress("eth1", {192, 168, 5, 5}),     localAddress("eth0", {10, 0, 0, 1}),
        localAddress("eth0", {10, 0, 0, 3}),
    };
    auto request = [](std::string name, IpAddress address, bool whole, std::vector<IpAddress> excluded) {
        return std::optional<CaptureRequest>(CaptureRequest{std::move(name), address, whole, std::move(excluded)});
    };
    const std::vector<std::optional<CaptureRequest>> expected = {
        request("lo", {127, 0, 0, 1}, true, {}),
        request("eth0", {10, 0, 0, 1}, false, {}),
        std::nullopt,  // loopback is taken whole by the first worker there
        request("eth0", {10, 0, 0, 2}, false, {{10, 0, 0, 1}}),
        request("eth1", {192, 168, 5, 5}, false, {}),
        request("eth0", {10, 0, 0, 1}, false, {{10, 0, 0, 1}, {10, 0, 0, 2}}),  // a repeat takes nothing
        request("eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}, {10, 0, 0, 2}}),
    };
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto plan = planCapture(addresses, i);
        ASSERT_TRUE(plan.has_value());
        EXPECT_EQ(plan->address, addresses[i]);
        EXPECT_EQ(plan->request, expected[i]) << i;
    }
    EXPECT_FALSE(planCapture(addresses, addresses.size()).has_value());
}

// IPv6 addresses come after the IPv4 ones and are planned among themselves:
// the first IPv6 address on loopback takes all of loopback's IPv6 datagrams.
// Link-local addresses seen on loopback are named by the interface holding
// them, as the rows name them; seen anywhere else, by the capture's interface.
TEST(PlanCapture, EachFamilyIsPlannedApart) {
    const IpAddress linkLocal = ipv6("fe80::1"), global = ipv6("2001:db8::1");
    const std::vector<LocalAddress> addresses = {
        localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 1}),
        localAddress("lo", ipv6("::1"), true),    localAddress("eth0", global),
        localAddress("eth0", linkLocal),          localAddress("lo", ipv6("::2"), true),
        localAddress("eth1", linkLocal),          localAddress("eth1", ipv6("fe80::2")),
    };
    const LinkZones onLoopback{"lo", {{linkLocal, "eth0"}, {ipv6("fe80::2"), "eth1"}}};
    const std::vector<std::optional<CaptureRequest>> expected = {
        CaptureRequest{"lo", {127, 0, 0, 1}, true, {}},
        CaptureRequest{"eth0", {10, 0, 0, 1}, false, {}},
        CaptureRequest{"lo", ipv6("::1"), true, {}},  // the IPv4 address before it takes no IPv6
        CaptureRequest{"eth0", global, false, {}},
        CaptureRequest{"eth0", linkLocal, false, {global}},
        std::nullopt,
        CaptureRequest{"eth1", linkLocal, false, {}},  // the same address on another link
        CaptureRequest{"eth1", ipv6("fe80::2"), false, {linkLocal}},
    };
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto plan = planCapture(addresses, i);
        ASSERT_TRUE(plan.has_value());
        EXPECT_EQ(plan->request, expected[i]) << i;
        EXPECT_EQ(plan->zones.captured, addresses[i].interfaceName) << i;
        if (i == 2) {
            EXPECT_EQ(plan->zones, onLoopback);
        } else {
            EXPECT_TRUE(plan->zones.owners.empty()) << i;
        }
    }
    EXPECT_EQ(onLoopback.of(linkLocal), "eth0");
    EXPECT_EQ(onLoopback.of(ipv6("fe80::9")), "lo");
}

// The workers over scripted captures.
class PacketCaptureTest : public ::testing::Test, protected FakeCapture {
protected:

    void TearDown() override {
        capture->stop();
        EXPECT_EQ(sources.live(), 0);
    }
    bool waitFor(const std::function<bool()>& done) { return window.runUntil(done, kPatience); }
    // Every worker has ended by itself once its capture is released.
    bool allEnded() {
        return waitFor([&] { return sources.live() == 0 && sources.requests().size() > 0; });
    }
};

TEST_F(PacketCaptureTest, EachOpenCaptureLogsItsAddressThenHandsOverItsDatagrams) {
    addresses.set(std::vector{localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 7})});
    sources.onStart = [](const CaptureRequest& request, Stream& stream) {
        stream.push(StatusRecord{HelperStatus::Ready});
        if (request.interfaceName != "eth0") return;
        // Two records in one write, one split across two.
        std::vector<std::byte> bytes = recordBytes(connectionRecord({10, 0, 0, 7}, 5000, {1, 2, 3, 4}, 80, 60));
        const auto second = recordBytes(connectionRecord({1, 2, 3, 4}, 80, {10, 0, 0, 7}, 5000, 1500));
        bytes.insert(bytes.end(), second.begin(), second.end());
        const auto third = recordBytes(connectionRecord({1, 2, 3, 4}, 80, {10, 0, 0, 7}, 5000, 52));
        bytes.insert(bytes.end(), third.begin(), third.begin() + 10);
        stream.push(bytes);
        stream.push(std::vector<std::byte>(third.begin() + 10, third.end()));
    };
    capture->start();
    EXPECT_EQ(capture->workerCount(), 2);
    ASSERT_TRUE(waitFor([&] { return lines.size() == 2 && reports.size() == 3; }));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"10.0.0.7を通るパケットをチェックします。",
                                                "127.0.0.1を通るパケットをチェックします。"}));
    EXPECT_EQ(std::string(reports[0].sourceAddress), "10.0.0.7");
    EXPECT_EQ(std::string(reports[0].destinationPort), "80");
    EXPECT_EQ(reports[0].size, 60u);
    EXPECT_EQ(reports[1].size, 1500u);
    EXPECT_EQ(reports[2].size, 52u);
    // The captures run until they are stopped.
    EXPECT_EQ(sources.live(), 2);
    capture->stop();
    EXPECT_EQ(sources.live(), 0);
}

TEST_F(PacketCaptureTest, WantOfPermissionIsLoggedOncePerStart) {
    addresses.set(std::vector{localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 7}),
                              localAddress("eth1", {10, 0, 1, 7})});
    sources.onStart = [](const CaptureRequest&, Stream& stream) {
        stream.push(StatusRecord{HelperStatus::PermissionDenied});
        stream.end();
    };
    const std::vector<std::string> once = {
        "パケットをチェックできません: 権限がありません (sudo setcap cap_net_raw=p "
        "/usr/libexec/kestrova/kestrova-capture)"};
    for (int start = 1; start <= 2; ++start) {
        lines.clear();
        capture->start();
        ASSERT_TRUE(waitFor([&] { return sources.live() == 0 && sources.requests().size() == 3u * start; }));
        window.runUntil([] { return false; }, 20ms);
        EXPECT_EQ(lines, once);
    }
}

TEST_F(PacketCaptureTest, EveryWorkerIsPlannedFromTheListTheStartRead) {
    // The list changes under the workers as they start (an interface comes
    // and goes); each must capture what the start planned, and none read it
    // again.
    class ChangingList : public AddressList {
    public:
        int queries = 0;
        std::optional<std::vector<LocalAddress>> query() override {
            ++queries;
            if (queries == 1)
                return std::vector{localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 1}),
                                   localAddress("eth0", {10, 0, 0, 2})};
            return std::vector{localAddress("eth0", {10, 0, 0, 2}), localAddress("lo", {127, 0, 0, 1}, true)};
        }
    } changing;
    sources.onStart = [](const CaptureRequest&, Stream& stream) { stream.push(StatusRecord{HelperStatus::Ready}); };
    PacketCapture own(changing, sources, window, {[this](std::string_view line) { lines.emplace_back(line); }, {}});
    own.start();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 3; }));
    auto requests = sources.requests();
    std::sort(requests.begin(), requests.end(),
              [](const CaptureRequest& a, const CaptureRequest& b) { return a.address < b.address; });
    const std::vector<CaptureRequest> expected = {{"eth0", {10, 0, 0, 1}, false, {}},
                                                  {"eth0", {10, 0, 0, 2}, false, {{10, 0, 0, 1}}},
                                                  {"lo", {127, 0, 0, 1}, true, {}}};
    EXPECT_EQ(requests, expected);
    EXPECT_EQ(changing.queries, 1);
    own.stop();
}

// A process that can gain no privilege (a hardened service) starts no helper:
// the same line says at once that it may not capture.
TEST_F(PacketCaptureTest, AProcessThatMayNotCaptureStartsNoWorker) {
    addresses.set(std::vector{localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 7})});
    sources.mayCaptureAtAll = false;
    capture->start();
    EXPECT_EQ(lines, (std::vector<std::string>{"パケットをチェックできません: このプロセスは特権を得られません (no_new_privs)"}));
    EXPECT_EQ(capture->workerCount(), 0);
    window.runUntil([] { return false; }, 20ms);
    EXPECT_TRUE(sources.requests().empty());
}

struct BrokenStream {
    const char* name;
    std::function<void(Stream&)> script;
    std::size_t reportsKept;
    std::vector<std::string> lines;
    SourceEnd end{SourceEnd::Kind::Exited, 1};
};

class BrokenStreams : public PacketCaptureTest, public ::testing::WithParamInterface<BrokenStream> {};

// Whatever the stream does wrong, the worker ends by itself and says why in
// one line, and no record of a read that held something wrong reaches the
// rows.
TEST_P(BrokenStreams, EndTheWorkerWithOneLineWithoutTouchingTheRows) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7})});
    sources.onStart = [&](const CaptureRequest&, Stream& stream) { GetParam().script(stream); };
    sources.endResult = GetParam().end;
    capture->start();
    ASSERT_TRUE(allEnded());
    window.runUntil([] { return false; }, 20ms);
    EXPECT_EQ(reports.size(), GetParam().reportsKept);
    EXPECT_EQ(lines, GetParam().lines);
}

std::vector<std::byte> join(std::initializer_list<std::vector<std::byte>> parts) {
    std::vector<std::byte> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const auto kGood = recordBytes(connectionRecord({10, 0, 0, 7}, 1, {1, 1, 1, 1}, 2, 40));
const auto kReady = recordBytes(StatusRecord{HelperStatus::Ready});
const std::string kOpened = "10.0.0.7を通るパケットをチェックします。";
const std::string kStopped = "10.0.0.7を通るパケットのチェックが止まりました: ";
const std::string kGarbled = kStopped + "ヘルパーの出力が壊れています";

INSTANTIATE_TEST_SUITE_P(
    Table, BrokenStreams,
    ::testing::Values(
        BrokenStream{"helper gone before a word", [](Stream& s) { s.end(); }, 0,
                     {kStopped + "ヘルパーが終了しました (終了コード 1)"}},
        BrokenStream{"helper killed after ready",
                     [](Stream& s) {
                         s.push(kReady);
                         s.end();
                     },
                     0, {kOpened, kStopped + "ヘルパーが強制終了されました (シグナル 9)"}, {SourceEnd::Kind::Killed, 9}},
        BrokenStream{"helper could not open", [](Stream& s) { s.push(StatusRecord{HelperStatus::OpenFailed}); }, 0,
                     {kStopped + "キャプチャを開けません"}},
        BrokenStream{"filter refused", [](Stream& s) { s.push(StatusRecord{HelperStatus::FilterFailed}); }, 0,
                     {kStopped + "カーネルがフィルタを受け付けません"}},
        BrokenStream{"address gone after ready",
                     [](Stream& s) { s.push(join({kReady, kGood, recordBytes(StatusRecord{HelperStatus::NoSuchAddress})})); },
                     1, {kOpened, kStopped + "アドレスがインターフェースにありません"}},
        BrokenStream{"datagram before the status", [](Stream& s) { s.push(kGood); }, 0, {kGarbled}},
        BrokenStream{"garbage for a status", [](Stream& s) { s.push(std::vector<std::byte>(64, std::byte{7})); }, 0,
                     {kGarbled}},
        BrokenStream{"a second ready", [](Stream& s) { s.push(join({kReady, kReady})); }, 0, {kOpened, kGarbled}},
        BrokenStream{"garbled record among good ones",
                     [](Stream& s) {
                         s.push(kReady);
                         s.push(kGood);
                         s.push(join({kGood, std::vector<std::byte>(64, std::byte{0}), kGood}));
                     },
                     1, {kOpened, kGarbled}},
        BrokenStream{"record cut short by the end",
                     [](Stream& s) {
                         s.push(kReady);
                         s.push(join({kGood, std::vector<std::byte>(kGood.begin(), kGood.begin() + 63)}));
                         s.end();
                     },
                     1, {kOpened, kGarbled}}),
    [](const auto& info) { return testName(info.param.name); });

struct StartCase {
    const char* name;
    SourceStart result;
    std::string group;
    std::vector<std::string> lines;
};

class CaptureThatCannotStart : public PacketCaptureTest, public ::testing::WithParamInterface<StartCase> {};

// A user who may not run the helper learns why once per start; a helper that
// cannot be run for another reason ends each worker with its own line.
TEST_P(CaptureThatCannotStart, SaysWhyAsOftenAsItMatters) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7}), localAddress("eth1", {10, 0, 1, 7})});
    sources.startResult = GetParam().result;
    sources.accessResult.group = GetParam().group;
    for (int start = 1; start <= 2; ++start) {
        lines.clear();
        capture->start();
        ASSERT_TRUE(waitFor([&] { return sources.live() == 0 && sources.requests().size() == 2u * start; }));
        window.runUntil([] { return false; }, 20ms);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, GetParam().lines);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureThatCannotStart,
    ::testing::Values(
        StartCase{"not in the group",
                  {SourceStart::Outcome::NotPermitted, 13},
                  "kestrova",
                  {"パケットをチェックできません: kestrovaグループに属していません (sudo usermod -aG kestrova alice)"}},
        StartCase{"no group would do",
                  {SourceStart::Outcome::NotPermitted, 13},
                  "",
                  {"パケットをチェックできません: /usr/libexec/kestrova/kestrova-captureを実行できません"}},
        StartCase{"helper missing",
                  {SourceStart::Outcome::Failed, 2},
                  "kestrova",
                  {"10.0.0.7を通るパケットのチェックが止まりました: ヘルパーを起動できません (エラー 2)",
                   "10.0.1.7を通るパケットのチェックが止まりました: ヘルパーを起動できません (エラー 2)"}}),
    [](const auto& info) { return testName(info.param.name); });

TEST_F(PacketCaptureTest, NoAddressesStartNothing) {
    // An address list that cannot be read, and one that is empty.
    addresses.set(std::nullopt);
    capture->start();
    EXPECT_EQ(capture->workerCount(), -1);

    addresses.set(std::vector<LocalAddress>{});
    capture->start();
    EXPECT_EQ(capture->workerCount(), 0);
    window.runUntil([] { return false; }, 20ms);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(sources.requests().empty());
}

// The streams of the captures started so far, by address, for a test to
// write into after the start.
struct Streams {
    std::mutex mutex;
    std::map<std::string, Stream*> byAddress;
    std::function<void(const CaptureRequest&, Stream&)> opener() {
        return [this](const CaptureRequest& request, Stream& stream) {
            stream.push(StatusRecord{HelperStatus::Ready});
            std::lock_guard lock(mutex);
            byAddress[addressText(request.address)] = &stream;
        };
    }
    Stream& operator[](const std::string& address) {
        std::lock_guard lock(mutex);
        return *byAddress.at(address);
    }
};

// The kernel's counts say when datagrams were dropped: one line per spell of
// drops, with how many, once the counts show no new drop or a quiet second
// passes; a worker stopped during a spell still tells it.
TEST_F(PacketCaptureTest, DatagramsTheKernelDroppedAreToldOncePerSpell) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7})});
    Streams streams;
    sources.onStart = streams.opener();
    capture->start();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));
    auto dropped = [](int count) {
        return "10.0.0.7を通るパケットのうち" + std::to_string(count) +
               "個を数えられませんでした (カーネルが破棄しました)。合計はその分少なくなります。";
    };
    for (const StatisticsRecord counts : {StatisticsRecord{100, 0}, {200, 50}, {300, 80}, {400, 80}})
        streams["10.0.0.7"].push(counts);
    ASSERT_TRUE(waitFor([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[1], dropped(80));
    streams["10.0.0.7"].push(StatisticsRecord{500, 95});
    ASSERT_TRUE(waitFor([&] { return lines.size() == 3; }));
    EXPECT_EQ(lines[2], dropped(15));
    streams["10.0.0.7"].push(StatisticsRecord{600, 100});
    ASSERT_TRUE(waitFor([&] { return capture->statistics().dropped == 100; }));
    capture->stop();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], dropped(5));
}

// Addresses that come get a capture, those that go have theirs stopped with
// the line a capture that lost its address writes; the others run on.
TEST_F(PacketCaptureTest, AddressesThatComeAndGoStartAndStopTheirCaptures) {
    const LocalAddress loopback = localAddress("lo", {127, 0, 0, 1}, true);
    const LocalAddress first = localAddress("eth0", {10, 0, 0, 7}), second = localAddress("eth0", {10, 0, 0, 8});
    addresses.set(std::vector{loopback, first});
    Streams streams;
    sources.onStart = streams.opener();
    capture->start();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 2; }));

    addresses.set(std::vector{loopback, second, first});
    addresses.changed();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 3; }));
    EXPECT_EQ(lines[2], "10.0.0.8を通るパケットをチェックします。");
    // Planned after the addresses already captured, whatever the list's order.
    EXPECT_EQ(sources.requests().back(), (CaptureRequest{"eth0", {10, 0, 0, 8}, false, {{10, 0, 0, 7}}}));

    addresses.set(std::vector{loopback, second});
    addresses.changed();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 4; }));
    EXPECT_EQ(lines[3], "10.0.0.7を通るパケットのチェックが止まりました: アドレスがインターフェースにありません");
    window.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_EQ(sources.requests().size(), 3u) << "a capture that could go on was started again";
    EXPECT_EQ(sources.live(), 2);

    // A capture that ended as its address went starts again when it is back.
    streams["10.0.0.8"].push(StatusRecord{HelperStatus::NoSuchAddress});
    streams["10.0.0.8"].end();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 5; }));
    addresses.changed();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 6; }));
    EXPECT_EQ(lines[5], "10.0.0.8を通るパケットをチェックします。");
    EXPECT_EQ(sources.live(), 2);
}

// A link-local address that comes on another interface changes how the
// loopback capture writes it, without starting that capture again.
TEST_F(PacketCaptureTest, LinkLocalAddressesElsewhereChangeTheLoopbackZonesInPlace) {
    const LocalAddress loopback = localAddress("lo", ipv6("::1"), true);
    addresses.set(std::vector{loopback});
    Streams streams;
    sources.onStart = streams.opener();
    capture->start();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 1; }));
    addresses.set(std::vector{loopback, localAddress("eth1", ipv6("fe80::2"))});
    addresses.changed();
    ASSERT_TRUE(waitFor([&] { return lines.size() == 2; }));
    streams["::1"].push(connectionRecord(ipv6("fe80::2"), 5000, ipv6("fe80::2"), 80, 60));
    ASSERT_TRUE(waitFor([&] { return reports.size() == 1; }));
    EXPECT_EQ(std::string(reports[0].sourceAddress), "fe80::2%eth1");
    EXPECT_EQ(sources.requests().size(), 2u);
}

TEST(AppendReports, ASumTooLargeForOneReportIsSplitExactly) {
    std::vector<PacketReport> out;
    appendReports(connectionRecord({1, 2, 3, 4}, 5, {6, 7, 8, 9}, 10, 0x1'0000'0005ull), {}, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(std::uint64_t{out[0].size} + out[1].size, 0x1'0000'0005ull);
    EXPECT_EQ(std::string(out[1].sourceAddress), "1.2.3.4");
    EXPECT_EQ(std::string(out[1].destinationPort), "10");
}

// Reports carry the address texts of the rows: a link-local address with the
// zone the capture's plan gives it.
TEST(AppendReports, AddressesAreWrittenAsTheRowsWriteThem) {
    const LinkZones onLink{"eth0", {}};
    const LinkZones onLoopback{"lo", {{ipv6("fe80::1"), "eth0"}, {ipv6("fe80::2"), "veth-b"}}};
    struct Case {
        IpAddress source, destination;
        const LinkZones& zones;
        const char* sourceText;
        const char* destinationText;
    };
    const Case cases[] = {
        {{10, 0, 0, 1}, {192, 0, 2, 9}, onLink, "10.0.0.1", "192.0.2.9"},
        {ipv6("2001:db8::1"), ipv6("2001:db8:0:0:1::9"), onLink, "2001:db8::1", "2001:db8::1:0:0:9"},
        {ipv6("fe80::1"), ipv6("fe80::abcd"), onLink, "fe80::1%eth0", "fe80::abcd%eth0"},
        {ipv6("fe80::1"), ipv6("fe80::2"), onLoopback, "fe80::1%eth0", "fe80::2%veth-b"},
        {ipv6("::1"), ipv6("fe80::7"), onLoopback, "::1", "fe80::7%lo"},
    };
    for (const Case& c : cases) {
        std::vector<PacketReport> out;
        appendReports(connectionRecord(c.source, 443, c.destination, 5000, 60), c.zones, out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(fieldText(out[0].sourceAddress), c.sourceText);
        EXPECT_EQ(fieldText(out[0].destinationAddress), c.destinationText);
        EXPECT_EQ(fieldText(out[0].sourcePort), "443");
    }
    // The widest link-local text fits its field: every zone byte escaped.
    std::vector<PacketReport> out;
    const IpAddress widest = ipv6("febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    appendReports(connectionRecord(widest, 1, ipv6("::1"), 2, 60), {std::string(15, '\x01'), {}}, out);
    EXPECT_EQ(fieldText(out[0].sourceAddress).size(), 39u + 1 + 15 * 4);
}

// The window's side: the command's line comes before every worker's, and
// turning packet checking off or closing the window ends every capture.
class CheckPacketCommand : public PacketCaptureTest {
protected:
    FakeHost host;
    ConnectionList connections;
    EventLog log;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile;
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::unique_ptr<MainDialog> dialog;

    // Without capture, the window has no way to check packets.
    void open(std::string profileText = "", bool withCapture = true) {
        if (!profileText.empty()) profileFile.contents = profileText;
        MainDialogParts parts{host, connections, log, clock, table, processes, version, profile,
                              [](std::string_view) {}};
        if (withCapture) {
            parts.windowThread = &window;
            parts.addresses = &addresses;
            parts.packetSources = &sources;
        }
        dialog = std::make_unique<MainDialog>(parts);
        dialog->initialise();
    }
    std::vector<std::string> logLines() const {
        std::vector<std::string> out;
        for (int row = log.rowCount() - 1; row >= 0; --row) out.push_back(log.cellText(row, 1));
        return out;
    }
    void TearDown() override {
        dialog.reset();
        EXPECT_EQ(sources.live(), 0);
    }
};

TEST_F(CheckPacketCommand, StartLineFirstThenEveryAddressThenTheTotals) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7})});
    sources.onStart = [](const CaptureRequest&, Stream& stream) {
        stream.push(StatusRecord{HelperStatus::Ready});
        stream.push(connectionRecord({10, 0, 0, 7}, 5000, {1, 2, 3, 4}, 80, 60));
    };
    table.rows = {tcp(5, {10, 0, 0, 7}, 5000, {1, 2, 3, 4}, 80, 42)};
    open();
    dialog->onTimer(TIMER_REFRESH);
    dialog->onSysCommand(CMD_CHECK_PACKET);
    ASSERT_TRUE(waitFor([&] { return cellText(connections, 0, colTotalBytes) == "60"; }));
    EXPECT_EQ(cellText(connections, 0, colActive), "▼60");
    const std::vector<std::string> expected = {"パケットのチェックを開始します。",
                                               "10.0.0.7を通るパケットをチェックします。"};
    auto lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()), expected);

    dialog->onSysCommand(CMD_CHECK_PACKET);
    EXPECT_EQ(sources.live(), 0);
    EXPECT_EQ(logLines().back(), "パケットのチェックを終了します。");
    // Totals and the last mark stay.
    EXPECT_EQ(cellText(connections, 0, colActive), "▼60");
}

TEST_F(CheckPacketCommand, OnFromTheProfileAndEndedByTheWindowsEnd) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7}), localAddress("eth1", {10, 0, 1, 7})});
    sources.onStart = [](const CaptureRequest&, Stream& stream) { stream.push(StatusRecord{HelperStatus::Ready}); };
    open("[1040315]\ncheckPacket=1040315\n");
    ASSERT_TRUE(waitFor([&] { return log.rowCount() == 2; }));
    EXPECT_EQ(sources.live(), 2);
    window.close();  // the window closing refuses every hand-off first
    dialog->onDestroy();
    EXPECT_EQ(sources.live(), 0);
}

TEST_F(CheckPacketCommand, AReportHandedToTheDialogIsAccounted) {
    table.rows = {tcp(5, {10, 0, 0, 7}, 5000, {1, 2, 3, 4}, 80, 42)};
    open();
    dialog->onTimer(TIMER_REFRESH);
    const PacketReport report = buildReport({{1, 2, 3, 4}, {}, 80}, {{10, 0, 0, 7}, {}, 5000}, 1500);
    dialog->accountPackets({&report, 1});
    EXPECT_EQ(cellText(connections, 0, colActive), "▼1500");
}

TEST_F(CheckPacketCommand, WithoutCaptureStartsNothingAndStillLogsTheCommand) {
    addresses.set(std::vector{localAddress("eth0", {10, 0, 0, 7})});
    open("", false);
    dialog->onSysCommand(CMD_CHECK_PACKET);
    EXPECT_EQ(dialog->capture(), nullptr);
    EXPECT_EQ(log.cellText(0, 1), "パケットのチェックを開始します。");
    EXPECT_TRUE(sources.requests().empty());
}

}  // namespace
}  // namespace kestrova
