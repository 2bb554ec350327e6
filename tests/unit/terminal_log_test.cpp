#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Fakes.h"
#include "ui/EventLog.h"
#include "terminal/TerminalLog.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;

struct LineCase {
    const char* name;
    std::string text;
    std::string line;
};

class TerminalLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(TerminalLineTest, OneLineWhateverTheText) {
    EXPECT_EQ(terminalLine("2004/03/07 09:05:02", GetParam().text), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    All, TerminalLineTest,
    ::testing::Values(
        LineCase{"Japanese", "(a.out)の(127.0.0.1:80)との接続状態を破棄しました。",
                 "2004/03/07 09:05:02\t(a.out)の(127.0.0.1:80)との接続状態を破棄しました。\n"},
        LineCase{"Empty", "", "2004/03/07 09:05:02\t\n"},
        LineCase{"LineBreaks", "a\nb\r\nc", "2004/03/07 09:05:02\ta?b??c\n"},
        LineCase{"TabsAndNul", std::string("a\tb\0c", 5), "2004/03/07 09:05:02\ta?b?c\n"},
        LineCase{"TerminalEscape", "\x1b]0;owned\x07name\x7f", "2004/03/07 09:05:02\t?]0;owned?name?\n"},
        // U+009B is a control sequence introducer of its own; U+00A9 and
        // everything above it is text.
        LineCase{"C1Controls", "\xc2\x9b" "2J\xc2\x80\xc2\xa9", "2004/03/07 09:05:02\t?2J?\xc2\xa9\n"},
        LineCase{"LoneLeadByteAtTheEnd", "x\xc2", "2004/03/07 09:05:02\tx\xc2\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stream runs forward in time: every line, oldest first, however few the
// pane keeps (the dialog tells the terminal of every line, see
// MainDialogListener).
TEST(TerminalLogTest, WritesEveryLineOldestFirst) {
    std::vector<std::string> written;
    TerminalLog terminal([&](std::string_view line) {
        written.emplace_back(line);
        return true;
    }, {});
    ManualClock clock;
    constexpr int kLines = EventLog::kMaxLines + 50;
    for (int i = 0; i < kLines; ++i) {
        clock.time.second = i % 60;
        terminal.logged(clock.time, {LogKind::Option, "line " + std::to_string(i)});
    }
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kLines));
    EXPECT_EQ(written.front(), "2004/03/07 09:05:00\tline 0\n");
    EXPECT_EQ(written.back(), "2004/03/07 09:05:29\tline 149\n");
}

TEST(TerminalLogTest, AFailedWriteIsReportedOnceAndEndsTheOutput) {
    int attempts = 0;
    int failures = 0;
    TerminalLog terminal(
        [&](std::string_view) {
            ++attempts;
            return attempts < 2;
        },
        [&] { ++failures; });
    for (int i = 0; i < 5; ++i) terminal.logged(LocalTime{}, {LogKind::Option, "x"});
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(terminal.failed());
}

TEST(TerminalLogTest, AFormatGetsTheTextAsTheTerminalShowsIt) {
    std::string written;
    TerminalLog terminal(
        [&](std::string_view line) {
            written += line;
            return true;
        },
        {},
        [](const LocalTime& time, const LogEvent& event, std::string_view shown) {
            return formatRfc3339(time) + " " + std::string(logKindWord(event.kind)) + " " + std::string(shown) + "\n";
        });
    terminal.logged(LocalTime{2004, 3, 7, 9, 5, 2, 7, -(3 * 3600 + 30 * 60)}, {LogKind::Name, "a\nb"});
    EXPECT_EQ(written, "2004-03-07T09:05:02.007-03:30 name a?b\n");
}

}  // namespace
}  // namespace kestrova
