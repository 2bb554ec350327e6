#include "platform/SendQueue.h"

namespace kestrova {

struct SendQueue::Request {
    enum class State { Pending, Done, Refused };
    std::function<void()> work;
    State state = State::Pending;
};

SendQueue::SendQueue(std::function<void()> wake)
    : wake_(std::move(wake)), windowThread_(std::this_thread::get_id()) {}

SendQueue::~SendQueue() {
    // Refused senders still have to wake up, take the mutex and maybe call
    // wake_; none of that may outlive the members it touches.
    shutDown();
}

bool SendQueue::send(std::function<void()> work) {
    if (std::this_thread::get_id() == windowThread_) {
        // Waiting for ourselves would never end: run it in place.
        if (isClosed()) return false;
        work();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->work = std::move(work);
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        queue_.push_back(request);
        ++senders_;
    }
    wake_();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return request->state != Request::State::Pending; });
    // Notified under the lock: once the destructor sees zero it may destroy
    // idle_ straight away.
    if (--senders_ == 0) idle_.notify_all();
    return request->state == Request::State::Done;
}

void SendQueue::runPending() {
    std::unique_lock lock(mutex_);
    while (!queue_.empty() && !closed_) {
        auto request = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        request->work();
        lock.lock();
        request->state = Request::State::Done;
        done_.notify_all();
    }
}

void SendQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& request : queue_) request->state = Request::State::Refused;
    queue_.clear();
    done_.notify_all();
}

void SendQueue::shutDown() {
    close();
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return senders_ == 0; });
    wake_ = nullptr;
}

bool SendQueue::isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace kestrova
