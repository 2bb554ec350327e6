// The list's typed writes make the same cells the refresh, the accounting and
// the host name pass wrote as text before.
#include <gtest/gtest.h>

#include "Fakes.h"
#include "monitor/ConnectionList.h"
#include "platform/ConnectionTable.h"

namespace kestrova {
namespace {

using testing::ipv6;

std::vector<std::string> rowCells(const ConnectionList& list, int row) {
    std::vector<std::string> cells;
    for (int column = 0; column < kConnectionColumns; ++column) cells.push_back(cellText(list, row, column));
    return cells;
}

TEST(ConnectionWrites, InsertMakesEveryCell) {
    const IpAddress linkLocal = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 2}), peer = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1});
    struct Case {
        NewConnection connection;
        std::vector<std::string> cells;
    } cases[] = {
        {{{10, 0, 0, 2}, {192, 0, 2, 9}, 51000, 443, {}, 3100, 5, "/usr/bin/curl"},
         {"TCP", "", "10.0.0.2:51000", "→", "192.0.2.9:443", "ESTABLISHED", "/usr/bin/curl", "3100", "新規",
          "10.0.0.2", "", "51000", "192.0.2.9", "", "443", "0"}},
        {{{0, 0, 0, 0}, {0, 0, 0, 0}, 22, 0, {}, 0, 2, "System Idle Process"},
         {"TCP", "", "0.0.0.0:22", "→", "0.0.0.0:0", "LISTEN", "System Idle Process", "0", "新規", "0.0.0.0", "",
          "22", "0.0.0.0", "", "0", "0"}},
        {{linkLocal, peer, 65535, 1, "wl\tan", kPidNotVisible, 13, "System (4000)"},
         {"TCP", "", "[fe80::2%wl\\x09an]:65535", "→", "[fe80::1%wl\\x09an]:1", "UNKNOWN(13)", "System (4000)",
          "", "新規", "fe80::2%wl\\x09an", "", "65535", "fe80::1%wl\\x09an", "", "1", "0"}},
    };
    for (const Case& c : cases) {
        ConnectionList list;
        EXPECT_EQ(list.insert(c.connection), 0);
        EXPECT_EQ(rowCells(list, 0), c.cells) << c.cells[colSource];
    }
}

TEST(ConnectionWrites, NamesStateBytesMarks) {
    ConnectionList list;
    list.insert({{10, 0, 0, 2}, {10, 0, 0, 5}, 51002, 5432, {}, 5000, 5, "System"});
    list.fillName(0, RowSide::Remote, "db.internal");
    EXPECT_EQ(cellText(list, 0, colDestination), "10.0.0.5:5432");  // shown from the next refresh
    list.setShownEnds(0, true);
    EXPECT_EQ(cellText(list, 0, colSource), "10.0.0.2:51002");
    EXPECT_EQ(cellText(list, 0, colDestination), "db.internal:5432");
    list.setShownEnds(0, false);
    EXPECT_EQ(cellText(list, 0, colDestination), "10.0.0.5:5432");

    list.setState(0, 8);
    EXPECT_EQ(cellText(list, 0, colState), "CLOSE_WAIT");
    list.setState(0, 4294967295u);
    EXPECT_EQ(cellText(list, 0, colState), "UNKNOWN(4294967295)");

    list.addBytes(0, 0xFFFFFFFFu);
    list.addBytes(0, 0xFFFFFFFFu);
    EXPECT_EQ(cellText(list, 0, colTotalBytes), "8589934590");
    EXPECT_EQ(cellText(list, 0, colActive), "");  // a total alone leaves the mark as it was
    list.setActive(0, "▼");
    EXPECT_EQ(cellText(list, 0, colActive), "▼8589934590");
    list.addBytes(0, 10);
    EXPECT_EQ(cellText(list, 0, colActive), "▼8589934590");
    list.clearActive(0);
    EXPECT_EQ(cellText(list, 0, colActive), "");

    const std::pair<SeenMark, std::string_view> marks[] = {
        {SeenMark::Updated, "更新"}, {SeenMark::None, ""}, {SeenMark::New, "新規"}};
    for (const auto& [seen, text] : marks) {
        list.setSeen(0, seen);
        EXPECT_EQ(cellText(list, 0, colSeen), text);
    }
}

}  // namespace
}  // namespace kestrova
