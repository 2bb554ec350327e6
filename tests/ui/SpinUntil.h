#pragma once
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <thread>

#include "../support/Patience.h"

namespace kestrova::testing {

// Spins the GUI event loop until `done` holds or `limit` passes.
template <class Done>
bool spinUntil(Done done, std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Hands the widget `find` returns (an open menu, a modal dialog) to `act` as
// soon as it is there, from whatever event loop runs by then, the one of a
// menu or a dialog included; looks every few milliseconds until the returned
// timer goes. Started before the key or click that opens the widget, it
// catches it however late the machine shows it.
template <class Find, class Act>
std::unique_ptr<QTimer> whenShown(Find find, Act act) {
    auto timer = std::make_unique<QTimer>();
    QTimer* looking = timer.get();
    QObject::connect(looking, &QTimer::timeout, looking, [looking, find, act] {
        if (auto* widget = find()) {
            looking->stop();
            act(widget);
        }
    });
    looking->start(2);
    return timer;
}

}  // namespace kestrova::testing
