#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

#include "platform/WindowHost.h"

class QObject;
class QTimer;

namespace kestrova {

// The window's timers on the Qt event loop, known by their ids. Arming an
// armed id replaces its period.
//
// A tick never comes early: the first at least one period after the timer was
// armed, every later one at least one period after the tick before it. Qt's
// own repeating timers keep their average rate instead, so a tick that came
// late is followed by one that comes early by as much.
class TimerTable {
public:
    // The timers belong to `owner` and go with it; `fired` gets each tick.
    TimerTable(QObject* owner, std::function<void(TimerId id)> fired);

    void set(TimerId id, std::int32_t periodMs);
    void kill(TimerId id);
    // The period of an armed timer, -1 when it is not armed.
    int period(TimerId id) const;

    // Timer period as the windowing system takes it: at least 10 ms, and a
    // negative or huge one capped at the largest period.
    static int effectivePeriod(std::int32_t periodMs);

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        QTimer* timer = nullptr;
        int period = 0;
        // No tick before this moment.
        Clock::time_point due;
    };
    void timeout(TimerId id);

    QObject* owner_;
    std::function<void(TimerId)> fired_;
    std::map<TimerId, Timer> timers_;
};

}  // namespace kestrova
