#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "monitor/ConnectionList.h"
#include "monitor/HostNameText.h"
#include "text/Utf8.h"

namespace kestrova {
namespace {

struct NameCase {
    const char* what;
    std::optional<std::string> answer;
    std::optional<std::string> shown;
};

class DisplayableHostNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DisplayableHostNameTest, IsPlainTextOfOneLine) {
    const NameCase& c = GetParam();
    const std::optional<std::string> shown = displayableHostName(c.answer);
    EXPECT_EQ(shown, c.shown);
    if (!shown) return;
    EXPECT_TRUE(isValidUtf8(*shown));
    EXPECT_LE(shown->size(), HOST_NAME_MAX_BYTES);
    EXPECT_TRUE(std::none_of(shown->begin(), shown->end(), [](char ch) {
        return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
    }));
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) text.append(piece);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayableHostNameTest,
    ::testing::Values(
        NameCase{"no answer", std::nullopt, std::nullopt},
        NameCase{"empty answer", "", std::nullopt},
        NameCase{"the failure text itself", "No Name...", std::nullopt},
        NameCase{"failure text as a prefix", "No Name....example", "No Name....example"},
        NameCase{"plain", "host-1.example.org", "host-1.example.org"},
        NameCase{"utf-8 kept", "サーバー.example", "サーバー.example"},
        NameCase{"line break and tab", "a\nb\tc\r", "a\\x0ab\\x09c\\x0d"},
        NameCase{"terminal escape", "\x1b[2Jx\x7f", "\\x1b[2Jx\\x7f"},
        NameCase{"an escape written out", "a\\x0ab\\", "a\\x5cx0ab\\x5c"},
        NameCase{"bytes that are not utf-8", "a\xff\xfe" "b\xc0\xaf", "a\\xff\\xfeb\\xc0\\xaf"},
        NameCase{"cut utf-8 sequence at the end", "ab\xe3\x82", "ab\\xe3\\x82"},
        NameCase{"c1 control and line separator", "a\xc2\x85" "b\xe2\x80\xa8", "a\\u0085b\\u2028"},
        NameCase{"right-to-left override", "evil\xe2\x80\xae" "gpj.exe", "evil\\u202egpj.exe"},
        NameCase{"long ascii", std::string(5000, 'a'), std::string(HOST_NAME_MAX_BYTES, 'a')},
        // 1023 is not a multiple of 3: the last whole character ends at 1020.
        NameCase{"long utf-8 cut between characters", repeat("あ", 400), repeat("あ", 341)},
        NameCase{"cut after an ascii byte", "a" + repeat("あ", 400), "a" + repeat("あ", 340)},
        NameCase{"escape not split at the end", std::string(1020, 'a') + "\x01", std::string(1020, 'a')}),
    [](const ::testing::TestParamInfo<NameCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// What a walk over every row finds: the addresses without a name in the
// order the walk first meets them (last row first, local before remote), and
// the row ends of each.
struct Walk {
    std::vector<std::string> addresses;
    std::map<std::string, std::vector<UnnamedSide>> ends;
};
Walk walkForUnnamed(const ConnectionList& list) {
    Walk walk;
    for (int row = list.rowCount() - 1; row >= 0; --row) {
        for (RowSide side : {RowSide::Local, RowSide::Remote}) {
            const bool local = side == RowSide::Local;
            const std::string& address = cellText(list, row, local ? colLocalIp : colRemoteIp);
            if (address.empty() || !cellText(list, row, local ? colLocalHost : colRemoteHost).empty()) continue;
            auto& ends = walk.ends[address];
            if (ends.empty()) walk.addresses.push_back(address);
            ends.push_back({list.serialAt(row), side});
        }
    }
    return walk;
}

TEST(AddressIndex, FollowsEveryChangeToTheRows) {
    // Random inserts, removals and cell writes; after each step the index
    // must answer what a walk over the rows answers.
    ConnectionList list;
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> addresses = {"10.0.0.1", "10.0.0.2", "10.0.0.3", ""};
    const std::vector<std::string> names = {"", "", "a.example", "b.example"};
    const int columns[] = {colLocalIp, colLocalHost, colRemoteIp, colRemoteHost};
    for (int step = 0; step < 3000; ++step) {
        const int action = list.rowCount() < 5 ? 0 : pick(5);
        if (action == 0) {
            std::vector<std::string> cells(kConnectionColumns);
            for (int column : columns) {
                const bool address = column == colLocalIp || column == colRemoteIp;
                cells[column] = address ? addresses[pick(4)] : names[pick(4)];
            }
            list.insertRow(std::move(cells));
        } else if (action == 1) {
            list.deleteRow(pick(list.rowCount()));
        } else if (action == 2) {
            const int keep = pick(3);
            list.removeRowsWhere([&](int row) { return row % 3 == keep; });
        } else {
            const int column = columns[pick(4)];
            const bool address = column == colLocalIp || column == colRemoteIp;
            list.setCellText(pick(list.rowCount()), column, address ? addresses[pick(4)] : names[pick(4)]);
        }
        const Walk walk = walkForUnnamed(list);
        ASSERT_EQ(list.unnamedAddresses().unnamedAddresses(), walk.addresses) << "step " << step;
        for (const auto& [address, ends] : walk.ends)
            ASSERT_EQ(list.unnamedAddresses().unnamedSides(address), ends) << "step " << step;
    }
}

}  // namespace
}  // namespace kestrova
