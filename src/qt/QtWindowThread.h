#pragma once
#include <QObject>

#include <functional>
#include <memory>

#include "monitor/SendQueue.h"
#include "platform/WindowThread.h"

namespace kestrova {

// Hands work from worker threads to the Qt GUI thread. Create it on the GUI
// thread; each send() posts a queued call to this object, and that call runs
// everything queued so far and then `afterWork`, so the window can push the
// changes the work made to its views in one go.
//
// share() hands out the queue itself, which outlives this object: once this
// object is gone, sends through it are refused and never reach Qt.
class QtWindowThread : public QObject, public WindowThread {
    Q_OBJECT
public:
    explicit QtWindowThread(std::function<void()> afterWork = {}, QObject* parent = nullptr);
    ~QtWindowThread() override;

    bool send(std::function<void()> work) override;
    std::shared_ptr<WindowThread> share() override { return queue_; }
    bool send(std::function<void()> work, std::stop_token stop) override;
    // GUI thread: `beforeWork` runs ahead of every batch of queued work, so
    // the window can prepare its views for the changes the work will make.
    void setBeforeWork(std::function<void()> beforeWork) { beforeWork_ = std::move(beforeWork); }

    // GUI thread: refuses all further work; senders still waiting get false.
    void close();
    bool isClosed() const { return queue_->isClosed(); }

private:
    void runQueued();

    std::function<void()> beforeWork_;
    std::function<void()> afterWork_;
    std::shared_ptr<SendQueue> queue_;
};

}  // namespace kestrova
