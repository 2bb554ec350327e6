#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "Patience.h"
#include "monitor/SendQueue.h"

namespace kestrova::testing {

// The test's own thread plays the window thread: what a worker sends waits in
// the queue until the test pumps it.
class WindowPump {
public:
    const std::shared_ptr<SendQueue> queue = std::make_shared<SendQueue>([this] {
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
        }
        wake_.notify_all();
    });
    ~WindowPump() { queue->shutDown(); }

    // Runs queued work until `done` holds; false when it does not in time.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
        for (const auto deadline = std::chrono::steady_clock::now() + limit;;) {
            queue->runPending();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(2), [&] { return woken_; });
            woken_ = false;
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
};

}  // namespace kestrova::testing
