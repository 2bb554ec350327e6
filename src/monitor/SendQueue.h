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
//
// Owned through a shared_ptr, the queue can be shared with workers that may
// outlive the window; the toolkit object that supplied `wake` then calls
// shutDown() before it goes.
class SendQueue : public WindowThread, public std::enable_shared_from_this<SendQueue> {
public:
    explicit SendQueue(std::function<void()> wake);
    ~SendQueue() override;

    bool send(std::function<void()> work) override;
    std::shared_ptr<WindowThread> share() override { return weak_from_this().lock(); }
    bool send(std::function<void()> work, std::stop_token stop) override;

    // Window thread: runs every queued piece of work in the order it came.
    void runPending();
    // Window thread: from now on every send is refused, and every sender still
    // waiting returns false without its work having run.
    void close();
    bool isClosed() const;
    // Window thread, outside any queued work: closes the queue and waits
    // until no sender is left inside send(), so `wake` is never called again
    // and whatever it refers to may go.
    void shutDown();

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
