// The window's timers on the real event loop: no tick before its period.
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/Patience.h"
#include "qt/TimerTable.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Several timers at once, ticks that take a while (as a refresh of many rows
// does) and so hold up the other timers' ticks, and one timer that re-arms
// itself from its first tick, as the refresh timer does. A tick held up must
// not make the next one come sooner: each gap is at least the period, with
// no allowance on the early side.
TEST(TimerTableTest, NoTickComesBeforeItsPeriod) {
    struct Case {
        TimerId id;
        std::int32_t first;  // the period armed at the start
        std::int32_t then;   // the period the first tick re-arms with
        std::chrono::milliseconds work;
    };
    const std::vector<Case> cases = {
        {TimerId{1}, 10, 10, 3ms},
        {TimerId{2}, 25, 25, 9ms},
        {TimerId{3}, 40, 40, 0ms},
        {TimerId{4}, 0, 30, 2ms},  // 0 ms runs at 10 ms, then 30 ms from the first tick
    };
    constexpr std::size_t kTicks = 6;

    QObject owner;
    QEventLoop loop;
    std::map<TimerId, std::vector<Clock::time_point>> ticks;
    std::map<TimerId, Clock::time_point> armed;
    auto enough = [&] {
        for (const Case& c : cases)
            if (ticks[c.id].size() < kTicks) return false;
        return true;
    };
    TimerTable* table = nullptr;
    TimerTable timers(&owner, [&](TimerId id) {
        ticks[id].push_back(Clock::now());
        for (const Case& c : cases) {
            if (c.id != id) continue;
            if (ticks[id].size() == 1 && c.then != c.first) table->set(id, c.then);
            std::this_thread::sleep_for(c.work);
        }
        if (enough()) loop.quit();
    });
    table = &timers;
    for (const Case& c : cases) {
        armed[c.id] = Clock::now();
        timers.set(c.id, c.first);
    }
    QTimer::singleShot(kestrova::testing::kPatience, &loop, &QEventLoop::quit);
    loop.exec();
    for (const Case& c : cases) timers.kill(c.id);

    ASSERT_TRUE(enough()) << "the timers stopped ticking";
    for (const Case& c : cases) {
        Clock::time_point before = armed[c.id];
        for (std::size_t i = 0; i < ticks[c.id].size(); ++i) {
            const auto period = std::chrono::milliseconds(TimerTable::effectivePeriod(i == 0 ? c.first : c.then));
            const auto gap = ticks[c.id][i] - before;
            EXPECT_GE(gap, period) << "timer " << static_cast<std::uint32_t>(c.id) << ", tick " << i + 1 << " came "
                                   << std::chrono::duration<double, std::milli>(period - gap).count()
                                   << " ms early";
            // Late only by the other ticks' work and a loaded machine,
            // however busy: never held back for good.
            EXPECT_LT(gap, period + kestrova::testing::kPatience) << "timer " << static_cast<std::uint32_t>(c.id) << ", tick " << i + 1;
            before = ticks[c.id][i];
        }
    }
}

}  // namespace
}  // namespace kestrova
