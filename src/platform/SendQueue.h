#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/WindowThread.h"

namespace kestrova {

// The toolkit-independent half of the window-thread hand-off: a queue of work
// that worker threads fill and the window thread drains. The toolkit supplies
// `wake`, which must make the window thread call runPending() soon; it may be
// called from any thread.
class SendQueue : public WindowThread {
public:
    explicit SendQueue(std::function<void()> wake);
    ~SendQueue() override;

    bool send(std::function<void()> work) override;
    bool send(std::function<void()> work, std::stop_token stop) override;

    // Window thread: runs every queued piece of work in the order it came.
    void runPending();
    // Window thread: from now on every send is refused, and every sender still
    // waiting returns false without its work having run.
    void close();
    bool isClosed() const;

private:
    struct Request;
    std::function<void()> wake_;
    std::thread::id windowThread_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::condition_variable idle_;  // senders_ fell to zero
    std::deque<std::shared_ptr<Request>> queue_;
    int senders_ = 0;  // threads inside send() past the closed check
    bool closed_ = false;
};

}  // namespace kestrova
