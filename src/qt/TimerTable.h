#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

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
    TimerTable(QObject* owner, std::function<void(std::uint32_t id)> fired);

    void set(std::uint32_t id, std::int32_t periodMs);
    void kill(std::uint32_t id);
    // The period of an armed timer, -1 when it is not armed.
    int period(std::uint32_t id) const;

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
    void timeout(std::uint32_t id);

    QObject* owner_;
    std::function<void(std::uint32_t)> fired_;
    std::map<std::uint32_t, Timer> timers_;
};

}  // namespace kestrova
