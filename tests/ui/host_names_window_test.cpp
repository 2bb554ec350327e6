#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "../support/Patience.h"
#include "../unit/FakeResolver.h"
#include "../unit/Fakes.h"
#include "options/ProfileStore.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxVersionInfo.h"
#include "qt/MainWindow.h"
#include "qt/QtWindowThread.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

bool waitFor(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > std::chrono::milliseconds(testing::kPatience).count()) return false;
        QTest::qWait(5);
    }
    return true;
}

TEST(HostNamesWindowTest, ClosingTheRealWindowWhileLookupsHangReturnsAtOnce) {
    auto resolver = std::make_shared<testing::FakeResolver>();
    const std::weak_ptr<testing::FakeResolver> held = resolver;
    resolver->holdEverything();
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    // The machine's own table would make the test as slow as it is big.
    testing::FakeConnectionTable table;
    table.rows = {testing::tcp(5, {10, 0, 0, 1}, 1000, {192, 0, 2, 1}, 80, 0)};
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    testing::MemoryProfileFile profileFile{"[1040315]\nshowHostname=1040315\n"};
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    auto window = std::make_unique<MainWindow>(connections, log);
    auto dialog = std::make_unique<MainDialog>(MainDialogParts{
        *window, connections, log, clock, table, processes, version, profile, {}, window->windowThread(), resolver});
    window->attach(dialog.get());
    window->start();
    ASSERT_TRUE(waitFor([&] { return connections.rowCount() > 0; }));
    dialog->onTimer(TIMER_RESOLVE);  // the timer's own first tick is 10 s away
    ASSERT_TRUE(waitFor([&] { return resolver->inFlight() > 0; }));

    window->close();
    window.reset();
    dialog.reset();
    EXPECT_GT(resolver->inFlight(), 0u);  // nothing waited for the stuck lookups
    resolver->releaseAll();
    resolver.reset();
    // The pass finds its sends refused and lets go of all it held.
    EXPECT_TRUE(waitFor([&] { return held.expired(); }));
}

}  // namespace
}  // namespace kestrova
