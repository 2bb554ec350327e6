#include "qt/TimerTable.h"

#include <QTimer>

#include <climits>

namespace kestrova {

TimerTable::TimerTable(QObject* owner, std::function<void(TimerId)> fired)
    : owner_(owner), fired_(std::move(fired)) {}

int TimerTable::effectivePeriod(std::int32_t periodMs) {
    if (periodMs < 0) return INT_MAX;
    return periodMs < 10 ? 10 : periodMs;
}

// Each wait is a single shot of a precise timer, armed after the clock was
// read for `due`: Qt counts the wait from its own, later reading of the same
// monotonic clock, so it never ends before `due`. timeout() checks all the
// same.
void TimerTable::set(TimerId id, std::int32_t periodMs) {
    Timer& entry = timers_[id];
    if (!entry.timer) {
        entry.timer = new QTimer(owner_);
        entry.timer->setSingleShot(true);
        entry.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(entry.timer, &QTimer::timeout, owner_, [this, id] { timeout(id); });
    }
    entry.period = effectivePeriod(periodMs);
    entry.due = Clock::now() + std::chrono::milliseconds(entry.period);
    entry.timer->start(entry.period);
}

void TimerTable::timeout(TimerId id) {
    Timer& entry = timers_[id];
    const Clock::time_point now = Clock::now();
    if (now < entry.due) {
        entry.timer->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(entry.due - now).count()));
        return;
    }
    // The next tick counts its period from this one, however late this one
    // came. Armed before the tick runs, which may kill or re-arm it, or close
    // the window and this table with it.
    entry.due = now + std::chrono::milliseconds(entry.period);
    entry.timer->start(entry.period);
    fired_(id);
}

void TimerTable::kill(TimerId id) {
    auto it = timers_.find(id);
    if (it != timers_.end() && it->second.timer) it->second.timer->stop();
}

int TimerTable::period(TimerId id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.timer && it->second.timer->isActive() ? it->second.period : -1;
}

}  // namespace kestrova
