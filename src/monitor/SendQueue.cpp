#include "monitor/SendQueue.h"

#include <algorithm>
#include <optional>

namespace kestrova {

struct SendQueue::Request {
    enum class State { Pending, Running, Done, Refused };
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

bool SendQueue::send(std::function<void()> work) { return send(std::move(work), std::stop_token()); }

bool SendQueue::send(std::function<void()> work, std::stop_token stop) {
    if (std::this_thread::get_id() == windowThread_) {
        // Waiting for ourselves would never end: run it in place.
        if (isClosed() || stop.stop_requested()) return false;
        work();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->work = std::move(work);
    {
        std::lock_guard lock(mutex_);
        if (closed_ || stop.stop_requested()) return false;
        queue_.push_back(request);
        ++senders_;
    }
    wake_();
    // Set up before the lock is taken: a stop requested already runs the
    // callback right here, and it takes the lock itself.
    auto notify = [this] {
        std::lock_guard guard(mutex_);
        done_.notify_all();
    };
    std::optional<std::stop_callback<decltype(notify)>> wakeOnStop;
    wakeOnStop.emplace(stop, notify);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] {
        return request->state == Request::State::Done || request->state == Request::State::Refused ||
               (request->state == Request::State::Pending && stop.stop_requested());
    });
    if (request->state == Request::State::Pending) {
        // Withdrawn before the window thread took it: it must never run, since
        // it may refer to memory of ours that is about to go.
        queue_.erase(std::find(queue_.begin(), queue_.end(), request));
        request->state = Request::State::Refused;
    }
    // A callback running on the stopping thread still needs the lock; it has
    // to be over before the count below lets the destructor go on.
    lock.unlock();
    wakeOnStop.reset();
    lock.lock();
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
        request->state = Request::State::Running;
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
