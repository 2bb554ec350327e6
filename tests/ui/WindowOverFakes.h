#pragma once
// The real window over the logic's fakes, for the packet checking tests:
// whatever connection table, addresses and captures a test gives it.
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "../support/Patience.h"
#include "../unit/Fakes.h"
#include "qt/MainWindow.h"
#include "qt/QtWindowThread.h"
#include "ui/MainDialog.h"

namespace kestrova::testing {

class WindowOverFakes : public ::testing::Test {
protected:
    ConnectionList connections;
    EventLog log;
    ManualClock clock;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile;
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;

    void open(ConnectionTable& table, AddressList* addresses = nullptr, PacketSourceFactory* sources = nullptr) {
        window = std::make_unique<MainWindow>(connections, log);
        dialog = std::make_unique<MainDialog>(MainDialogParts{*window, connections, log, clock, table, processes,
                                                              version, profile, [](std::string_view) {},
                                                              window->windowThread(), nullptr, addresses, sources});
        window->attach(dialog.get());
        window->start();
    }
    void TearDown() override {
        if (window) window->close();
        dialog.reset();
        window.reset();
    }
    bool waitFor(const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > std::chrono::milliseconds(kPatience).count()) return false;
            QTest::qWait(5);
        }
        return true;
    }
};

}  // namespace kestrova::testing
