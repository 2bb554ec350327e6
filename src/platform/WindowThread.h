#pragma once
#include <functional>

namespace kestrova {

// The window thread, as seen from worker threads.
class WindowThread {
public:
    virtual ~WindowThread() = default;
    // Runs `work` on the window thread and waits until it has run. Returns
    // false, without running it, once the window is closing. Called on the
    // window thread itself, the work runs at once.
    virtual bool send(std::function<void()> work) = 0;
};

}  // namespace kestrova
