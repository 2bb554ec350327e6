#include "qt/RepaintThrottle.h"

#include <QEvent>
#include <QWidget>

namespace kestrova {

RepaintThrottle::RepaintThrottle(QWidget* target, int intervalMs, QObject* parent)
    : QObject(parent), target_(target), intervalMs_(intervalMs) {
    target_->installEventFilter(this);
    releaseTimer_.setSingleShot(true);
    releaseTimer_.setTimerType(Qt::PreciseTimer);
    connect(&releaseTimer_, &QTimer::timeout, this, &RepaintThrottle::release);
}

bool RepaintThrottle::eventFilter(QObject* watched, QEvent* event) {
    if (watched == target_ && event->type() == QEvent::Paint) sincePaint_.restart();
    return false;
}

void RepaintThrottle::hold() {
    if (holding_ || !sincePaint_.isValid()) return;
    const qint64 elapsed = sincePaint_.elapsed();
    if (elapsed >= intervalMs_) return;
    // Requests for repaints made while updates are off are dropped; turning
    // them on again repaints the whole widget once.
    holding_ = true;
    target_->setUpdatesEnabled(false);
    releaseTimer_.start(static_cast<int>(intervalMs_ - elapsed));
}

void RepaintThrottle::release() {
    holding_ = false;
    target_->setUpdatesEnabled(true);
}

}  // namespace kestrova
