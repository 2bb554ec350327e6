// The windowless host of --log on the Qt event loop, driving the real
// MainDialog over fakes of the machine.
#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../unit/Fakes.h"
#include "SpinUntil.h"
#include "options/ProfileStore.h"
#include "qt/LogHost.h"
#include "ui/Commands.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using namespace kestrova::testing;


class LogHostTest : public ::testing::Test {
protected:
    std::vector<std::string> written;
    bool refuseWrites = false;
    ConnectionList connections;
    EventLog log;
    ManualClock clock;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile{"[1040315]\nnetstatInterval=20\n"};
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    LogHost host{[this](std::string_view line) {
        if (refuseWrites) return false;
        written.emplace_back(line);
        return true;
    }};
    MainDialog dialog{{host, connections, log, clock, table, processes, version, profile, [](std::string_view) {},
                       nullptr, nullptr, nullptr, nullptr, LOOKUP_DEADLINE, host.logListener()}};
    int finished = 0;

    void SetUp() override {
        host.attach(&dialog);
        QObject::connect(&host, &LogHost::finished, [this] { ++finished; });
        table.rows = {tcp(5, {127, 0, 0, 1}, 5000, {127, 0, 0, 1}, 80, 0)};
    }
    bool wroteLineWith(const std::string& text) const {
        for (const std::string& line : written)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(LogHostTest, RunsTheRefreshOnTheEventLoopAndStreamsTheLog) {
    host.start();
    ASSERT_TRUE(spinUntil([&] { return wroteLineWith("(127.0.0.1:80)との接続状態を(ESTABLISHED)で新規追加しました。"); }));
    EXPECT_EQ(written.front().substr(0, 20), "2004/03/07 09:05:02\t");
    EXPECT_EQ(host.timerPeriod(TIMER_REFRESH), 20);  // the profile's interval, after the first tick
    EXPECT_EQ(host.title(), windowTitle(1, 20));

    table.rows.clear();
    ASSERT_TRUE(spinUntil([&] { return wroteLineWith("破棄しました。"); }));
    EXPECT_EQ(written.size(), 2u);
    EXPECT_EQ(finished, 0);
}

TEST_F(LogHostTest, EndStopsTheTimersAndRefusesWorkers) {
    host.start();
    ASSERT_TRUE(spinUntil([&] { return !written.empty(); }));
    bool ranOnLoop = false;
    const auto loopThread = std::this_thread::get_id();
    bool sent = false;
    std::thread worker([&] {
        sent = host.windowThread()->send([&] {
            ranOnLoop = std::this_thread::get_id() == loopThread;
            dialog.appendLog({LogKind::Capture, "from a worker"});
        });
    });
    ASSERT_TRUE(spinUntil([&] { return wroteLineWith("from a worker"); }));
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(ranOnLoop);

    host.end();
    host.end();
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(host.ended());
    EXPECT_EQ(host.timerPeriod(TIMER_REFRESH), -1);
    std::thread late([&] { sent = host.windowThread()->send([] {}); });
    late.join();
    EXPECT_FALSE(sent);
}

TEST_F(LogHostTest, ALineThatCannotBeWrittenEndsTheRunAfterItsTick) {
    refuseWrites = true;
    host.start();
    ASSERT_TRUE(spinUntil([&] { return finished == 1; }));
    EXPECT_TRUE(host.outputFailed());
    EXPECT_EQ(host.endedBy(), -1);
    EXPECT_EQ(host.timerPeriod(TIMER_REFRESH), -1);
}

TEST_F(LogHostTest, AReadableDescriptorEndsTheRun) {
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    host.endWhenReadable(wake[0]);
    host.start();
    ASSERT_TRUE(spinUntil([&] { return !written.empty(); }));
    EXPECT_EQ(finished, 0);
    ASSERT_EQ(write(wake[1], "x", 1), 1);
    ASSERT_TRUE(spinUntil([&] { return finished == 1; }));
    EXPECT_EQ(host.endedBy(), wake[0]);
    close(wake[0]);
    close(wake[1]);
}

TEST_F(LogHostTest, AnUnsupportedSystemIsToldOnStandardErrorAndEnds) {
    version.interfaces = false;
    ::testing::internal::CaptureStderr();
    host.start();
    const bool ended = spinUntil([&] { return finished == 1; });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(dialog.osSupported());
    EXPECT_NE(err.find(dialog.osDescription()), std::string::npos) << err;
}

}  // namespace
}  // namespace kestrova
