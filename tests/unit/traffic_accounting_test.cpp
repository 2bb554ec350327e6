#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "CaptureFakes.h"
#include "capture/CaptureWorker.h"
#include "wire/ConnectionSums.h"
#include "capture/PacketReport.h"
#include "capture/TrafficAccounting.h"
#include "monitor/ConnectionList.h"

namespace kestrova {
namespace {

using testing::ipv6;

// The report of a datagram seen on an interface named `zone`.
PacketReport report(IpAddress source, std::uint16_t sourcePort, IpAddress destination, std::uint16_t destinationPort,
                    std::uint32_t size, std::string_view zone = {}) {
    return buildReport({source, zone, sourcePort}, {destination, zone, destinationPort}, size);
}

// A row as the refresh writes it, with the given total and mark.
int addRow(ConnectionList& list, std::string localIp, std::string localPort, std::string remoteIp,
           std::string remotePort, std::string total = "0", std::string active = "", std::string pid = "1") {
    std::vector<std::string> cells(kConnectionColumns);
    cells[colProtocol] = "TCP";
    cells[colLocalIp] = std::move(localIp);
    cells[colLocalPort] = std::move(localPort);
    cells[colRemoteIp] = std::move(remoteIp);
    cells[colRemotePort] = std::move(remotePort);
    cells[colPid] = std::move(pid);
    cells[colTotalBytes] = std::move(total);
    cells[colActive] = std::move(active);
    return list.insertRow(std::move(cells));
}

// Accounting as the window once did it: one report at a time, every row
// walked from the last to the first, the cells compared as text.
void accountByWalking(ConnectionList& list, const PacketReport& r, std::string_view mark) {
    const int rows = list.rowCount();
    for (int row = rows - 1; row >= 0; --row) {
        auto cell = [&](int column) { return cellText(list, row, column); };
        const bool outbound = cell(colLocalIp) == fieldText(r.sourceAddress) &&
                              cell(colRemoteIp) == fieldText(r.destinationAddress) &&
                              cell(colLocalPort) == fieldText(r.sourcePort) &&
                              cell(colRemotePort) == fieldText(r.destinationPort);
        const bool inbound = !outbound && cell(colLocalIp) == fieldText(r.destinationAddress) &&
                             cell(colRemoteIp) == fieldText(r.sourceAddress) &&
                             cell(colLocalPort) == fieldText(r.destinationPort) &&
                             cell(colRemotePort) == fieldText(r.sourcePort);
        if (outbound || inbound) {
            const std::string total = std::to_string(readTotal(cell(colTotalBytes)) + r.size);
            list.setCellText(row, colTotalBytes, total);
            list.setCellText(row, colActive, std::string(mark) + total);
        } else {
            list.setCellText(row, colActive, "");
        }
    }
}

std::string text(const IpAddress& address, std::string_view zone = {}) { return addressText(address, zone); }

std::vector<std::string> cellsOf(const ConnectionList& list) {
    std::vector<std::string> cells;
    for (int row = 0; row < list.rowCount(); ++row)
        for (int column = 0; column < kConnectionColumns; ++column) cells.push_back(cellText(list, row, column));
    return cells;
}

class TrafficAccountingTest : public ::testing::Test {
protected:
    ConnectionList list;
    TrafficAccounting accounting{list};
    void account(std::vector<PacketReport> reports, std::string_view mark = "▼") { accounting.account(reports, mark); }
    std::string total(int row) { return cellText(list, row, colTotalBytes); }
    std::string active(int row) { return cellText(list, row, colActive); }
};

TEST_F(TrafficAccountingTest, BothDirectionsAddUpAndMarkTheRow) {
    addRow(list, "192.168.0.5", "1025", "10.0.0.1", "80");
    account({report({192, 168, 0, 5}, 1025, {10, 0, 0, 1}, 80, 60)});
    EXPECT_EQ(total(0), "60");
    EXPECT_EQ(active(0), "▼60");
    account({report({192, 168, 0, 5}, 1025, {10, 0, 0, 1}, 80, 40)});
    account({report({10, 0, 0, 1}, 80, {192, 168, 0, 5}, 1025, 1500)});
    EXPECT_EQ(total(0), "1600");
    EXPECT_EQ(active(0), "▼1600");
}

TEST_F(TrafficAccountingTest, TheMarkMovesToTheLatestConnection) {
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2");
    addRow(list, "3.3.3.3", "3", "4.4.4.4", "4");  // row 0
    account({report({3, 3, 3, 3}, 3, {4, 4, 4, 4}, 4, 100)});
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 50)});
    EXPECT_EQ(total(0), "100");
    EXPECT_EQ(active(0), "");
    EXPECT_EQ(active(1), "▼50");
    // A datagram of no listed connection clears every mark, totals stay.
    account({report({9, 9, 9, 9}, 9, {8, 8, 8, 8}, 8, 1000)});
    EXPECT_EQ(active(0), "");
    EXPECT_EQ(active(1), "");
    EXPECT_EQ(total(0), "100");
    EXPECT_EQ(total(1), "50");
}

TEST_F(TrafficAccountingTest, AChangedMarkShowsFromTheNextReport) {
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2");
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 40)}, "▼");
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 40)}, "(>з<)");
    EXPECT_EQ(active(0), "(>з<)80");
}

TEST_F(TrafficAccountingTest, TotalsGoPastFourGigabytesUnsigned) {
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2", "4294967000");
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 1500)});
    EXPECT_EQ(total(0), "4294968500");
    EXPECT_EQ(active(0), "▼4294968500");
    addRow(list, "5.5.5.5", "5", "6.6.6.6", "6", "2147483000");
    account({report({5, 5, 5, 5}, 5, {6, 6, 6, 6}, 6, 1500)});
    EXPECT_EQ(active(0), "▼2147484500");  // never negative
}

TEST_F(TrafficAccountingTest, EveryRowOfTheConnectionCountsAndAnEmptyListChangesNothing) {
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 40)});
    EXPECT_EQ(list.rowCount(), 0);
    // One connection shared by two processes, and the same text written
    // differently, which is another connection.
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2", "0", "", "10");
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2", "0", "", "11");
    addRow(list, "1.1.1.1", "01", "2.2.2.2", "2");
    account({report({2, 2, 2, 2}, 2, {1, 1, 1, 1}, 1, 40)});
    EXPECT_EQ(total(2), "40");
    EXPECT_EQ(total(1), "40");
    EXPECT_EQ(total(0), "0");
    EXPECT_EQ(active(0), "");
}

TEST_F(TrafficAccountingTest, AConnectionToItselfCountsOnce) {
    addRow(list, "127.0.0.1", "5000", "127.0.0.1", "5000");
    account({report({127, 0, 0, 1}, 5000, {127, 0, 0, 1}, 5000, 52)});
    EXPECT_EQ(total(0), "52");
}

TEST_F(TrafficAccountingTest, AnAddressMatchesOnlyRowsOfItsFamilyAndZone) {
    addRow(list, "10.0.0.1", "5000", "10.0.0.2", "80");
    addRow(list, "2001:db8::1", "5000", "2001:db8::2", "80");
    addRow(list, "fe80::1%eth0", "5000", "fe80::2%eth0", "80");
    addRow(list, "fe80::1%eth1", "5000", "fe80::2%eth1", "80");
    addRow(list, "fe80::1", "5000", "fe80::2", "80");  // a row of the /proc reader, which knows no zone
    account({report(ipv6("2001:db8::2"), 80, ipv6("2001:db8::1"), 5000, 1500, "eth0"),
             report(ipv6("fe80::1"), 5000, ipv6("fe80::2"), 80, 60, "eth0"),
             report({10, 0, 0, 1}, 5000, {10, 0, 0, 2}, 80, 40, "eth0")});
    std::map<std::string, std::string> totals;
    for (int row = 0; row < list.rowCount(); ++row) totals[cellText(list, row, colLocalIp)] = total(row);
    const std::map<std::string, std::string> expected = {{"10.0.0.1", "40"},     {"2001:db8::1", "1500"},
                                                         {"fe80::1%eth0", "60"}, {"fe80::1%eth1", "0"},
                                                         {"fe80::1", "0"}};
    EXPECT_EQ(totals, expected);
}

// A new connection's first datagrams come before the refresh that makes its
// row: they count once it is made, and the mark stays where the latest report put it.
TEST_F(TrafficAccountingTest, BytesBeforeTheRowCountOnceARefreshMakesIt) {
    addRow(list, "10.0.0.9", "22", "10.0.0.8", "5000", "0", "▼0");
    account({report({10, 0, 0, 1}, 5000, {10, 0, 0, 2}, 80, 60), report({10, 0, 0, 2}, 80, {10, 0, 0, 1}, 5000, 1500)});
    EXPECT_EQ(accounting.held(), 2u);
    accounting.refreshed();  // its row is not there yet
    addRow(list, "10.0.0.1", "5000", "10.0.0.2", "80");
    accounting.refreshed();
    EXPECT_EQ(total(0), "1560");
    EXPECT_EQ(active(0), "");
    EXPECT_EQ(total(1), "0");
    EXPECT_EQ(accounting.held(), 0u);
    account({report({10, 0, 0, 1}, 5000, {10, 0, 0, 2}, 80, 40)});
    EXPECT_EQ(active(0), "▼1600");
}

// What no refresh gives a row to goes after two of them, and the number of
// connections held has a bound.
TEST_F(TrafficAccountingTest, HeldBytesWaitTwoRefreshesAndSoManyConnectionsAtMost) {
    account({report({1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 40)});
    accounting.refreshed();
    accounting.refreshed();
    EXPECT_EQ(accounting.held(), 0u);
    addRow(list, "1.1.1.1", "1", "2.2.2.2", "2");
    accounting.refreshed();
    EXPECT_EQ(total(0), "0");

    std::vector<PacketReport> many;
    for (std::size_t i = 0; i <= TrafficAccounting::kMaxHeld; ++i)
        many.push_back(report({10, 0, 0, 1}, static_cast<std::uint16_t>(1 + i), {10, 0, 0, 2}, 80, 60));
    account(many);
    EXPECT_EQ(accounting.held(), TrafficAccounting::kMaxHeld);
}

TEST(ReadTotal, ReadsTheLeadingNumber) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"", 0},         {"0", 0},     {"1540", 1540},   {"  \t42", 42}, {"+7", 7},
        {"12abc", 12},   {"abc", 0},   {"- 5", 0},       {"-1", UINT64_MAX},
        {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", 0},  // wraps like the sum
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(readTotal(text), value) << '"' << text << '"';
}

// Batches must leave the rows exactly as accounting their reports one at a
// time by walking the rows would, whatever the rows hold: shared endpoints,
// rows written differently, marks left from before, rows coming and going
// between batches, totals about to wrap.
TEST(BatchAccounting, MatchesOneReportAtATime) {
    std::mt19937 random(20040512);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<IpAddress> hosts = {{127, 0, 0, 1}, {10, 0, 0, 1},        {192, 168, 1, 20},
                                          ipv6("::1"),    ipv6("2001:db8::2"), ipv6("fe80::1")};
    const std::vector<std::string> zones = {"eth0", "eth1"};
    const std::vector<std::uint16_t> ports = {80, 443, 5000, 40000, 65535};
    const std::vector<std::string> marks = {"▼", "(>з<)", ""};
    const std::vector<std::string> totals = {"0", "", "18446744073709551000", " 99", "x", "-3"};

    for (int round = 0; round < 40; ++round) {
        ConnectionList batched, walked;
        TrafficAccounting accounting(batched);
        auto both = [&](auto&& change) {
            change(batched);
            change(walked);
        };
        for (int step = 0; step < 30; ++step) {
            const int action = pick(10);
            if (action < 4 || batched.rowCount() == 0) {
                const std::string& zone = zones[pick(2)];
                std::string localIp = text(hosts[pick(6)], zone), remoteIp = text(hosts[pick(6)], zone);
                std::string localPort = std::to_string(ports[pick(5)]), remotePort = std::to_string(ports[pick(5)]);
                if (pick(12) == 0) localPort = "0" + localPort;  // never equal to a report's text
                const std::string total = totals[pick(6)];
                const std::string active = pick(3) == 0 ? "▼1" : "";
                const std::string pid = std::to_string(pick(3));
                both([&](ConnectionList& list) {
                    addRow(list, localIp, localPort, remoteIp, remotePort, total, active, pid);
                });
            } else if (action < 5) {
                const int row = pick(batched.rowCount());
                both([&](ConnectionList& list) { list.deleteRow(row); });
            } else {
                std::vector<PacketReport> reports(static_cast<std::size_t>(1 + pick(12)));
                for (PacketReport& r : reports) {
                    r = report(hosts[pick(6)], ports[pick(5)], hosts[pick(6)], ports[pick(5)],
                               static_cast<std::uint32_t>(40 + pick(65000)), "eth0");
                    if (pick(3) == 0) {
                        // Runs of one connection, as on the wire.
                        const PacketReport& previous = reports.front();
                        r = previous;
                    }
                }
                const std::string& mark = marks[pick(3)];
                accounting.account(reports, mark);
                for (const PacketReport& r : reports) accountByWalking(walked, r, mark);
            }
            ASSERT_EQ(cellsOf(batched), cellsOf(walked)) << "round " << round << " step " << step;
        }
    }
}

// The helper adds up each delivery interval's datagrams by connection; the
// window accounts the sums, in reads that may cut an interval anywhere. At the
// end of every interval the rows must be exactly what accounting the
// datagrams one at a time would give: totals, and the mark on the rows of the
// interval's last datagram.
TEST(BatchAccounting, SummedIntervalsMatchDatagramByDatagram) {
    std::mt19937 random(20240513);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // Hosts of both families; a datagram's two ends are of one. Seen on eth0,
    // whose link-local addresses the rows write with its name.
    const std::vector<std::vector<IpAddress>> families = {{{127, 0, 0, 1}, {10, 0, 0, 1}, {10, 0, 0, 2}},
                                                          {ipv6("::1"), ipv6("2001:db8::5"), ipv6("fe80::1")}};
    const LinkZones zones{"eth0", {}};
    const std::vector<std::uint16_t> ports = {80, 5000, 40000};
    const std::vector<std::string> totals = {"0", "", "18446744073709551000", "7"};
    auto host = [&](int family) { return families[static_cast<std::size_t>(family)][static_cast<std::size_t>(pick(3))]; };

    for (int round = 0; round < 60; ++round) {
        ConnectionList summed, walked;
        TrafficAccounting accounting(summed);
        ConnectionSums sums;
        for (int row = 0; row < 1 + pick(12); ++row) {
            const int family = pick(2);
            const std::string localIp = text(host(family), "eth0"), remoteIp = text(host(family), "eth0");
            const std::string localPort = std::to_string(ports[pick(3)]), remotePort = std::to_string(ports[pick(3)]);
            const std::string total = totals[pick(4)], active = pick(3) == 0 ? "▼1" : "";
            for (ConnectionList* list : {&summed, &walked}) addRow(*list, localIp, localPort, remoteIp, remotePort, total, active);
        }
        for (int interval = 0; interval < 8; ++interval) {
            const int datagrams = 1 + pick(40);
            for (int i = 0; i < datagrams; ++i) {
                const int family = pick(2);
                TcpDatagram d{host(family), host(family), ports[pick(3)], ports[pick(3)],
                              static_cast<std::uint32_t>(60 + pick(65000))};
                // Both ways round, and the odd giant segment.
                if (pick(20) == 0) d.size = 0xFFFFFFF0u;
                sums.add(d);
                accountByWalking(walked,
                                 report(d.source, d.sourcePort, d.destination, d.destinationPort, d.size, "eth0"), "▼");
            }
            // Through the pipe's format, then in reads of any size.
            std::vector<PacketReport> reports;
            for (const ConnectionRecord& record : sums.take()) {
                const auto decoded = std::get<ConnectionRecord>(decodeRecord(encodeRecord(record)));
                appendReports(decoded, zones, reports);
            }
            for (std::size_t at = 0; at < reports.size();) {
                const std::size_t count = std::min<std::size_t>(reports.size() - at, 1 + pick(4));
                accounting.account(std::span(reports).subspan(at, count), "▼");
                at += count;
            }
            ASSERT_EQ(cellsOf(summed), cellsOf(walked)) << "round " << round << " interval " << interval;
        }
    }
}

}  // namespace
}  // namespace kestrova
