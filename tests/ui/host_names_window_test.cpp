#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "../unit/FakeResolver.h"
#include "../unit/Fakes.h"
#include "monitor/HostNameText.h"
#include "options/ProfileStore.h"
#include "platform/linux/LinuxClock.h"
#include "platform/linux/LinuxConnectionTable.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxVersionInfo.h"
#include "platform/qt/MainWindow.h"
#include "platform/qt/QtWindowThread.h"
#include "platform/qt/TextTableModel.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using testing::FakeResolver;

bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > timeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

// A loopback connection of the test's own: a listener and both ends.
struct LoopbackPair {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    int server = -1;
    int clientPort = 0;

    LoopbackPair() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            ::connect(client, reinterpret_cast<sockaddr*>(&address), size) != 0)
            return;
        server = ::accept(listener, nullptr, nullptr);
        sockaddr_in local{};
        size = sizeof local;
        ::getsockname(client, reinterpret_cast<sockaddr*>(&local), &size);
        clientPort = ntohs(local.sin_port);
    }
    ~LoopbackPair() {
        for (int fd : {server, client, listener})
            if (fd >= 0) ::close(fd);
    }
};

// The real window and its hand-off, with host names on and a resolver the
// test controls.
class HostNamesWindowTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    testing::MemoryProfileFile profileFile{"[1040315]\nshowHostname=1040315\n"};
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>(connections, log);
    std::unique_ptr<MainDialog> dialog = std::make_unique<MainDialog>(
        MainDialogParts{*window, connections, log, clock, table, processes, version, profile, {},
                        window->windowThread(), resolver});

    void SetUp() override {
        window->attach(dialog.get());
        window->start();
    }
    void TearDown() override {
        if (resolver) resolver->releaseAll();
        if (window) window->close();
    }
    bool logged(std::string_view text) const {
        for (int row = 0; row < log.rowCount(); ++row)
            if (log.cellText(row, 1) == text) return true;
        return false;
    }
    // The connection view's text of a row of the list.
    std::string shown(int row, int column) const {
        TextTableModel* model = window->connectionModel();
        return model->data(model->index(row, column)).toString().toStdString();
    }
};

TEST_F(HostNamesWindowTest, NamesFoundByAPassShowInTheEndpointColumns) {
    LoopbackPair pair;
    ASSERT_GT(pair.clientPort, 0);
    resolver->answer("127.0.0.1", "loop.test");
    const std::string port = std::to_string(pair.clientPort);
    auto clientRow = [&] {
        for (int row = 0; row < connections.rowCount(); ++row)
            if (connections.cellText(row, colLocalIp) == "127.0.0.1" &&
                connections.cellText(row, colLocalPort) == port)
                return row;
        return -1;
    };
    ASSERT_TRUE(waitFor([&] { return clientRow() >= 0; }));

    dialog->onTimer(TIMER_RESOLVE);  // the timer's own first tick is 10 s away
    ASSERT_TRUE(waitFor([&] { return logged(RESOLVE_END_TEXT); }));
    EXPECT_TRUE(logged(resolvedLine("127.0.0.1", "loop.test")));
    ASSERT_TRUE(waitFor([&] { return clientRow() >= 0 && shown(clientRow(), colSource) == "loop.test:" + port; }));
    EXPECT_TRUE(shown(clientRow(), colDestination).starts_with("loop.test:"));
    EXPECT_EQ(shown(clientRow(), colLocalHost), "loop.test");
}

TEST_F(HostNamesWindowTest, ClosingWhileALookupHangsReturnsAtOnce) {
    LoopbackPair pair;
    ASSERT_TRUE(waitFor([&] { return connections.rowCount() > 0; }));
    resolver->holdEverything();
    const std::weak_ptr<FakeResolver> held = resolver;
    dialog->onTimer(TIMER_RESOLVE);
    ASSERT_TRUE(waitFor([&] { return resolver->inFlight() > 0; }));

    window->close();
    window.reset();
    dialog.reset();
    EXPECT_GT(resolver->inFlight(), 0u);  // nothing waited for the stuck lookups
    resolver->releaseAll();
    resolver.reset();
    // The pass finds every send refused and lets go of all it held.
    EXPECT_TRUE(waitFor([&] { return held.expired(); }));
}

}  // namespace
}  // namespace kestrova
