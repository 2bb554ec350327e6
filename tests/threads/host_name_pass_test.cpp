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
#include <thread>
#include <vector>

#include "../support/Patience.h"
#include "../support/WindowPump.h"
#include "../unit/FakeResolver.h"
#include "../unit/Fakes.h"
#include "monitor/HostNamePass.h"
#include "monitor/HostNameText.h"
#include "monitor/SendQueue.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::FakeResolver;
using testing::kPatience;
using Names = std::vector<std::pair<std::string, std::string>>;

using testing::WindowPump;

bool eventually(const std::function<bool()>& done) {
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience; !done(); std::this_thread::sleep_for(1ms))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

struct Row {
    std::string localIp, remoteIp, localHost, remoteHost;
};

void addRow(ConnectionList& list, const Row& row, int port = 1) {
    std::vector<std::string> cells(kConnectionColumns);
    cells[colLocalIp] = row.localIp;
    cells[colLocalHost] = row.localHost;
    cells[colLocalPort] = std::to_string(port);
    cells[colRemoteIp] = row.remoteIp;
    cells[colRemoteHost] = row.remoteHost;
    list.insertRow(std::move(cells));
}

// Passes over rows of the test's own, with the test thread as the window.
struct PassRig {
    WindowPump window;
    ConnectionList list;
    std::vector<std::string> log;  // in the order written
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    std::shared_ptr<LookupsInFlight> lookups = std::make_shared<LookupsInFlight>();
    std::chrono::milliseconds deadline = LOOKUP_DEADLINE;
    std::shared_ptr<HostNamePass> pass;

    ~PassRig() {
        if (pass) pass->stop();
        resolver->releaseAll();
    }
    void start() {
        pass = HostNamePass::start(list, [this](std::string_view text) { log.emplace_back(text); },
                                   window.queue->share(), resolver, lookups, deadline);
        ASSERT_NE(pass, nullptr);
    }
    bool finish() { return window.until([&] { return !pass->running(); }); }
    void runPass() {
        start();
        ASSERT_TRUE(finish());
    }
    Names names() const {  // oldest row first
        Names out;
        for (int row = list.rowCount() - 1; row >= 0; --row)
            out.emplace_back(cellText(list, row, colLocalHost), cellText(list, row, colRemoteHost));
        return out;
    }
};

const std::string kStart(RESOLVE_START_TEXT), kEnd(RESOLVE_END_TEXT);
std::string line(const std::string& address, const std::string& name) { return resolvedLine(address, name); }

struct PassCase {
    const char* what;
    std::vector<Row> rows;  // oldest first
    std::map<std::string, std::optional<std::string>> answers;
    std::vector<std::string> log;
    std::map<std::string, std::size_t> lookups;
    Names names;
};

class HostNamePassCaseTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(HostNamePassCaseTest, LogsLooksUpAndFills) {
    const PassCase& c = GetParam();
    PassRig rig;
    for (std::size_t i = 0; i < c.rows.size(); ++i) addRow(rig.list, c.rows[i], static_cast<int>(i));
    for (const auto& [address, name] : c.answers) rig.resolver->answer(address, name);
    rig.runPass();
    EXPECT_EQ(rig.log, c.log);
    std::size_t total = 0;
    for (const auto& [address, count] : c.lookups) {
        EXPECT_EQ(rig.resolver->callsOf(address), count) << address;
        total += count;
    }
    EXPECT_EQ(rig.resolver->calls(), total);
    EXPECT_EQ(rig.names(), c.names);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, HostNamePassCaseTest,
    ::testing::Values(
        PassCase{"EmptyListLogsOnlyStartAndEnd", {}, {}, {kStart, kEnd}, {}, {}},
        PassCase{"ThreeRowsToOneAddressCostOneLookup",
                 {{"10.0.0.1", "192.0.2.7", "me", ""}, {"10.0.0.1", "192.0.2.7", "me", ""},
                  {"10.0.0.1", "192.0.2.70", "me", ""}, {"10.0.0.1", "192.0.2.7", "me", ""}},
                 {{"192.0.2.7", "seven.example"}},
                 {kStart, line("192.0.2.7", "seven.example"), kEnd},
                 {{"192.0.2.7", 1}, {"192.0.2.70", 1}},
                 {{"me", "seven.example"}, {"me", "seven.example"}, {"me", ""}, {"me", "seven.example"}}},
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
                 {{"10.0.0.1", "192.0.2.66", "me", ""}},
                 {{"192.0.2.66", std::string("x\ny\xff")}},
                 {kStart, line("192.0.2.66", "x\\x0ay\\xff"), kEnd},
                 {{"192.0.2.66", 1}},
                 {{"me", "x\\x0ay\\xff"}}}),
    [](const ::testing::TestParamInfo<PassCase>& info) { return std::string(info.param.what); });

TEST(HostNamePassTest, AddressOnMoreRowsThanOneRequestFillsIsLoggedOnceAndFilledEverywhere) {
    PassRig rig;
    const int rows = static_cast<int>(FILLS_PER_REQUEST) * 2 + 500;
    for (int i = 0; i < rows; ++i) addRow(rig.list, {"10.0.0.1", "", "", ""}, i);
    rig.resolver->answer("10.0.0.1", "me.example");
    rig.runPass();
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, line("10.0.0.1", "me.example"), kEnd}));
    const Names names = rig.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), Names::value_type{"me.example", ""}), rows);
}

TEST(HostNamePassTest, EightLookupsOverlapAndTheLogKeepsTheWalkOrder) {
    PassRig rig;
    std::vector<std::string> expected = {kStart};
    for (int i = 1; i <= 20; ++i) {
        const std::string address = "192.0.2." + std::to_string(i);
        addRow(rig.list, {"", address, "", ""}, i);
        rig.resolver->answer(address, "h" + std::to_string(i));
        rig.resolver->hold(address);
        expected.push_back(line(address, "h" + std::to_string(i)));
    }
    expected.push_back(kEnd);
    rig.start();
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->inFlight() == MAX_LOOKUPS_IN_FLIGHT; }));
    // Every lookup but the first address's (the oldest row's) answers.
    for (int i = 2; i <= 20; ++i) rig.resolver->release("192.0.2." + std::to_string(i));
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->calls() == 20 && rig.resolver->inFlight() == 1; }));
    EXPECT_EQ(rig.log, std::vector<std::string>{kStart});
    rig.resolver->releaseAll();
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(rig.log, expected);
    EXPECT_EQ(rig.resolver->maxInFlight(), MAX_LOOKUPS_IN_FLIGHT);
}

TEST(HostNamePassTest, RowsChangedDuringAPassNeverGetAnotherAddressesName) {
    PassRig rig;
    addRow(rig.list, {"10.0.0.1", "192.0.2.1", "me", ""});
    addRow(rig.list, {"10.0.0.1", "192.0.2.2", "me", ""});
    for (int i = 1; i <= 3; ++i) rig.resolver->answer("192.0.2." + std::to_string(i), "n" + std::to_string(i));
    rig.resolver->holdEverything();
    rig.start();
    ASSERT_TRUE(rig.window.until([&] { return rig.resolver->inFlight() == 2; }));
    // A refresh moves every row: new rows on top, one to an address the pass
    // is looking up, one to an address it never collected; the oldest row goes.
    addRow(rig.list, {"10.0.0.1", "192.0.2.3", "me", ""}, 7);
    addRow(rig.list, {"10.0.0.1", "192.0.2.2", "me", ""}, 8);
    rig.list.deleteRow(rig.list.rowCount() - 1);
    rig.resolver->releaseAll();
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(rig.names(), (Names{{"me", "n2"}, {"me", ""}, {"me", "n2"}}));
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, line("192.0.2.1", "n1"), line("192.0.2.2", "n2"), kEnd}));
    rig.runPass();  // the address it had not collected comes next time
    EXPECT_EQ(rig.names()[1].second, "n3");
}

// A lookup that never returns ends its pass at the deadline; later passes
// leave its address alone and name the others, and the log reads as whole
// passes, one after another.
TEST(HostNamePassTest, ALookupThatNeverReturnsEndsItsPassAndLaterPassesGoOn) {
    PassRig rig;
    rig.deadline = 200ms;
    addRow(rig.list, {"", "192.0.2.1", "", ""});  // the oldest row: looked up first
    addRow(rig.list, {"", "192.0.2.2", "", ""}, 2);
    rig.resolver->answer("192.0.2.1", "stuck.example");
    rig.resolver->answer("192.0.2.2", "two.example");
    rig.resolver->hold("192.0.2.1");
    rig.runPass();  // the answer for .2 waits behind .1, and goes with the pass
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, kEnd}));

    rig.runPass();
    addRow(rig.list, {"", "192.0.2.3", "", ""}, 3);
    rig.resolver->answer("192.0.2.3", "three.example");
    rig.runPass();
    EXPECT_EQ(rig.log, (std::vector<std::string>{kStart, kEnd, kStart, line("192.0.2.2", "two.example"), kEnd, kStart,
                                                 line("192.0.2.3", "three.example"), kEnd}));
    EXPECT_EQ(rig.resolver->callsOf("192.0.2.1"), 1u) << "asked again while its lookup hangs";
    EXPECT_EQ(rig.resolver->inFlight(), 1u);

    // Once it returns, its answer is not used, but the next pass asks again.
    rig.resolver->release("192.0.2.1");
    ASSERT_TRUE(eventually([&] { return rig.lookups->threads() == 0; }));
    rig.runPass();
    EXPECT_EQ(rig.names()[0].second, "stuck.example");
    EXPECT_EQ(rig.resolver->callsOf("192.0.2.1"), 2u);
}

// Passes that each leave lookups behind never leave more than
// MAX_LOOKUP_THREADS threads; with all of them stuck a tick starts no pass.
TEST(HostNamePassTest, ThreadsLeftBehindStayBounded) {
    PassRig rig;
    rig.deadline = 50ms;
    for (int i = 1; i <= 40; ++i) addRow(rig.list, {"", "192.0.2." + std::to_string(i), "", ""}, i);
    rig.resolver->holdEverything();
    // A pass leaves one to MAX_LOOKUPS_IN_FLIGHT lookups behind: as many as
    // it started before it gave up, which on a busy machine may be fewer.
    int passes = 0;
    while (passes <= static_cast<int>(MAX_LOOKUP_THREADS)) {
        // Threads that gave up before their lookup began let go of their
        // place a moment after their pass.
        ASSERT_TRUE(eventually([&] { return rig.lookups->threads() == rig.resolver->inFlight(); }));
        rig.pass = HostNamePass::start(rig.list, [&rig](std::string_view text) { rig.log.emplace_back(text); },
                                       rig.window.queue->share(), rig.resolver, rig.lookups, rig.deadline);
        if (!rig.pass) break;
        ++passes;
        ASSERT_TRUE(rig.finish());
        EXPECT_LE(rig.resolver->inFlight(), MAX_LOOKUP_THREADS);
    }
    EXPECT_GE(passes, static_cast<int>(MAX_LOOKUP_THREADS / MAX_LOOKUPS_IN_FLIGHT));
    EXPECT_LE(passes, static_cast<int>(MAX_LOOKUP_THREADS));
    EXPECT_EQ(rig.resolver->inFlight(), MAX_LOOKUP_THREADS);
    EXPECT_EQ(rig.resolver->calls(), MAX_LOOKUP_THREADS) << "an address asked twice while in flight";
    rig.resolver->releaseAll();
    EXPECT_TRUE(eventually([&] { return rig.lookups->threads() == 0 && rig.resolver->inFlight() == 0; }));
}

// The pass's last act tells whoever waits for it, once, on the window thread
// and after its end line; a pass stopped before then never does.
TEST(HostNamePassTest, FinishedComesOnceAfterTheEndLineAndNeverAfterStop) {
    for (const bool stopped : {false, true}) {
        PassRig rig;
        addRow(rig.list, {"10.0.0.1", "10.0.0.2", "", ""});
        rig.resolver->answer("10.0.0.2", "peer.example");
        int finished = 0;
        std::vector<std::string> logThen;
        bool onWindowThread = false;
        const std::thread::id window = std::this_thread::get_id();
        rig.pass = HostNamePass::start(
            rig.list, [&rig](std::string_view text) { rig.log.emplace_back(text); }, rig.window.queue->share(),
            rig.resolver, rig.lookups, rig.deadline, [&] {
                ++finished;
                logThen = rig.log;
                onWindowThread = std::this_thread::get_id() == window;
            });
        ASSERT_NE(rig.pass, nullptr);
        // Its first line waits for the window thread, which has not run yet.
        if (stopped) rig.pass->stop();
        ASSERT_TRUE(rig.window.until([&] { return !rig.pass->running() && (stopped || finished > 0); })) << stopped;
        // Whatever is still queued runs; nothing more may come of it.
        rig.window.until([] { return false; }, 50ms);
        if (stopped) {
            EXPECT_EQ(finished, 0);
            EXPECT_TRUE(rig.log.empty());
            continue;
        }
        EXPECT_EQ(finished, 1);
        EXPECT_TRUE(onWindowThread);
        EXPECT_EQ(logThen, (std::vector<std::string>{kStart, line("10.0.0.2", "peer.example"), kEnd}));
        EXPECT_EQ(rig.log, logThen);
    }
}

TEST(HostNamePassTest, WindowGoneWithoutAWordToThePassRefusesItsLateSends) {
    auto resolver = std::make_shared<FakeResolver>();
    resolver->answer("192.0.2.1", "one.example");
    resolver->holdEverything();
    std::weak_ptr<HostNamePass> watch;
    {
        WindowPump window;
        ConnectionList list;
        std::vector<std::string> log;
        addRow(list, {"", "192.0.2.1", "", ""});
        watch = HostNamePass::start(list, [&](std::string_view text) { log.emplace_back(text); },
                                    window.queue->share(), resolver);
        ASSERT_TRUE(window.until([&] { return resolver->inFlight() == 1; }));
    }  // the window, its rows and its log go; nobody stops the pass
    resolver->releaseAll();
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

// The window's logic with everything it is built from, host names on.
struct DialogRig {
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
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
    MainDialog dialog;

    explicit DialogRig(int connectionCount, std::chrono::milliseconds lookupDeadline = LOOKUP_DEADLINE)
        : dialog({host, connections, log, clock, table, processes, version, profile, [](std::string_view) {},
                  pump.queue.get(), resolver, nullptr, nullptr, lookupDeadline}) {
        for (int i = 0; i < connectionCount; ++i) {
            table.rows.push_back(testing::tcp(5, {10, 0, 0, 1}, static_cast<std::uint16_t>(1000 + i),
                                              {192, 0, 2, static_cast<std::uint8_t>(i + 1)}, 80, 0));
            resolver->answer("192.0.2." + std::to_string(i + 1), "n" + std::to_string(i + 1));
        }
        dialog.initialise();
        dialog.onTimer(TIMER_REFRESH);
    }
    int linesWith(std::string_view text) const {
        int count = 0;
        for (int row = 0; row < log.rowCount(); ++row) count += log.cellText(row, 1) == text;
        return count;
    }
    bool passOver() { return pump.until([&] { return !dialog.resolveRunning(); }); }
    // As the real window closes: the hand-off first, then the destroy handler.
    void close() {
        pump.queue->close();
        dialog.onDestroy();
    }
};

TEST(HostNamePassDialogTest, TicksDuringAPassAreDroppedAndTheRefreshKeepsSweeping) {
    DialogRig rig(2);
    rig.resolver->hold("192.0.2.1");
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.pump.until([&] { return rig.resolver->calls() == 3 && rig.resolver->inFlight() == 1; }));
    for (int i = 0; i < 3; ++i) rig.dialog.onTimer(TIMER_RESOLVE);
    // A connection that ends while the pass waits goes at once.
    rig.table.rows.pop_back();
    rig.dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(rig.connections.rowCount(), 1);

    rig.resolver->releaseAll();
    ASSERT_TRUE(rig.passOver());
    EXPECT_EQ(rig.linesWith(RESOLVE_START_TEXT), 1);
    EXPECT_EQ(rig.linesWith(RESOLVE_END_TEXT), 1);
    rig.dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(cellText(rig.connections, 0, colDestination), "n1:80");

    // The next tick starts a pass again, which asks only the failed address.
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.passOver());
    EXPECT_EQ(rig.linesWith(RESOLVE_START_TEXT), 2);
    EXPECT_EQ(rig.resolver->callsOf("192.0.2.1"), 1u);
    EXPECT_EQ(rig.resolver->callsOf("10.0.0.1"), 2u);
}

TEST(HostNamePassDialogTest, AStuckLookupEndsItsPassAndTheNextTickStartsAnother) {
    DialogRig rig(2, 100ms);
    rig.resolver->hold("192.0.2.1");
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.passOver());
    rig.dialog.onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(rig.passOver());
    EXPECT_EQ(rig.linesWith(RESOLVE_START_TEXT), 2);
    EXPECT_EQ(rig.linesWith(RESOLVE_END_TEXT), 2);
    EXPECT_EQ(rig.linesWith(resolvedLine("192.0.2.2", "n2")), 1);
    EXPECT_EQ(rig.resolver->callsOf("192.0.2.1"), 1u);
}

// Where the pass stands when the window goes.
enum class Standing { InALookup, WithNamesToHandOver };

class HostNamePassClosingTest : public ::testing::TestWithParam<Standing> {};

TEST_P(HostNamePassClosingTest, WindowGoesAtOnceAndThePassNeverTouchesItAgain) {
    auto rig = std::make_unique<DialogRig>(12);
    std::shared_ptr<FakeResolver> resolver = rig->resolver;
    const std::weak_ptr<FakeResolver> held = resolver;
    if (GetParam() == Standing::InALookup) resolver->holdEverything();
    rig->dialog.onTimer(TIMER_RESOLVE);
    const bool stuck = GetParam() == Standing::InALookup;
    ASSERT_TRUE(rig->pump.until([&] {
        return resolver->calls() >= MAX_LOOKUPS_IN_FLIGHT &&
               resolver->inFlight() == (stuck ? MAX_LOOKUPS_IN_FLIGHT : 0);
    }));

    rig->close();
    rig.reset();  // the rows, the log and the dialog are gone
    if (stuck) {
        EXPECT_EQ(resolver->inFlight(), MAX_LOOKUPS_IN_FLIGHT);  // nothing waited for the lookups
    }
    resolver->releaseAll();
    resolver.reset();
    // Every thread of the pass lets go of what it held; a touch of the freed
    // window on the way is for the sanitizers to catch.
    EXPECT_TRUE(eventually([&] { return held.expired(); }));
}

INSTANTIATE_TEST_SUITE_P(Standings, HostNamePassClosingTest,
                         ::testing::Values(Standing::InALookup, Standing::WithNamesToHandOver));

TEST(HostNamePassExitTest, ProcessExitsCleanlyWhileALookupNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto rig = std::make_unique<DialogRig>(1);
            rig->resolver->holdEverything();
            rig->dialog.onTimer(TIMER_RESOLVE);
            if (!rig->pump.until([&] { return rig->resolver->inFlight() > 0; })) std::_Exit(3);
            rig->close();
            rig.reset();
            // Static destructors and the sanitizers' exit checks run with the
            // lookup thread still blocked.
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrova
