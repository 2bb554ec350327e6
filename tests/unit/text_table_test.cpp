#include <gtest/gtest.h>

#include <random>

#include "monitor/ConnectionList.h"
#include "ui/EventLog.h"

namespace kestrova {
namespace {

struct Recorder : TableObserver {
    std::vector<std::string> events;
    // When set, each deletion also records the rows the table shows as it is told.
    const TextTable* table = nullptr;
    void rowInserted() override { events.push_back("ins"); }
    void rowDeleted(int row) override {
        std::string event = "del " + std::to_string(row);
        if (table) {
            event += " [";
            for (int r = 0; r < table->rowCount(); ++r) event += table->cellText(r, 0) + " ";
            event += "]";
        }
        events.push_back(event);
    }
    void cellChanged(int row, int column) override {
        events.push_back("set " + std::to_string(row) + "," + std::to_string(column));
    }
};

std::vector<std::string> firstCells(const TextTable& table) {
    std::vector<std::string> cells;
    for (int row = 0; row < table.rowCount(); ++row) cells.push_back(table.cellText(row, 0));
    return cells;
}

TEST(TextTable, NewRowsGoOnTopAndDeletesCloseUp) {
    TextTable table(2);
    for (const char* name : {"r9", "r8", "r7", "r6", "r5", "r4", "r3", "r2", "r1", "r0"}) table.insertRow(name);
    table.deleteRow(3);
    EXPECT_EQ(firstCells(table),
              (std::vector<std::string>{"r0", "r1", "r2", "r4", "r5", "r6", "r7", "r8", "r9"}));
    EXPECT_EQ(table.cellText(0, 1), "");
    EXPECT_EQ(table.cellText(99, 0), "");  // out of range reads as empty
    EXPECT_EQ(table.cellText(0, 7), "");
}

TEST(TextTable, WritingTheSameTextNotifiesNobody) {
    TextTable table(2);
    table.insertRow("a");
    Recorder recorder;
    table.setObserver(&recorder);
    table.setCellText(0, 1, "");
    table.setCellText(0, 0, "a");
    EXPECT_TRUE(recorder.events.empty());
    table.setCellText(0, 1, "x");
    EXPECT_EQ(recorder.events, std::vector<std::string>{"set 0,1"});
}

// Removing many rows in one pass must read, report and notify exactly like
// one deleteRow after another from the bottom up.
TEST(TextTable, RemoveRowsWhereMatchesDeletingOneByOne) {
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        TextTable batch(1), single(1);
        const int count = static_cast<int>(random() % 30);
        for (int i = 0; i < count; ++i) {
            batch.insertRow(std::to_string(i));
            single.insertRow(std::to_string(i));
        }
        std::vector<bool> doomed;
        for (int i = 0; i < count; ++i) doomed.push_back(random() % 3 == 0);
        auto isDoomed = [&](const TextTable& table, int row) {
            return doomed[static_cast<std::size_t>(std::stoi(table.cellText(row, 0)))];
        };

        Recorder batchEvents, singleEvents;
        batchEvents.table = &batch;
        singleEvents.table = &single;
        std::vector<std::string> batchSeen, singleSeen;
        batch.setObserver(&batchEvents);
        single.setObserver(&singleEvents);
        batch.removeRowsWhere([&](int row) { return isDoomed(batch, row); },
                              [&](int row) { batchSeen.push_back(batch.cellText(row, 0)); });
        for (int row = single.rowCount() - 1; row >= 0; --row) {
            if (!isDoomed(single, row)) continue;
            singleSeen.push_back(single.cellText(row, 0));
            single.deleteRow(row);
        }
        ASSERT_EQ(firstCells(batch), firstCells(single));
        ASSERT_EQ(batchSeen, singleSeen);
        ASSERT_EQ(batchEvents.events, singleEvents.events);
        for (int row = 0; row < batch.rowCount(); ++row) ASSERT_EQ(batch.rowOfSerial(batch.serialAt(row)), row);
    }
}

std::vector<std::string> keyCells(std::string localIp, std::string localPort, std::string remoteIp,
                                  std::string remotePort, std::string pid) {
    std::vector<std::string> cells(kConnectionColumns);
    cells[colProtocol] = "TCP";
    cells[colLocalIp] = std::move(localIp);
    cells[colLocalPort] = std::move(localPort);
    cells[colRemoteIp] = std::move(remoteIp);
    cells[colRemotePort] = std::move(remotePort);
    cells[colPid] = std::move(pid);
    return cells;
}

// The index must answer what a scan from the last row comparing the five key
// cells byte for byte would answer.
int scanForKey(const ConnectionList& list, const ConnectionKey& key) {
    for (int row = list.rowCount() - 1; row >= 0; --row) {
        if (cellText(list, row, colLocalIp) == key.localIp && cellText(list, row, colRemoteIp) == key.remoteIp &&
            cellText(list, row, colLocalPort) == key.localPort && cellText(list, row, colRemotePort) == key.remotePort &&
            cellText(list, row, colPid) == key.pid)
            return row;
    }
    return -1;
}

TEST(ConnectionList, KeyLookupIsExactBytes) {
    ConnectionList list;
    list.insertRow(keyCells("10.0.0.1", "80", "10.0.0.2", "5000", "42"));
    struct Case {
        ConnectionKey key;
        int row;
    } cases[] = {
        {{"10.0.0.1", "80", "10.0.0.2", "5000", "42"}, 0},
        {{"10.0.0.1", "080", "10.0.0.2", "5000", "42"}, -1},
        {{"10.0.0.1", "80", "10.0.0.2", "5000", "4"}, -1},
        {{"10.0.0.1", "80", "10.0.0.2", "500", "042"}, -1},  // shifted text must not collide
        {{"10.0.0.2", "5000", "10.0.0.1", "80", "42"}, -1},  // the reverse direction is another row
    };
    for (const Case& c : cases) EXPECT_EQ(list.findRow(c.key), c.row) << c.key.localPort << " " << c.key.pid;
}

TEST(ConnectionList, IndexFollowsInsertsDeletesAndRewrittenKeyCells) {
    std::mt19937 random(11);
    ConnectionList list;
    auto randomKey = [&] {
        return keyCells("127.0.0." + std::to_string(random() % 3), std::to_string(random() % 3), "10.0.0.1",
                        std::to_string(random() % 2), std::to_string(random() % 2));
    };
    for (int step = 0; step < 2000; ++step) {
        switch (random() % 4) {
        case 0:
        case 1:
            list.insertRow(randomKey());
            break;
        case 2:
            if (list.rowCount()) list.deleteRow(static_cast<int>(random() % list.rowCount()));
            break;
        case 3:
            if (list.rowCount())  // duplicates only arise from cells written by hand
                list.setCellText(static_cast<int>(random() % list.rowCount()), colLocalPort,
                                 std::to_string(random() % 3));
            break;
        }
        if (step % 7 == 0 && list.rowCount())
            list.removeRowsWhere([&](int) { return random() % 5 == 0; });
        for (int a = 0; a < 3; ++a)
            for (int p = 0; p < 3; ++p) {
                const std::string ip = "127.0.0." + std::to_string(a), port = std::to_string(p);
                const ConnectionKey key{ip, port, "10.0.0.1", "1", "0"};
                ASSERT_EQ(list.findRow(key), scanForKey(list, key)) << "step " << step;
            }
    }
}

TEST(EventLog, KeepsTheNewestHundredLines) {
    EventLog log;
    LocalTime time{2004, 3, 7, 9, 5, 2};
    for (int i = 1; i <= 100; ++i) log.append(time, "line " + std::to_string(i));
    ASSERT_EQ(log.rowCount(), 100);
    EXPECT_EQ(log.cellText(99, 1), "line 1");  // the 100th append removes nothing
    log.append(time, "line 101");
    ASSERT_EQ(log.rowCount(), 100);
    EXPECT_EQ(log.cellText(0, 1), "line 101");
    EXPECT_EQ(log.cellText(99, 1), "line 2");
    log.append(time, "");
    EXPECT_EQ(log.cellText(0, 0), "2004/03/07 09:05:02");
    EXPECT_EQ(log.cellText(0, 1), "");
}

TEST(EventLog, TimestampIsZeroPadded) {
    EXPECT_EQ(formatTimestamp({2004, 3, 7, 9, 5, 2}), "2004/03/07 09:05:02");
    EXPECT_EQ(formatTimestamp({2026, 12, 31, 23, 59, 59}), "2026/12/31 23:59:59");
}

}  // namespace
}  // namespace kestrova
