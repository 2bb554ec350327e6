#include "qt/QtWindowThread.h"

#include <QMetaObject>

namespace kestrova {

QtWindowThread::QtWindowThread(std::function<void()> afterWork, QObject* parent)
    : QObject(parent),
      afterWork_(std::move(afterWork)),
      // Posting to an object is safe from any thread; the destructor waits
      // out late senders before QObject's own destructor discards whatever
      // they posted.
      queue_(std::make_shared<SendQueue>(
          [this] { QMetaObject::invokeMethod(this, [this] { runQueued(); }, Qt::QueuedConnection); })) {}

// Workers may still hold the queue; after this no send of theirs gets as far
// as posting to this object.
QtWindowThread::~QtWindowThread() { queue_->shutDown(); }

bool QtWindowThread::send(std::function<void()> work) { return queue_->send(std::move(work)); }

bool QtWindowThread::send(std::function<void()> work, std::stop_token stop) {
    return queue_->send(std::move(work), std::move(stop));
}

void QtWindowThread::close() { queue_->close(); }

void QtWindowThread::runQueued() {
    if (beforeWork_ && !queue_->isClosed()) beforeWork_();
    queue_->runPending();
    // A window that is closing may already be taking its views apart.
    if (afterWork_ && !queue_->isClosed()) afterWork_();
}

}  // namespace kestrova
