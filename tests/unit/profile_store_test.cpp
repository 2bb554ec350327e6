#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Fakes.h"
#include "options/ProfileStore.h"
#include "text/Utf8.h"

namespace kestrova {
namespace {

using testing::MemoryProfileFile;

// Stands in for the code page conversion: knows one character and records
// what it was asked to convert.
struct FakeDecoder {
    std::vector<std::string>* calls;
    std::string operator()(std::string_view bytes) const {
        calls->emplace_back(bytes);
        std::string out;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes.substr(i, 2) == "\x81\xA5") {
                out += "▼";
                ++i;
            } else {
                out += bytes[i];
            }
        }
        return out;
    }
};

struct ReadIntCase {
    const char* name;
    std::optional<std::string> file;
    const char* section;
    const char* key;
    std::int32_t expected;
};

class ReadIntTest : public ::testing::TestWithParam<ReadIntCase> {};

TEST_P(ReadIntTest, ReadsLeadingDecimalOrDefault) {
    const ReadIntCase& c = GetParam();
    MemoryProfileFile file(c.file);
    ProfileStore store(file, {});
    EXPECT_EQ(store.readInt(c.section, c.key, -99), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ReadIntTest,
    ::testing::Values(
        ReadIntCase{"AbsentFile", std::nullopt, "s", "k", -99},
        ReadIntCase{"AbsentSection", "[t]\nk=5\n", "s", "k", -99},
        ReadIntCase{"AbsentKey", "[s]\nother=5\n", "s", "k", -99},
        ReadIntCase{"Plain", "[s]\nk=42\n", "s", "k", 42},
        ReadIntCase{"NoDigits", "[s]\nk=abc\n", "s", "k", 0},
        ReadIntCase{"EmptyValueIsTheDefault", "[s]\nk=\n", "s", "k", -99},
        ReadIntCase{"TrailingText", "[s]\nk=12abc\n", "s", "k", 12},
        ReadIntCase{"LeadingSpaceAndMinus", "[s]\nk= -7\n", "s", "k", -7},
        ReadIntCase{"TwoSignsStop", "[s]\nk=--8\n", "s", "k", 0},
        ReadIntCase{"SpaceInsideQuotes", "[s]\nk=\" 13\"\n", "s", "k", 13},
        ReadIntCase{"IntMin", "[s]\nk=-2147483648\n", "s", "k", INT32_MIN},
        ReadIntCase{"WrapsPastUint32", "[s]\nk=4294967297\n", "s", "k", 1},
        // 10^10000 is a multiple of 2^32, so 10^10000 - 1 wraps to -1.
        ReadIntCase{"HugeDigitRun", "[s]\nk=" + std::string(10000, '9') + "\n", "s", "k", -1},
        ReadIntCase{"SectionCaseInsensitive", "[SeCtIoN]\nk=3\n", "section", "k", 3},
        ReadIntCase{"KeyCaseInsensitive", "[s]\nAlPhA=4\n", "s", "alpha", 4},
        ReadIntCase{"BlanksAroundNames", "  [ s ]  \n  k  =  6  \n", "s", "k", 6},
        ReadIntCase{"CrLf", "[s]\r\nk=9\r\n", "s", "k", 9},
        ReadIntCase{"FirstDuplicateKeyWins", "[s]\nk=1\nk=2\n", "s", "k", 1},
        ReadIntCase{"FirstDuplicateSectionWins", "[s]\na=1\n[s]\nk=2\n", "s", "k", -99},
        ReadIntCase{"KeyBeforeAnySectionIgnored", "k=1\n[s]\n", "s", "k", -99},
        ReadIntCase{"CommentedKeyIgnored", "[s]\n;k=1\n k=2\n", "s", "k", 2},
        ReadIntCase{"LineWithoutEqualsIgnored", "[s]\nk\nk=3\n", "s", "k", 3},
        ReadIntCase{"UnclosedBracketIsNotAHeader", "[s]\n[oops\nk=4\n", "s", "k", 4},
        ReadIntCase{"ByteOrderMark", "\xEF\xBB\xBF[s]\nk=5\n", "s", "k", 5}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReadStringCase {
    const char* name;
    std::optional<std::string> file;
    std::string expected;
};

class ReadStringTest : public ::testing::TestWithParam<ReadStringCase> {};

TEST_P(ReadStringTest, ReadsTrimmedUnquotedValue) {
    const ReadStringCase& c = GetParam();
    MemoryProfileFile file(c.file);
    std::vector<std::string> calls;
    ProfileStore store(file, FakeDecoder{&calls});
    EXPECT_EQ(store.readString("s", "k", "<default>"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ReadStringTest,
    ::testing::Values(ReadStringCase{"AbsentFile", std::nullopt, "<default>"},
                      ReadStringCase{"AbsentSection", "[t]\nk=x\n", "<default>"},
                      ReadStringCase{"AbsentKey", "[s]\nj=x\n", "<default>"},
                      ReadStringCase{"EmptyIsNotDefault", "[s]\nk=\n", ""},
                      ReadStringCase{"Trimmed", "[s]\nk=  a b  \r\n", "a b"},
                      ReadStringCase{"QuotesRemoved", "[s]\nk= \" a b \" \n", " a b "},
                      ReadStringCase{"OnlyOnePairOfQuotes", "[s]\nk=\"\"x\"\"\n", "\"x\""},
                      ReadStringCase{"UnmatchedQuoteKept", "[s]\nk=\"x\n", "\"x"},
                      ReadStringCase{"LegacyMark", "[s]\nk=\x81\xA5\n", "▼"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileStoreRead, LegacyDecoderOnlySeesValuesThatAreNotUtf8) {
    MemoryProfileFile file(std::string("[s]\nutf=\xE2\x96\xBC\nold=\"\x81\xA5\"\n"));
    std::vector<std::string> calls;
    ProfileStore store(file, FakeDecoder{&calls});
    EXPECT_EQ(store.readString("s", "utf", ""), "▼");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(store.readString("s", "old", ""), "▼");
    EXPECT_EQ(calls, std::vector<std::string>{"\x81\xA5"});
}

TEST(ProfileStoreRead, EveryCallReadsTheFileAgain) {
    MemoryProfileFile file(std::string("[s]\nk=1\n"));
    ProfileStore store(file, {});
    EXPECT_EQ(store.readInt("s", "k", 0), 1);
    file.contents = "[s]\nk=2\n";
    EXPECT_EQ(store.readInt("s", "k", 0), 2);
}

struct CutCase {
    const char* name;
    std::string value;
    std::size_t expectedBytes;
};

class ReadStringCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(ReadStringCutTest, CutsAtCharacterBoundaryWithinLimit) {
    const CutCase& c = GetParam();
    MemoryProfileFile file("[s]\nk=" + c.value + "\n");
    std::vector<std::string> calls;
    ProfileStore store(file, FakeDecoder{&calls});
    const std::string got = store.readString("s", "k", "");
    EXPECT_EQ(got.size(), c.expectedBytes);
    EXPECT_TRUE(isValidUtf8(got));
}

// "▼" is three bytes in UTF-8; 1365 of them are exactly 4095 bytes.
INSTANTIATE_TEST_SUITE_P(
    Limits, ReadStringCutTest,
    ::testing::Values(CutCase{"AsciiExactlyAtLimit", std::string(4095, 'a'), 4095},
                      CutCase{"AsciiOverLimit", std::string(5000, 'a'), 4095},
                      CutCase{"ThreeByteCharsExactlyAtLimit", [] {
                                  std::string s;
                                  for (int i = 0; i < 1365; ++i) s += "▼";
                                  return s;
                              }(), 4095},
                      CutCase{"ThreeByteCharStraddlesLimit", [] {
                                  std::string s = "a";
                                  for (int i = 0; i < 1400; ++i) s += "▼";
                                  return s;
                              }(), 4093},
                      CutCase{"FourByteCharStraddlesLimit", std::string(4093, 'a') + "😀", 4093},
                      CutCase{"LegacyValueCutAfterDecoding", [] {
                                  std::string s = "a";
                                  for (int i = 0; i < 2000; ++i) s += "\x81\xA5";
                                  return s;
                              }(), 4093}),
    [](const auto& info) { return std::string(info.param.name); });

struct WriteCase {
    const char* name;
    std::optional<std::string> before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

class WriteStringTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteStringTest, ChangesOnlyTheKeyLine) {
    const WriteCase& c = GetParam();
    MemoryProfileFile file(c.before);
    ProfileStore store(file, {});
    ASSERT_TRUE(store.writeString(c.section, c.key, c.value));
    EXPECT_EQ(file.contents, c.after);
    EXPECT_EQ(store.readString(c.section, c.key, "<default>"), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, WriteStringTest,
    ::testing::Values(
        WriteCase{"NewFile", std::nullopt, "s", "k", "v", "[s]\nk=v\n"},
        WriteCase{"ReplaceInPlaceKeepingCrLfAndNeighbours",
                  "; top\r\n[a]\r\nx=1\r\n\r\n[S]\r\n;note\r\nK=old\r\nnoequals\r\ny=2\r\n[b]\r\nk=3\r\n", "s", "k", "new",
                  "; top\r\n[a]\r\nx=1\r\n\r\n[S]\r\n;note\r\nK=new\r\nnoequals\r\ny=2\r\n[b]\r\nk=3\r\n"},
        WriteCase{"ReplaceKeepsBlanksAroundEquals", "[s]\n  k = old  \n", "s", "k", "new", "[s]\n  k = new\n"},
        WriteCase{"ReplaceLastLineWithoutNewline", "[s]\nk=old", "s", "k", "new", "[s]\nk=new"},
        WriteCase{"ReplaceFirstDuplicateOnly", "[s]\nk=1\nk=2\n[s]\nk=3\n", "s", "k", "9",
                  "[s]\nk=9\nk=2\n[s]\nk=3\n"},
        WriteCase{"AddKeyAfterLastKeyBeforeSeparator", "[s]\na=1\n\n; about t\n[t]\nb=2\n", "s", "k", "v",
                  "[s]\na=1\nk=v\n\n; about t\n[t]\nb=2\n"},
        WriteCase{"AddKeyUsesFileLineEnding", "[s]\r\na=1\r\n", "s", "k", "v", "[s]\r\na=1\r\nk=v\r\n"},
        WriteCase{"AddKeyAfterHeaderWithoutNewline", "[s]", "s", "k", "v", "[s]\nk=v\n"},
        WriteCase{"AddKeyToFirstDuplicateSection", "[s]\na=1\n[s]\nb=2\n", "s", "k", "v",
                  "[s]\na=1\nk=v\n[s]\nb=2\n"},
        WriteCase{"AddSectionAtEnd", "[t]\r\nb=2\r\n", "s", "k", "v", "[t]\r\nb=2\r\n[s]\r\nk=v\r\n"},
        WriteCase{"AddSectionAfterLastLineWithoutNewline", "; c", "s", "k", "v", "; c\n[s]\nk=v\n"},
        WriteCase{"AddSectionKeepsByteOrderMark", "\xEF\xBB\xBF", "s", "k", "v", "\xEF\xBB\xBF[s]\nk=v\n"},
        WriteCase{"Utf8Value", std::nullopt, "s", "k", "▼", "[s]\nk=▼\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RejectedWrite {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
};

class RejectedWriteTest : public ::testing::TestWithParam<RejectedWrite> {};

TEST_P(RejectedWriteTest, LeavesFileAlone) {
    const RejectedWrite& c = GetParam();
    MemoryProfileFile file(std::string("[s]\nk=1\n"));
    ProfileStore store(file, {});
    EXPECT_FALSE(store.writeString(c.section, c.key, c.value));
    EXPECT_EQ(file.attempts.size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Names, RejectedWriteTest,
                         ::testing::Values(RejectedWrite{"NewlineInValue", "s", "k", "a\n[x]"},
                                           RejectedWrite{"EmptyKey", "s", " ", "v"},
                                           RejectedWrite{"EqualsInKey", "s", "a=b", "v"},
                                           RejectedWrite{"CommentKey", "s", ";k", "v"},
                                           RejectedWrite{"EmptySection", "", "k", "v"},
                                           RejectedWrite{"BracketInSection", "a]b", "k", "v"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileStoreWrite, ReportsFailedReplace) {
    MemoryProfileFile file(std::string("[s]\nk=1\n"));
    file.failReplace = true;
    ProfileStore store(file, {});
    EXPECT_FALSE(store.writeString("s", "k", "2"));
    EXPECT_EQ(store.readInt("s", "k", 0), 1);
}

// A file that is there but unreadable reads as defaults, like a missing one,
// but is never replaced: a missing one is created.
TEST(ProfileStoreWrite, UnreadableFileIsNeverReplaced) {
    for (bool unreadable : {true, false}) {
        MemoryProfileFile file(unreadable ? std::optional<std::string>("[s]\nk=1\n") : std::nullopt);
        file.unreadable = unreadable;
        ProfileStore store(file, {});
        EXPECT_EQ(store.readInt("s", "k", 7), 7);
        EXPECT_EQ(store.readString("s", "k", "d"), "d");
        EXPECT_EQ(store.writeString("s", "k", "2"), !unreadable);
        EXPECT_EQ(file.attempts.size(), unreadable ? 0u : 1u);
    }
}

// Random bytes, with some INI punctuation mixed in so that headers, keys and
// line endings turn up. Reads must not crash, and a write must read back.
TEST(ProfileStoreRobustness, RandomBytesNeitherCrashNorLoseTheWrite) {
    std::mt19937 rng(20240315);
    const std::string alphabet = "[]=;\"\r\n 1040315kK";
    std::vector<std::string> calls;
    for (int round = 0; round < 300; ++round) {
        std::string bytes(rng() % 4000, '\0');
        for (char& c : bytes) {
            c = (rng() % 3 == 0) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() & 0xFF);
        }
        if (round % 10 == 0) bytes.insert(rng() % (bytes.size() + 1), "\n[1040315]\nk=");
        MemoryProfileFile file(bytes);
        ProfileStore store(file, FakeDecoder{&calls});
        (void)store.readInt("1040315", "k", 0);
        EXPECT_LE(store.readString("1040315", "k", "").size(), ProfileStore::MAX_VALUE_BYTES);
        ASSERT_TRUE(store.writeString("1040315", "k", "written"));
        EXPECT_EQ(store.readString("1040315", "k", ""), "written") << "round " << round;
    }
}

TEST(ProfileStoreRobustness, LargeFileWithManyLines) {
    std::string big;
    for (int i = 0; i < 200000; ++i) big += "[s" + std::to_string(i) + "]\nkey=" + std::to_string(i) + "\n";
    MemoryProfileFile file(big);
    ProfileStore store(file, {});
    EXPECT_EQ(store.readInt("s199999", "key", -1), 199999);
    ASSERT_TRUE(store.writeString("s100000", "key", "x"));
    EXPECT_EQ(file.contents->size(), big.size() - 5);
}

struct Utf8Case {
    const char* name;
    std::string text;
    bool valid;
};

class Utf8ValidityTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ValidityTest, Classifies) { EXPECT_EQ(isValidUtf8(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8ValidityTest,
                         ::testing::Values(Utf8Case{"ThreeByte", "▼", true},
                                           Utf8Case{"Truncated", "\xE2\x96", false},
                                           Utf8Case{"LoneContinuation", "\x81\xA5", false},
                                           Utf8Case{"Overlong", "\xC0\xAF", false},
                                           Utf8Case{"Surrogate", "\xED\xA0\x80", false},
                                           Utf8Case{"AboveUnicode", "\xF4\x90\x80\x80", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
