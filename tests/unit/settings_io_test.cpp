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

}  // namespace
}  // namespace kestrova
