#include "qt/TimerTable.h"

#include <QTimer>

#include <climits>

namespace kestrova {

TimerTable::TimerTable(QObject* owner, std::function<void(std::uint32_t)> fired)
    : owner_(owner), fired_(std::move(fired)) {}

int TimerTable::effectivePeriod(std::int32_t periodMs) {
    if (periodMs < 0) return INT_MAX;
    return periodMs < 10 ? 10 : periodMs;
}

void TimerTable::set(std::uint32_t id, std::int32_t periodMs) {
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(owner_);
        QObject::connect(timer, &QTimer::timeout, owner_, [this, id] { fired_(id); });
    }
    timer->start(effectivePeriod(periodMs));
}

void TimerTable::kill(std::uint32_t id) {
    auto it = timers_.find(id);
    if (it != timers_.end() && it->second) it->second->stop();
}

int TimerTable::period(std::uint32_t id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second && it->second->isActive() ? it->second->interval() : -1;
}

}  // namespace kestrova
