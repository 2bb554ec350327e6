#pragma once
#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <thread>

namespace kestrova::testing {

// Spins the GUI event loop until `done` holds or `limit` passes.
template <class Done>
bool spinUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kestrova::testing
