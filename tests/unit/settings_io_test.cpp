#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Fakes.h"
#include "options/SettingsIo.h"

namespace kestrova {
namespace {

using RecordingProfileFile = testing::MemoryProfileFile;

TEST(SettingsIo, MissingKeysGetDefaults) {
    RecordingProfileFile file;
    ProfileStore store(file, {});
    EXPECT_EQ(loadSettings(store), Settings{});
    // showHostname and checkPacket default to stored values other than the
    // "yes" value, alwaysOnTop to the "yes" value itself.
    file.contents = "[1040315]\nalpha=1\n";
    const Settings s = loadSettings(store);
    EXPECT_TRUE(s.alwaysOnTop);
    EXPECT_FALSE(s.showHostname);
    EXPECT_FALSE(s.checkPacket);
}

struct FlagCase {
    std::int32_t stored;
    bool expected;
};

class FlagDecodingTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(FlagDecodingTest, OnlyTheYesValueIsTrueForEveryFlag) {
    const FlagCase& c = GetParam();
    EXPECT_EQ(decodeFlag(c.stored), c.expected);
    const std::string v = std::to_string(c.stored);
    RecordingProfileFile file;
    file.contents = "[1040315]\nalwaysOnTop=" + v + "\nshowHostname=" + v + "\ncheckPacket=" + v + "\n";
    ProfileStore store(file, {});
    const Settings s = loadSettings(store);
    EXPECT_EQ(s.alwaysOnTop, c.expected);
    EXPECT_EQ(s.showHostname, c.expected);
    EXPECT_EQ(s.checkPacket, c.expected);
}

INSTANTIATE_TEST_SUITE_P(StoredValues, FlagDecodingTest,
                         ::testing::Values(FlagCase{1040315, true}, FlagCase{36, false}, FlagCase{1, false},
                                           FlagCase{0, false}, FlagCase{-1040315, false},
                                           FlagCase{1040316, false}));

TEST(SettingsIo, ValuesAreTakenWithoutRangeChecks) {
    RecordingProfileFile file;
    file.contents =
        "[1040315]\r\nalpha=999\r\nnetstatInterval=-5\r\nactiveMark=\r\n";
    ProfileStore store(file, {});
    const Settings s = loadSettings(store);
    EXPECT_EQ(s.alpha, 999);
    EXPECT_EQ(s.netstatInterval, -5);
    EXPECT_EQ(s.activeMark, "");
}

TEST(SettingsIo, SaveWritesSixKeysInOrder) {
    RecordingProfileFile file;
    ProfileStore store(file, {});
    Settings s;
    s.showHostname = true;
    s.alwaysOnTop = false;
    s.checkPacket = true;
    s.alpha = -3;
    s.activeMark = "●";
    s.netstatInterval = 250;
    saveSettings(store, s);
    EXPECT_EQ(file.contents,
              "[1040315]\n"
              "alpha=-3\n"
              "alwaysOnTop=36\n"
              "showHostname=1040315\n"
              "checkPacket=1040315\n"
              "activeMark=●\n"
              "netstatInterval=250\n");
    EXPECT_EQ(file.attempts.size(), 6u);
    EXPECT_EQ(loadSettings(store), s);
}

TEST(SettingsIo, SaveKeepsForeignContent) {
    RecordingProfileFile file;
    const std::string foreign = "; mine\r\n[other]\r\nalpha=7\r\n\r\n";
    file.contents = foreign + "[1040315]\r\nalpha=1\r\nextra=x\r\n";
    ProfileStore store(file, {});
    saveSettings(store, Settings{});
    EXPECT_EQ(file.contents, foreign +
                                 "[1040315]\r\nalpha=180\r\nextra=x\r\nalwaysOnTop=1040315\r\nshowHostname=36\r\n"
                                 "checkPacket=36\r\nactiveMark=▼\r\nnetstatInterval=100\r\n");
}

TEST(SettingsIo, FailedWritesDoNotStopTheRest) {
    RecordingProfileFile file;
    file.failReplace = true;
    ProfileStore store(file, {});
    saveSettings(store, Settings{});
    ASSERT_EQ(file.attempts.size(), 6u);
    const char* keys[] = {"alpha=", "alwaysOnTop=", "showHostname=", "checkPacket=", "activeMark=", "netstatInterval="};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NE(file.attempts[i].find(keys[i]), std::string::npos) << keys[i];
}

// What the user hears of trouble with the profile: one line for each kind of
// trouble, naming the file, what went wrong and what the program does instead;
// nothing at all for a profile that is fine.
struct NoticeCase {
    const char* name;
    std::optional<std::string> contents;
    bool unreadable = false;
    bool failReplace = false;
    int loads = 1;
    bool save = false;
    std::vector<std::string> lines;
};

class ProfileNoticeTest : public ::testing::TestWithParam<NoticeCase> {};

TEST_P(ProfileNoticeTest, OneLineForEachTrouble) {
    const NoticeCase& c = GetParam();
    RecordingProfileFile file(c.contents);
    file.unreadable = c.unreadable;
    file.failReplace = c.failReplace;
    std::vector<std::string> told;
    ProfileStore store(file, {}, {"/home/u/.config/k.INI", [&](std::string_view line) { told.emplace_back(line); }});
    Settings settings;
    for (int i = 0; i < c.loads; ++i) settings = loadSettings(store);
    if (c.save) {
        const bool toldOfTheSave = !c.lines.empty() && c.lines.back().starts_with("cannot save");
        EXPECT_EQ(saveSettings(store, settings), !toldOfTheSave);
    }
    EXPECT_EQ(told, c.lines);
}

const std::string kUnreadableLine =
    "cannot read the profile /home/u/.config/k.INI (Permission denied): the default options are used, and the "
    "file is left as it is";

INSTANTIATE_TEST_SUITE_P(
    Troubles, ProfileNoticeTest,
    ::testing::Values(
        NoticeCase{"NoProfile", std::nullopt, false, false, 1, true, {}},
        NoticeCase{"ProfileThatIsFine", "[1040315]\nalpha=300\nnetstatInterval=7\n", false, false, 1, true, {}},
        NoticeCase{"NumbersWithSomethingAfterThem", "[1040315]\nalpha=-5x\nnetstatInterval= 100ms\n", false, false,
                   1, false, {}},
        NoticeCase{"UnreadableToldOnceThoughReadTwelveTimes", std::nullopt, true, false, 2, false, {kUnreadableLine}},
        NoticeCase{"UnreadableAndThenTheExit",
                   std::nullopt,
                   true,
                   false,
                   1,
                   true,
                   {kUnreadableLine,
                    "cannot save the options to the profile /home/u/.config/k.INI (it cannot be read (Permission "
                    "denied), and saving would replace what it holds): they were not saved"}},
        NoticeCase{"ExitThatCannotWrite",
                   std::nullopt,
                   false,
                   true,
                   1,
                   true,
                   {"cannot save the options to the profile /home/u/.config/k.INI (No space left on device): they "
                    "were not saved"}},
        NoticeCase{"IntervalNotANumber",
                   "[1040315]\nnetstatInterval=abc\n",
                   false,
                   false,
                   1,
                   false,
                   {"in the profile /home/u/.config/k.INI, netstatInterval=abc is not a number: it reads as 0, and "
                    "the connections are refreshed every 10 ms"}},
        NoticeCase{"AlphaNotANumberShownAsPlainText",
                   "[1040315]\nalpha=\x1b[2J\n",
                   false,
                   false,
                   1,
                   false,
                   {"in the profile /home/u/.config/k.INI, alpha=\\x1b[2J is not a number: it reads as 0, which "
                    "makes the window fully transparent"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
