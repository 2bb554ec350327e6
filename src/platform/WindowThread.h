#pragma once
#include <functional>
#include <memory>
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
    // A hold on this hand-off for a worker that may outlive the window (one
    // stuck in a call it cannot interrupt): it stays valid for as long as it
    // is held, and refuses every send once the window is closing. Empty when
    // this hand-off cannot be held that way; then only workers that are
    // ended before the window goes may use it.
    virtual std::shared_ptr<WindowThread> share() { return {}; }
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
