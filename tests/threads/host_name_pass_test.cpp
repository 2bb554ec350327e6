#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../unit/FakeResolver.h"
#include "../unit/Fakes.h"
#include "monitor/HostNamePass.h"
#include "monitor/HostNameText.h"
#include "platform/SendQueue.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::FakeResolver;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The test's own thread plays the window thread: what the pass sends waits
// in the queue until the test pumps it.
class WindowPump {
public:
    WindowPump() : queue(std::make_shared<SendQueue>([this] { wake(); })) {}
    ~WindowPump() { queue->shutDown(); }

    // Runs queued work until `done` holds; false when it does not in time.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            queue->runPending();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::unique_lock lock(mutex_);
            woken_.wait_for(lock, 2ms, [&] { return wakes_ > 0; });
            wakes_ = 0;
        }
    }

    const std::shared_ptr<SendQueue> queue;

private:
    void wake() {
        {
            std::lock_guard lock(mutex_);
            ++wakes_;
        }
        woken_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable woken_;
    int wakes_ = 0;
};

struct Row {
    std::string localIp, remoteIp, localHost, remoteHost;
};

// One pass over rows of our own, with the test thread as the window.
class PassRig {
public:
    WindowPump window;
    ConnectionList list;
    std::vector<std::string> log;  // in the order written
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    std::shared_ptr<HostNamePass> pass;

    ~PassRig() {
        if (pass) pass->stop();
        resolver->releaseAll();
    }

    void add(const Row& row, int port = 1) {
        std::vector<std::string> cells(kConnectionColumns);
        cells[colLocalIp] = row.localIp;
        cells[colLocalHost] = row.localHost;
        cells[colLocalPort] = std::to_string(port);
        cells[colRemoteIp] = row.remoteIp;
        cells[colRemoteHost] = row.remoteHost;
        cells[colRemotePort] = "80";
        list.insertRow(std::move(cells));
    }
    void start() {
        pass = HostNamePass::start(list, [this](std::string_view text) { log.emplace_back(text); }, window.queue,
                                   resolver);
        ASSERT_NE(pass, nullptr);
    }
    bool finish() { return window.until([&] { return !pass->running(); }); }
    void runPass() {
        start();
        ASSERT_TRUE(finish());
    }
    // Name cells of every row, oldest first.
    std::vector<std::pair<std::string, std::string>> names() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (int row = list.rowCount() - 1; row >= 0; --row)
            out.emplace_back(list.cellText(row, colLocalHost), list.cellText(row, colRemoteHost));
        return out;
    }
};

std::string line(const std::string& address, const std::string& name) { return resolvedLine(address, name); }
const std::string kStart(RESOLVE_START_TEXT), kEnd(RESOLVE_END_TEXT);

struct PassCase {
    const char* what;
    std::vector<Row> rows;  // oldest first
    std::map<std::string, std::optional<std::string>> answers;
    std::vector<std::string> log;
    std::map<std::string, std::size_t> lookups;  // every lookup the pass made
    std::vector<std::pair<std::string, std::string>> names;
};

class HostNamePassCaseTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(HostNamePassCaseTest, LogsLooksUpAndFillsAsExpected) {
    const PassCase& c = GetParam();
    PassRig rig;
    int port = 1;
    for (const Row& row : c.rows) rig.add(row, port++);
    for (const auto& [address, name] : c.answers) rig.resolver->answer(address, name);
    rig.runPass();
    EXPECT_EQ(rig.log, c.log);
    std::map<std::string, std::size_t> lookups;
    for (const std::string& address : rig.resolver->calls()) ++lookups[address];
    EXPECT_EQ(lookups, c.lookups);
    EXPECT_EQ(rig.names(), c.names);
}

const Row kNamedLocal{"10.0.0.1", "", "me", ""};

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, HostNamePassCaseTest,
    ::testing::Values(
        PassCase{"EmptyListLogsOnlyStartAndEnd", {}, {}, {kStart, kEnd}, {}, {}},
        PassCase{"ThreeRowsToOneAddressCostOneLookup",
                 {{"10.0.0.1", "192.0.2.7", "me", ""},
                  {"10.0.0.1", "192.0.2.7", "me", ""},
                  {"10.0.0.1", "192.0.2.7", "me", ""}},
                 {{"192.0.2.7", "seven.example"}},
                 {kStart, line("192.0.2.7", "seven.example"), kEnd},
                 {{"192.0.2.7", 1}},
                 {{"me", "seven.example"}, {"me", "seven.example"}, {"me", "seven.example"}}},
        PassCase{"SameAddressAtBothEndsFillsBoth",
                 {{"127.0.0.1", "127.0.0.1", "", ""}},
                 {{"127.0.0.1", "localhost"}},
                 {kStart, line("127.0.0.1", "localhost"), kEnd},
                 {{"127.0.0.1", 1}},
                 {{"localhost", "localhost"}}},
        PassCase{"FailedAddressLeavesNoTraceAndIsAskedOnce",
                 {{"10.0.0.1", "192.0.2.8", "me", ""}, {"10.0.0.1", "192.0.2.8", "me", ""}},
                 {},
                 {kStart, kEnd},
                 {{"192.0.2.8", 1}},
                 {{"me", ""}, {"me", ""}}},
        PassCase{"TheFailureTextFromTheResolverIsAFailure",
                 {{"10.0.0.1", "192.0.2.8", "me", ""}},
                 {{"192.0.2.8", std::string(NO_NAME_TEXT)}},
                 {kStart, kEnd},
                 {{"192.0.2.8", 1}},
                 {{"me", ""}}},
        PassCase{"StoredNamesAreNeverLookedUpOrReplaced",
                 {{"10.0.0.1", "192.0.2.9", "me", "old.example"}},
                 {{"10.0.0.1", "new-me"}, {"192.0.2.9", "new.example"}},
                 {kStart, kEnd},
                 {},
                 {{"me", "old.example"}}},
        PassCase{"LogFollowsTheWalkLastRowFirstLocalBeforeRemote",
                 {{"10.0.0.1", "192.0.2.1", "", ""}, {"10.0.0.2", "192.0.2.1", "", ""},
                  {"10.0.0.1", "192.0.2.3", "", ""}},
                 {{"10.0.0.1", "a"}, {"10.0.0.2", "b"}, {"192.0.2.1", "c"}, {"192.0.2.3", "d"}},
                 {kStart, line("10.0.0.1", "a"), line("192.0.2.1", "c"), line("10.0.0.2", "b"),
                  line("192.0.2.3", "d"), kEnd},
                 {{"10.0.0.1", 1}, {"10.0.0.2", 1}, {"192.0.2.1", 1}, {"192.0.2.3", 1}},
                 {{"a", "c"}, {"b", "c"}, {"a", "d"}}},
        PassCase{"HostileNameIsStoredAndLoggedAsOneLineOfText",
                 {kNamedLocal, {"10.0.0.1", "192.0.2.66", "me", ""}},
                 {{"192.0.2.66", std::string("x\ny\xff")}},
                 {kStart, line("192.0.2.66", "x\\x0ay\\xff"), kEnd},
                 {{"192.0.2.66", 1}},
                 {{"me", ""}, {"me", "x\\x0ay\\xff"}}}),
    [](const ::testing::TestParamInfo<PassCase>& info) { return std::string(info.param.what); });

TEST(HostNamePassTest, FailedAddressIsTriedAgainByTheNextPass) {
    PassRig rig;
    rig.add({"10.0.0.1", "192.0.2.8", "me", ""});
    rig.add({"10.0.0.1", "192.0.2.8", "me", ""});
    rig.runPass();
    rig.resolver->answer("192.0.2.8", "late.example");
    rig.runPass();
    EXPECT_EQ(rig.resolver->callsOf("192.0.2.8"), 2u);
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, kEnd, kStart, line("192.0.2.8", "late.example"), kEnd}));
}

TEST(HostNamePassTest, AddressOnMoreRowsThanOneRequestFillsIsLoggedOnceAndFilledEverywhere) {
    PassRig rig;
    const int rows = static_cast<int>(FILLS_PER_REQUEST) * 2 + 500;
    for (int i = 0; i < rows; ++i) rig.add({"10.0.0.1", "", "", ""}, i);
    rig.resolver->answer("10.0.0.1", "me.example");
    rig.runPass();
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, line("10.0.0.1", "me.example"), kEnd}));
    const auto names = rig.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), std::pair<std::string, std::string>{"me.example", ""}), rows);
}

TEST(HostNamePassTest, EightLookupsOverlapAndTheLogKeepsTheWalkOrder) {
    PassRig rig;
    std::vector<std::string> expected = {kStart};
    for (int i = 0; i < 20; ++i) {
        const std::string address = "192.0.2." + std::to_string(i + 1);
        rig.add({"", address, "", ""});
        rig.resolver->answer(address, "h" + std::to_string(i));
        rig.resolver->hold(address);
        expected.push_back(line(address, "h" + std::to_string(i)));
    }
    expected.push_back(kEnd);
    rig.start();
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->inFlight() == MAX_LOOKUPS_IN_FLIGHT; }));
    // The first address (the oldest row) answers last of the eight.
    for (int i = 2; i <= 8; ++i) rig.resolver->release("192.0.2." + std::to_string(i));
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->calls().size() >= 15; }));
    EXPECT_EQ(rig.log, std::vector<std::string>{kStart});
    rig.resolver->releaseAll();
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(rig.log, expected);
    EXPECT_EQ(rig.resolver->maxInFlight(), MAX_LOOKUPS_IN_FLIGHT);
}

TEST(HostNamePassTest, RowsChangedDuringAPassNeverGetAnotherAddressesName) {
    PassRig rig;
    rig.add({"10.0.0.1", "192.0.2.1", "me", ""});
    rig.add({"10.0.0.1", "192.0.2.2", "me", ""});
    rig.resolver->answer("192.0.2.1", "one.example");
    rig.resolver->answer("192.0.2.2", "two.example");
    rig.resolver->answer("192.0.2.3", "three.example");
    rig.resolver->hold("192.0.2.1");
    rig.resolver->hold("192.0.2.2");
    rig.start();
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->inFlight() == 2; }));
    // A refresh moves every row: new rows on top, one of them to an address
    // the pass is looking up, one to an address it never collected, and
    // the oldest row gone.
    rig.add({"10.0.0.1", "192.0.2.3", "me", ""}, 7);
    rig.add({"10.0.0.1", "192.0.2.2", "me", ""}, 8);
    rig.list.deleteRow(rig.list.rowCount() - 1);
    rig.resolver->releaseAll();
    ASSERT_TRUE(rig.finish());
    // Oldest first: the 192.0.2.2 row, then the two new ones.
    EXPECT_EQ(rig.names(), (std::vector<std::pair<std::string, std::string>>{
                               {"me", "two.example"}, {"me", ""}, {"me", "two.example"}}));
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, line("192.0.2.1", "one.example"),
                                                 line("192.0.2.2", "two.example"), kEnd}));
    rig.runPass();  // the address it had not collected comes next time
    EXPECT_EQ(rig.names()[1].second, "three.example");
}

TEST(HostNamePassTest, WindowGoneWithoutAWordToThePassRefusesItsLateSends) {
    auto resolver = std::make_shared<FakeResolver>();
    resolver->answer("192.0.2.1", "one.example");
    resolver->hold("192.0.2.1");
    std::weak_ptr<HostNamePass> watch;
    {
        WindowPump window;
        ConnectionList list;
        std::vector<std::string> log;
        std::vector<std::string> cells(kConnectionColumns);
        cells[colRemoteIp] = "192.0.2.1";
        list.insertRow(std::move(cells));
        auto pass = HostNamePass::start(list, [&](std::string_view text) { log.emplace_back(text); },
                                        window.queue->share(), resolver);
        ASSERT_NE(pass, nullptr);
        watch = pass;
        ASSERT_TRUE(window.until([&] { return resolver->inFlight() == 1; }));
    }  // the window, its rows and its log go; nobody stops the pass
    resolver->releaseAll();
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

// The window's logic with everything it is built from, on the test thread,
// host names on.
struct DialogRig {
    explicit DialogRig(std::shared_ptr<FakeResolver> r) : resolver(std::move(r)) {}

    WindowPump pump;
    testing::FakeHost host;
    ConnectionList connections;
    EventLog log;
    testing::ManualClock clock;
    testing::FakeConnectionTable table;
    testing::FakeProcessInfo processes;
    testing::FakeVersionInfo version;
    testing::MemoryProfileFile profileFile{"[1040315]\nshowHostname=1040315\n"};
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::shared_ptr<FakeResolver> resolver;
    MainDialog dialog{{host, connections, log, clock, table, processes, version, profile, [](std::string_view) {},
                       pump.queue.get(), resolver}};

    int linesWith(std::string_view text) const {
        int count = 0;
        for (int row = 0; row < log.rowCount(); ++row) count += log.cellText(row, 1) == text;
        return count;
    }
    // As the real window closes: the hand-off first, then the destroy handler.
    void close() {
        pump.queue->close();
        dialog.onDestroy();
    }
};

TEST(HostNamePassDialogTest, TicksDuringAPassAreDroppedAndTheRefreshKeepsSweeping) {
    auto resolver = std::make_shared<FakeResolver>();
    DialogRig rig(resolver);
    rig.table.rows = {testing::tcp(5, {10, 0, 0, 1}, 1000, {192, 0, 2, 1}, 80, 0),
                      testing::tcp(5, {10, 0, 0, 1}, 1001, {192, 0, 2, 2}, 80, 0)};
    resolver->answer("192.0.2.1", "one.example");
    resolver->hold("192.0.2.1");
    rig.dialog.initialise();
    rig.dialog.onTimer(TIMER_REFRESH);
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.pump.until([&] { return resolver->inFlight() == 1 && resolver->calls().size() == 3; }));
    for (int i = 0; i < 3; ++i) rig.dialog.onTimer(TIMER_RESOLVE);
    EXPECT_TRUE(rig.dialog.resolveRunning());
    // A connection that ends while the pass waits goes at once.
    rig.table.rows.pop_back();
    rig.dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(rig.connections.rowCount(), 1);

    resolver->releaseAll();
    ASSERT_TRUE(rig.pump.until([&] { return !rig.dialog.resolveRunning(); }));
    EXPECT_EQ(rig.linesWith(RESOLVE_START_TEXT), 1);
    EXPECT_EQ(rig.linesWith(RESOLVE_END_TEXT), 1);
    EXPECT_EQ(resolver->callsOf("192.0.2.1"), 1u);
    rig.dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(rig.connections.cellText(0, colDestination), "one.example:80");

    // The next tick starts a pass again; only the unnamed address is asked.
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.pump.until([&] { return !rig.dialog.resolveRunning(); }));
    EXPECT_EQ(rig.linesWith(RESOLVE_START_TEXT), 2);
    EXPECT_EQ(resolver->callsOf("192.0.2.1"), 1u);
    EXPECT_EQ(resolver->callsOf("10.0.0.1"), 2u);
}

TEST(HostNamePassDialogTest, NoPassWithoutAHandOffItCanHold) {
    auto resolver = std::make_shared<FakeResolver>();
    SendQueue unshared([] {});  // not owned by a shared_ptr: share() gives nothing
    DialogRig rig(resolver);
    MainDialog dialog({rig.host, rig.connections, rig.log, rig.clock, rig.table, rig.processes, rig.version,
                       rig.profile, {}, &unshared, resolver});
    dialog.initialise();
    dialog.onTimer(TIMER_RESOLVE);
    EXPECT_FALSE(dialog.resolveRunning());
    EXPECT_EQ(rig.log.rowCount(), 0);
}

// Where the pass stands when the window goes.
enum class Standing { InALookup, WithNamesToHandOver };

class HostNamePassClosingTest : public ::testing::TestWithParam<Standing> {};

TEST_P(HostNamePassClosingTest, WindowGoesAtOnceAndThePassNeverTouchesItAgain) {
    auto resolver = std::make_shared<FakeResolver>();
    const std::weak_ptr<FakeResolver> held = resolver;
    auto rig = std::make_unique<DialogRig>(resolver);
    for (std::uint16_t i = 0; i < 12; ++i) {
        rig->table.rows.push_back(testing::tcp(5, {10, 0, 0, 1}, 1000 + i, {192, 0, 2, std::uint8_t(i)}, 80, 0));
        resolver->answer("192.0.2." + std::to_string(i), "n" + std::to_string(i));
    }
    if (GetParam() == Standing::InALookup) resolver->holdEverything();
    rig->dialog.initialise();
    rig->dialog.onTimer(TIMER_REFRESH);
    rig->dialog.onTimer(TIMER_RESOLVE);
    if (GetParam() == Standing::InALookup)
        ASSERT_TRUE(rig->pump.until([&] { return resolver->inFlight() == MAX_LOOKUPS_IN_FLIGHT; }));
    else
        ASSERT_TRUE(rig->pump.until([&] { return resolver->calls().size() == 13; }));

    rig->close();
    rig.reset();  // the rows, the log and the dialog are gone
    if (GetParam() == Standing::InALookup) {
        EXPECT_EQ(resolver->inFlight(), MAX_LOOKUPS_IN_FLIGHT);
    }
    resolver->releaseAll();
    resolver.reset();
    // Every thread of the pass lets go of what it held; any touch of the
    // freed window on the way is for the sanitizers to catch.
    EXPECT_TRUE(eventually([&] { return held.expired(); }));
}

INSTANTIATE_TEST_SUITE_P(Standings, HostNamePassClosingTest,
                         ::testing::Values(Standing::InALookup, Standing::WithNamesToHandOver));

TEST(HostNamePassExitTest, ProcessExitsCleanlyWhileALookupNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto resolver = std::make_shared<FakeResolver>();
            resolver->holdEverything();
            auto rig = std::make_unique<DialogRig>(resolver);
            rig->table.rows = {testing::tcp(5, {10, 0, 0, 1}, 1000, {192, 0, 2, 1}, 80, 0)};
            rig->dialog.initialise();
            rig->dialog.onTimer(TIMER_REFRESH);
            rig->dialog.onTimer(TIMER_RESOLVE);
            if (!rig->pump.until([&] { return resolver->inFlight() > 0; })) std::_Exit(3);
            rig->close();
            rig.reset();
            // Static destructors and the sanitizers' exit checks run with
            // the lookup thread still blocked.
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrova
