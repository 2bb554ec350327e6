// The menu's "check Packet..." on the real window runs real captures whose
// totals reach the rows of a loopback connection. It makes connections of its
// own and reads the machine's table, so it runs with the kernel tests, one at
// a time, not beside the window tests that read the table too.
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../WindowOverFakes.h"
#include "linux/LinuxAddressList.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxPacketSource.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;

class LoopbackOnly : public AddressList {
public:
    std::optional<std::vector<LocalAddress>> query() override {
        auto all = LinuxAddressList().query();
        if (all) std::erase_if(*all, [](const LocalAddress& a) { return !a.loopback; });
        return all;
    }
};

// The machine's table, but only this test's own connections: the log keeps
// 100 lines, which other programs' connections (thousands in TIME_WAIT after
// the tests before this one) could otherwise push the lines looked for out of.
class OwnConnectionsOnly : public ConnectionTable {
public:
    bool snapshot(std::vector<TcpRow>& rows) override {
        if (!all_.snapshot(rows)) return false;
        std::erase_if(rows, [](const TcpRow& row) { return row.pid != static_cast<std::uint32_t>(getpid()); });
        return true;
    }

private:
    LinuxConnectionTable all_;
};

class CheckPacketWindowTest : public WindowOverFakes {
protected:
    OwnConnectionsOnly table;
    LoopbackOnly addresses;
    LinuxPacketSources sources{KESTROVA_CAPTURE_HELPER};
};

TEST_F(CheckPacketWindowTest, CheckPacketFromTheMenuCountsALoopbackConnection) {
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root here";
    open(table, &addresses, &sources);
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
    // The newest line is on top.
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
            if (cellText(connections, row, colLocalPort) == port && cellText(connections, row, colLocalIp) == "127.0.0.1")
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
        return row >= 0 && std::stoull("0" + cellText(connections, row, colTotalBytes)) > 5040;
    }));
    const int row = serverRow();
    const std::string& total = cellText(connections, row, colTotalBytes);
    // The mark moves with every datagram of any connection on loopback; the
    // total only grows.
    EXPECT_TRUE(cellText(connections, row, colActive).empty() || cellText(connections, row, colActive) == "▼" + total);

    chooseCheckPacket();
    ASSERT_TRUE(waitFor([&] { return logRow("パケットのチェックを終了します。") >= 0; }));
    close(client);
    close(server);
    close(listener);
}

}  // namespace
}  // namespace kestrova
