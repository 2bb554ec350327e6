#pragma once
#include <cstdint>
#include <functional>
#include <map>

class QObject;
class QTimer;

namespace kestrova {

// The window's timers on the Qt event loop, known by their ids. Arming an
// armed id replaces its period.
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
    QObject* owner_;
    std::function<void(std::uint32_t)> fired_;
    std::map<std::uint32_t, QTimer*> timers_;
};

}  // namespace kestrova
