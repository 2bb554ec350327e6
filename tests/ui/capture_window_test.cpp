// Packet checking as the window shows it: the list repaints at a bounded
// rate while reports stream in, the menu still opens at once, and the menu's
// "check Packet..." runs real captures whose totals reach the rows.
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../unit/Fakes.h"
#include "capture/PacketReport.h"
#include "platform/linux/LinuxAddressList.h"
#include "platform/linux/LinuxConnectionTable.h"
#include "platform/linux/LinuxPacketSource.h"
#include "platform/qt/MainWindow.h"
#include "platform/qt/QtWindowThread.h"
#include "platform/qt/TextTableModel.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;

class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    std::atomic<int> paints{0};

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

class LoopbackOnly : public AddressList {
public:
    std::optional<std::vector<LocalAddress>> query() override {
        auto all = LinuxAddressList().query();
        if (all) std::erase_if(*all, [](const LocalAddress& a) { return !a.loopback; });
        return all;
    }
};

class CaptureWindowTest : public ::testing::Test {
protected:
    ConnectionList connections;
    EventLog log;
    ManualClock clock;
    FakeConnectionTable fakeTable;
    LinuxConnectionTable realTable;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile;
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    LoopbackOnly addresses;
    LinuxPacketSources sources{KESTROVA_CAPTURE_HELPER};
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;

    void open(ConnectionTable& table) {
        window = std::make_unique<MainWindow>(connections, log);
        dialog = std::make_unique<MainDialog>(MainDialogParts{*window, connections, log, clock, table, processes,
                                                              version, profile, [](std::string_view) {},
                                                              window->windowThread(), &addresses, &sources});
        window->attach(dialog.get());
        window->start();
    }
    void TearDown() override {
        if (window) window->close();
        dialog.reset();
        window.reset();
    }
    bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > timeoutMs) return false;
            QTest::qWait(5);
        }
        return true;
    }
};

TEST_F(CaptureWindowTest, ReportsStreamingInRepaintTheListAtMostThirtyTimesASecond) {
    for (std::uint16_t port = 1; port <= 50; ++port)
        fakeTable.rows.push_back(tcp(5, {10, 0, 0, 1}, port, {10, 0, 0, 2}, 80, 7));
    open(fakeTable);
    ASSERT_TRUE(waitFor([&] { return window->connectionModel()->rowCount() == 50; }));
    PaintCounter counter(window->connectionView()->viewport());

    // A worker hands over small batches as fast as the window takes them,
    // each changing the visible rows.
    std::atomic<bool> streaming{true};
    std::atomic<bool> finished{false};
    std::atomic<int> batches{0};
    std::thread worker([&] {
        std::uint16_t port = 1;
        while (streaming) {
            std::vector<PacketReport> batch;
            for (int i = 0; i < 4; ++i, port = port % 50 + 1)
                batch.push_back(buildReport({10, 0, 0, 1}, port, {10, 0, 0, 2}, 80, 60, clock.time));
            if (!window->windowThread()->send([&] { dialog->accountPackets(batch); })) break;
            ++batches;
        }
        finished = true;
    });

    QTest::qWait(200);
    const int paintsBefore = counter.paints;
    const int batchesBefore = batches;
    QTest::qWait(1000);
    const int paints = counter.paints - paintsBefore;
    const int handed = batches - batchesBefore;

    // A right-click still opens the menu at once.
    QElapsedTimer menuTimer;
    qint64 menuOpenedAfter = -1;
    QTimer::singleShot(0, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            menuOpenedAfter = menuTimer.elapsed();
            menu->close();
        }
    });
    menuTimer.start();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), window->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(window.get(), &click);
    streaming = false;
    // Its last hand-off needs the window thread.
    waitFor([&] { return finished.load(); });
    worker.join();

    EXPECT_GT(handed, 100) << "the window must keep taking hand-offs";
    EXPECT_LE(paints, 36) << handed << " hand-offs";
    EXPECT_GE(paints, 3) << "the list must keep showing the totals";
    ASSERT_GE(menuOpenedAfter, 0);
    EXPECT_LT(menuOpenedAfter, 250);
}

TEST_F(CaptureWindowTest, CheckPacketFromTheMenuCountsALoopbackConnection) {
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root here";
    open(realTable);
    auto chooseCheckPacket = [&] {
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions())
                if (action->text() == "check Packet...") action->trigger();
            if (menu->isVisible()) menu->close();
        });
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), window->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(window.get(), &click);
    };
    // The log also gets the machine's connections; the newest line is on top.
    auto logRow = [&](const std::string& text) {
        for (int row = 0; row < log.rowCount(); ++row)
            if (log.cellText(row, 1) == text) return row;
        return -1;
    };
    chooseCheckPacket();
    ASSERT_TRUE(waitFor([&] { return logRow("127.0.0.1を通るパケットをチェックします。") >= 0; }));
    EXPECT_LT(logRow("127.0.0.1を通るパケットをチェックします。"), logRow("パケットのチェックを開始します。"));

    // A connection of our own, carrying a few kilobytes.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int server = accept(listener, nullptr, nullptr);
    const std::string port = std::to_string(ntohs(address.sin_port));
    auto serverRow = [&] {
        for (int row = 0; row < connections.rowCount(); ++row)
            if (connections.cellText(row, colLocalPort) == port && connections.cellText(row, colLocalIp) == "127.0.0.1")
                return row;
        return -1;
    };
    ASSERT_TRUE(waitFor([&] { return serverRow() >= 0; }));
    const std::string data(5000, 'k');
    ASSERT_EQ(send(client, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    char buffer[8192];
    std::size_t got = 0;
    while (got < data.size()) got += static_cast<std::size_t>(recv(server, buffer, sizeof buffer, 0));
    // At least the data and its IPv4 and TCP headers.
    ASSERT_TRUE(waitFor([&] {
        const int row = serverRow();
        return row >= 0 && std::stoull("0" + connections.cellText(row, colTotalBytes)) > 5040;
    }));
    const int row = serverRow();
    const std::string& total = connections.cellText(row, colTotalBytes);
    // The mark moves with every datagram of any connection on loopback; the
    // total only grows.
    EXPECT_TRUE(connections.cellText(row, colActive).empty() || connections.cellText(row, colActive) == "▼" + total);

    chooseCheckPacket();
    ASSERT_TRUE(waitFor([&] { return logRow("パケットのチェックを終了します。") >= 0; }));
    close(client);
    close(server);
    close(listener);
}

}  // namespace
}  // namespace kestrova
