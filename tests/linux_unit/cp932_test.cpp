#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/Utf8.h"
#include "linux/Cp932.h"

namespace kestrova {
namespace {

struct Cp932Case {
    const char* name;
    std::string bytes;
    std::string utf8;
};

class Cp932Test : public ::testing::TestWithParam<Cp932Case> {};

TEST_P(Cp932Test, Converts) { EXPECT_EQ(cp932ToUtf8(GetParam().bytes), GetParam().utf8); }

INSTANTIATE_TEST_SUITE_P(
    Texts, Cp932Test,
    ::testing::Values(Cp932Case{"Empty", "", ""},
                      Cp932Case{"Ascii", "abc 123", "abc 123"},
                      Cp932Case{"DownTriangle", "\x81\xA5", "▼"},
                      Cp932Case{"Kanji", "\x93\xFA\x96\x7B", "日本"},
                      Cp932Case{"HalfWidthKana", "\xB1", "ｱ"},
                      Cp932Case{"UndefinedByte", "a\xA0z", "a\xEF\xBF\xBDz"},
                      Cp932Case{"LeadByteAtEnd", "a\x81", "a\xEF\xBF\xBD"},
                      Cp932Case{"BadTrailKeepsFollowingAscii", "\x81\x20x", "\xEF\xBF\xBD x"},
                      Cp932Case{"EmbeddedNul", std::string("a\0b", 3), std::string("a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cp932Robustness, RandomBytesGiveValidUtf8) {
    std::mt19937 rng(932);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(rng() % 2000, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
        const std::string out = cp932ToUtf8(bytes);
        EXPECT_TRUE(isValidUtf8(out)) << "round " << round;
    }
}

}  // namespace
}  // namespace kestrova
