#include <gtest/gtest.h>

#include <algorithm>
#include <type_traits>

#include "Fakes.h"
#include "options/ProfileStore.h"
#include "monitor/PlatformVerdict.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;

class MainDialogTest : public ::testing::Test {
protected:
    FakeHost host;
    ConnectionList connections;
    EventLog log;
    ManualClock clock;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile;
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    MainDialog dialog{{host, connections, log, clock, table, processes, version, profile, [](std::string_view) {}}};

    std::string newestLine() const { return log.rowCount() ? log.cellText(0, 1) : std::string("<none>"); }
    std::vector<std::string> captions(const std::vector<MenuEntry>& menu) const {
        std::vector<std::string> out;
        for (const MenuEntry& entry : menu) out.push_back(entry.separator ? "-" : entry.caption);
        return out;
    }
};

TEST_F(MainDialogTest, StartsWithDefaultsWhenThereIsNoProfile) {
    dialog.initialise();
    EXPECT_EQ(dialog.settings(), Settings{});
    EXPECT_TRUE(dialog.osSupported());
    EXPECT_TRUE(dialog.layeredCapable());
    EXPECT_EQ(host.timers.at(TIMER_REFRESH), 0);
    EXPECT_FALSE(host.timers.count(TIMER_RESOLVE));
    EXPECT_EQ(host.topmost, true);
    EXPECT_EQ(host.opacity, 180);
    EXPECT_EQ(host.closeRequests, 0);
    EXPECT_EQ(profileFile.attempts.size(), 0u);
}

TEST_F(MainDialogTest, FirstTickWritesTitleAndRearmsWithTheInterval) {
    profileFile.contents = "[1040315]\nnetstatInterval=250\n";
    table.rows.assign(12, {});
    for (std::uint16_t i = 0; i < 12; ++i) table.rows[i] = tcp(5, {127, 0, 0, 1}, i, {127, 0, 0, 1}, 80, 0);
    dialog.initialise();
    host.calls.clear();
    dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(host.title, "Kestrova Version 2.00 -- 接続数:12 -- 更新間隔:250ms --");
    EXPECT_EQ(host.calls, (std::vector<std::string>{"killTimer 1040415", "setTimer 1040415 250"}));
    host.calls.clear();
    dialog.onTimer(TIMER_REFRESH);
    EXPECT_TRUE(host.calls.empty());  // the second tick leaves the timer alone
    dialog.onTimer(TimerId{12345});            // an unknown timer does nothing
    EXPECT_EQ(table.calls, 2);
}

// The interval command before the first tick: the first tick still re-arms
// the timer, with the interval as it is by then.
TEST_F(MainDialogTest, IntervalChangedBeforeTheFirstTick) {
    dialog.initialise();
    dialog.runMenuCommand(CMD_CYCLE_INTERVAL);
    EXPECT_EQ(host.timers.at(TIMER_REFRESH), 500);
    EXPECT_FALSE(dialog.intervalArmed());
    EXPECT_EQ(table.calls, 0);
    host.calls.clear();
    dialog.onTimer(TIMER_REFRESH);
    EXPECT_TRUE(dialog.intervalArmed());
    EXPECT_EQ(host.calls, (std::vector<std::string>{"killTimer 1040415", "setTimer 1040415 500"}));
    EXPECT_EQ(host.title, "Kestrova Version 2.00 -- 接続数:0 -- 更新間隔:500ms --");
}

// A first tick that finds 150 connections logs two lines for each (the
// program found, the row added); the log keeps the newest 100, in pairs.
TEST_F(MainDialogTest, FirstTickOf150NewRowsKeepsTheNewest100LogLines) {
    processes.paths[4242] = "/usr/sbin/server";
    for (std::uint16_t i = 0; i < 150; ++i) table.rows.push_back(tcp(5, {10, 0, 0, 1}, 80, {10, 0, 1, 1}, 1000 + i, 4242));
    dialog.initialise();
    dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(connections.rowCount(), 150);
    EXPECT_EQ(host.title, "Kestrova Version 2.00 -- 接続数:150 -- 更新間隔:100ms --");
    ASSERT_EQ(log.rowCount(), 100);
    for (int pair = 0; pair < 50; ++pair) {
        const int port = 1000 + 149 - pair;  // the last connection listed is the newest
        SCOPED_TRACE(port);
        EXPECT_EQ(log.cellText(2 * pair, 1), "(/usr/sbin/server)の(10.0.1.1:" + std::to_string(port) +
                                                 ")との接続状態を(ESTABLISHED)で新規追加しました。");
        EXPECT_EQ(log.cellText(2 * pair + 1, 1), "プロセスID:(4242)→プログラム名:(/usr/sbin/server)");
        EXPECT_EQ(log.cellText(2 * pair, 0), "2004/03/07 09:05:02");
    }
}

TEST_F(MainDialogTest, RefusedSystemShowsNoticeClosesAndSavesNothing) {
    version.version = SystemVersion{"FreeBSD", "14.0-RELEASE", "amd64"};
    dialog.initialise();
    EXPECT_FALSE(dialog.osSupported());
    EXPECT_FALSE(dialog.layeredCapable());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].find("FreeBSD"), std::string::npos);
    EXPECT_TRUE(host.messages[0].ends_with(UNSUPPORTED_NOTICE));
    // The notice comes first, then the close request; initialisation goes on.
    auto at = [&](const std::string& call) {
        return std::find(host.calls.begin(), host.calls.end(), call) - host.calls.begin();
    };
    EXPECT_LT(at("showInformation"), at("postClose"));
    EXPECT_LT(at("postClose"), at("setTimer 1040415 0"));
    EXPECT_FALSE(host.opacity.has_value());
    EXPECT_EQ(profileFile.attempts.size(), 0u);
}

TEST_F(MainDialogTest, ACheckThatCouldNotBeMadeSaysWhatFailedNotThatTheSystemIsUnsupported) {
    version.interfaces = false;
    version.checkFailure = "/proc/self/fd: Too many open files";
    dialog.initialise();
    EXPECT_FALSE(dialog.osSupported());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "Linux 6.1.0-18-amd64 x86_64" +
                                    formatText(UiText::CheckFailedNotice, {"/proc/self/fd: Too many open files"}));
    EXPECT_EQ(host.messages[0].find(UNSUPPORTED_NOTICE), std::string::npos);
}

// Timer ids and command codes share a number range; neither passes for the
// other, nor for a plain number.
static_assert(!std::is_convertible_v<TimerId, CommandCode> && !std::is_convertible_v<CommandCode, TimerId>);
static_assert(!std::is_invocable_v<decltype(&MainDialog::onSysCommand), MainDialog&, TimerId>);
static_assert(!std::is_invocable_v<decltype(&MainDialog::onTimer), MainDialog&, CommandCode>);
static_assert(!std::is_invocable_v<decltype(&MainDialog::onSysCommand), MainDialog&, std::uint32_t>);
static_assert(!std::is_invocable_v<decltype(&WindowHost::setTimer), WindowHost&, CommandCode, std::int32_t>);

TEST_F(MainDialogTest, SystemCommandRouting) {
    dialog.initialise();
    struct Case {
        CommandCode code;
        int aboutBoxes;
    } cases[] = {{CommandCode{0x10}, 1}, {CommandCode{0x1F}, 1}, {CommandCode{0x20}, 0}, {CommandCode{0}, 0},
                 {CommandCode{0xF060}, 0}, {CommandCode{1040416}, 0}};
    for (const Case& c : cases) {
        host.aboutBoxes = 0;
        const int lines = log.rowCount();
        dialog.onSysCommand(c.code);
        EXPECT_EQ(host.aboutBoxes, c.aboutBoxes) << static_cast<std::uint32_t>(c.code);
        EXPECT_EQ(log.rowCount(), lines) << static_cast<std::uint32_t>(c.code);
    }
}

TEST_F(MainDialogTest, LayoutFollowsTheClientArea) {
    struct Case {
        int cx, cy;
        std::array<int, 4> list, log;
    } cases[] = {
        {400, 300, {10, 15, 390, 216}, {10, 241, 390, 50}},
        {100, 100, {10, 15, 97, 72}, {10, 97, 97, -6}},
        {0, 0, {10, 15, 0, 0}, {10, 25, 0, -34}},
        {1, 1, {10, 15, 0, 0}, {10, 25, 0, -33}},
    };
    for (const Case& c : cases) {
        dialog.onSize(c.cx, c.cy);
        EXPECT_EQ(host.panes[Pane::ConnectionList], c.list) << c.cx << "x" << c.cy;
        EXPECT_EQ(host.panes[Pane::EventLog], c.log) << c.cx << "x" << c.cy;
    }
    // The integer forms agree with the floating-point formulas on every size.
    for (int cx = 0; cx < 2000; cx += 7)
        for (int cy = 0; cy < 2000; cy += 3) {
            const PaneLayout layout = layoutPanes(cx, cy);
            ASSERT_EQ(layout.connections.width, 39 * cx / 40);
            ASSERT_EQ(layout.connections.height, 18 * cy / 25);
            ASSERT_EQ(layout.log.y, 25 + 18 * cy / 25);
            ASSERT_EQ(layout.log.height, (28 * cy - 3400) / 100);
        }
}

TEST_F(MainDialogTest, MenuEntriesFollowTheOptions) {
    Settings settings;
    const auto layered = buildCommandMenu(settings, true);
    EXPECT_EQ(captions(layered), (std::vector<std::string>{"always on Top...", "show HostName...", "-",
                                                            "透明じゃなくする...", "透明にする...", "-",
                                                            "check Packet...", "-", "change Active Mark...",
                                                            "change netstat Interval...", "-", "exit Kestrova..."}));
    EXPECT_TRUE(layered[0].checked);
    EXPECT_FALSE(layered[1].checked);
    EXPECT_EQ(captions(buildCommandMenu(settings, false)),
              (std::vector<std::string>{"always on Top...", "show HostName...", "-", "check Packet...", "-",
                                        "change Active Mark...", "change netstat Interval...", "-",
                                        "exit Kestrova..."}));
    struct Case {
        std::int32_t alpha;
        bool lessEnabled, moreEnabled;
    } cases[] = {{10, true, false}, {250, false, true}, {255, true, true}, {9, true, true}, {180, true, true}};
    for (const Case& c : cases) {
        settings.alpha = c.alpha;
        const auto menu = buildCommandMenu(settings, true);
        EXPECT_EQ(menu[3].enabled, c.lessEnabled) << c.alpha;
        EXPECT_EQ(menu[4].enabled, c.moreEnabled) << c.alpha;
    }
}

TEST_F(MainDialogTest, ContextMenuPostsTheChoiceEvenWhenDismissed) {
    dialog.initialise();
    host.menuChoice = CommandCode{};
    dialog.onContextMenu({-1, -1});
    host.menuChoice = CMD_CYCLE_MARK;
    dialog.onContextMenu({30, 40});
    EXPECT_EQ(host.postedCommands, (std::vector<CommandCode>{CommandCode{}, CMD_CYCLE_MARK}));
    EXPECT_EQ(host.lastMenuPoint.x, 30);
    EXPECT_EQ(dialog.settings().activeMark, "▼");  // nothing runs until the posted command arrives
}

TEST_F(MainDialogTest, TogglesLogTheirLinesAndApplyThemselves) {
    dialog.initialise();
    struct Step {
        CommandCode code;
        std::string line;
        std::string lastCall;
    } steps[] = {
        {CMD_SHOW_HOSTNAME, "ホスト名で表示します。", "setTimer 1040416 10000"},
        {CMD_SHOW_HOSTNAME, "IPアドレスで表示します。", "killTimer 1040416"},
        {CMD_ALWAYS_ON_TOP, "常に最上位に表示を解除します。", "applyTopmost 0"},
        {CMD_ALWAYS_ON_TOP, "常に最上位に表示します。", "applyTopmost 1"},
        {CMD_LESS_TRANSPARENT, "透過度を(190)に設定しました。", "applyOpacity 190"},
        {CMD_MORE_TRANSPARENT, "透過度を(180)に設定しました。", "applyOpacity 180"},
        {CMD_CHECK_PACKET, "パケットのチェックを開始します。", ""},
        {CMD_CHECK_PACKET, "パケットのチェックを終了します。", ""},
        {CMD_CYCLE_INTERVAL, "表示更新間隔を(500)msに設定しました。", "setTimer 1040415 500"},
    };
    for (const Step& step : steps) {
        host.calls.clear();
        dialog.onSysCommand(step.code);
        EXPECT_EQ(newestLine(), step.line) << static_cast<std::uint32_t>(step.code);
        if (!step.lastCall.empty()) {
            ASSERT_FALSE(host.calls.empty()) << static_cast<std::uint32_t>(step.code);
            EXPECT_EQ(host.calls.back(), step.lastCall) << static_cast<std::uint32_t>(step.code);
        }
    }
    EXPECT_FALSE(host.timers.count(TIMER_RESOLVE));
    EXPECT_EQ(host.title, "Kestrova Version 2.00 -- 接続数:0 -- 更新間隔:500ms --");
    EXPECT_EQ(profileFile.attempts.size(), 0u);
}

TEST_F(MainDialogTest, AlphaStepsReachTheGreyedBounds) {
    dialog.initialise();
    for (int i = 0; i < 17; ++i) dialog.onSysCommand(CMD_MORE_TRANSPARENT);
    EXPECT_EQ(dialog.settings().alpha, 10);
    EXPECT_FALSE(buildCommandMenu(dialog.settings(), true)[4].enabled);
    for (int i = 0; i < 24; ++i) dialog.onSysCommand(CMD_LESS_TRANSPARENT);
    EXPECT_EQ(dialog.settings().alpha, 250);
    dialog.onSysCommand(CMD_LESS_TRANSPARENT);
    dialog.onSysCommand(CMD_LESS_TRANSPARENT);
    EXPECT_EQ(dialog.settings().alpha, 270);
    EXPECT_EQ(host.opacity, 270 & 0xFF);  // only the low 8 bits reach the window
}

TEST_F(MainDialogTest, TransparencyNeedsATranslucentWindow) {
    host.opacitySupported = false;
    dialog.initialise();
    EXPECT_FALSE(dialog.layeredCapable());
    dialog.onSysCommand(CMD_MORE_TRANSPARENT);
    EXPECT_EQ(dialog.settings().alpha, 170);
    EXPECT_FALSE(host.opacity.has_value());
}

TEST(Cycles, MarkAndInterval) {
    struct MarkCase {
        const char* from;
        const char* to;
    } marks[] = {{"▼", "(>з<)"}, {"(>з<)", "→"}, {"→", "これ"}, {"これ", "(-д-)"}, {"(-д-)", "▼"},
                 {"", "▼"},      {"xyz", "▼"}};
    for (const MarkCase& c : marks) EXPECT_EQ(nextActiveMark(c.from), c.to) << c.from;
    struct IntervalCase {
        std::int32_t from, to;
    } intervals[] = {{100, 500}, {500, 1000}, {1000, 5000}, {5000, 10000}, {10000, 100}, {250, 100}, {-1, 100}};
    for (const IntervalCase& c : intervals) EXPECT_EQ(nextInterval(c.from), c.to) << c.from;
}

TEST_F(MainDialogTest, ExitSavesAllSixKeysThenCloses) {
    profileFile.contents = "; mine\n[other]\nx=1\n";
    dialog.initialise();
    dialog.onSysCommand(CMD_SHOW_HOSTNAME);
    dialog.onSysCommand(CMD_CYCLE_MARK);
    host.calls.clear();
    dialog.onSysCommand(CMD_EXIT);
    ASSERT_TRUE(profileFile.contents.has_value());
    const std::string& file = *profileFile.contents;
    EXPECT_TRUE(file.starts_with("; mine\n[other]\nx=1\n"));
    for (const char* line : {"alpha=180", "alwaysOnTop=1040315", "showHostname=1040315", "checkPacket=36",
                             "activeMark=(>з<)", "netstatInterval=100"})
        EXPECT_NE(file.find(line), std::string::npos) << line;
    EXPECT_EQ(host.calls.back(), "postClose");
}

// This run's options from the command line stand in for the profile's, as
// the menu would set them; only the exit writes the profile, and it keeps
// them then.
TEST_F(MainDialogTest, OneRunOptionsStandInForTheProfileUntilTheExitSavesThem) {
    profileFile.contents = "[1040315]\nnetstatInterval=250\nalpha=99\n";
    MainDialog withOptions{{host, connections, log, clock, table, processes, version, profile,
                            [](std::string_view) {}, nullptr, nullptr, nullptr, nullptr, LOOKUP_DEADLINE, nullptr,
                            SettingsOverrides{1000, true, true}}};
    withOptions.initialise();
    EXPECT_EQ(host.timers.at(TIMER_RESOLVE), RESOLVE_PERIOD_MS);
    withOptions.onTimer(TIMER_REFRESH);
    EXPECT_EQ(host.timers.at(TIMER_REFRESH), 1000);
    EXPECT_EQ(host.title, "Kestrova Version 2.00 -- 接続数:0 -- 更新間隔:1000ms --");
    // The menu shows them on, as if chosen there.
    const std::vector<MenuEntry> menu = buildCommandMenu(withOptions.settings(), true);
    EXPECT_EQ(captions(menu)[1], "show HostName...");
    EXPECT_TRUE(menu[1].checked);
    EXPECT_EQ(captions(menu)[6], "check Packet...");
    EXPECT_TRUE(menu[6].checked);
    EXPECT_EQ(withOptions.settings().alpha, 99);
    EXPECT_TRUE(profileFile.attempts.empty()) << "written before the exit";

    withOptions.onSysCommand(CMD_EXIT);
    ASSERT_TRUE(profileFile.contents.has_value());
    for (const char* line : {"netstatInterval=1000", "showHostname=1040315", "checkPacket=1040315", "alpha=99"})
        EXPECT_NE(profileFile.contents->find(line), std::string::npos) << line;
}

TEST_F(MainDialogTest, ExitClosesEvenWhenTheSaveFails) {
    dialog.initialise();
    profileFile.failReplace = true;
    dialog.onSysCommand(CMD_EXIT);
    EXPECT_EQ(host.closeRequests, 1);
    EXPECT_FALSE(profileFile.contents.has_value());
}

TEST_F(MainDialogTest, DestroyKillsTimersAndIgnoresLateEvents) {
    profileFile.contents = "[1040315]\nshowHostname=1040315\n";
    dialog.initialise();
    EXPECT_EQ(host.timers.at(TIMER_RESOLVE), 10000);
    dialog.onDestroy();
    EXPECT_TRUE(host.timers.empty());
    dialog.onTimer(TIMER_REFRESH);
    EXPECT_EQ(table.calls, 0);
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

using namespace kestrova::testing;

struct RecordingListener : LogListener {
    std::vector<std::string> lines;
    void logged(const LocalTime& time, const LogEvent& event) override {
        std::string line = formatRfc3339(time) + " " + std::string(logKindWord(event.kind));
        if (event.connection) line += " bytes=" + std::string(event.connection->bytes);
        lines.push_back(line + " " + std::string(event.text));
    }
};

// The listener hears every line the pane gets, at the pane's time; a removed
// connection's byte total only while packets are being counted.
TEST(MainDialogListener, HearsEveryLineWithBytesOnlyWhileCounting) {
    for (const bool counting : {false, true}) {
        FakeHost host;
        ConnectionList connections;
        EventLog log;
        ManualClock clock;
        FakeConnectionTable table;
        FakeProcessInfo processes;
        FakeVersionInfo version;
        MemoryProfileFile profileFile(counting ? "[1040315]\ncheckPacket=1040315\n" : "");
        ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
        RecordingListener listener;
        MainDialogParts parts{host, connections, log, clock, table, processes, version, profile, {}};
        parts.logListener = &listener;
        MainDialog dialog(parts);
        dialog.initialise();
        table.rows = {tcp(5, {127, 0, 0, 1}, 5000, {127, 0, 0, 1}, 80, 0)};
        dialog.onTimer(TIMER_REFRESH);
        table.rows.clear();
        dialog.onTimer(TIMER_REFRESH);
        dialog.runMenuCommand(CMD_ALWAYS_ON_TOP);
        const std::string bytes = counting ? "0" : "";
        EXPECT_EQ(listener.lines,
                  (std::vector<std::string>{
                      "2004-03-07T09:05:02.000+00:00 added bytes=" + bytes + " " + log.cellText(2, 1),
                      "2004-03-07T09:05:02.000+00:00 removed bytes=" + bytes + " " + log.cellText(1, 1),
                      "2004-03-07T09:05:02.000+00:00 option 常に最上位に表示を解除します。"}))
            << "counting " << counting;
    }
}

}  // namespace
}  // namespace kestrova
