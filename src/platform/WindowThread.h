#pragma once
#include <functional>
#include <stop_token>

namespace kestrova {

// The window thread, as seen from worker threads.
class WindowThread {
public:
    virtual ~WindowThread() = default;
    // Runs `work` on the window thread and waits until it has run. Returns
    // false, without running it, once the window is closing. Called on the
    // window thread itself, the work runs at once.
    virtual bool send(std::function<void()> work) = 0;
    // The same, for a worker that may be told to stop while it waits: once
    // `stop` is requested, work that has not started yet never runs and send
    // returns false at once. Work already running is waited for. A window
    // thread that cannot withdraw queued work waits like send().
    virtual bool send(std::function<void()> work, std::stop_token stop) {
        if (stop.stop_requested()) return false;
        return send(std::move(work));
    }
};

}  // namespace kestrova
