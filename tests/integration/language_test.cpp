// The program in the user's language, seen from outside: --help, the header
// line of --list and the lines of --log --json, under English, Japanese and C
// locales (scripts/test.sh makes the locales).
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "LoopbackSockets.h"
#include "Subprocess.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::kPatience;
using testing::Subprocess;

struct Language {
    const char* name;
    const char* lang;
    std::optional<std::string> language;  // LANGUAGE
    bool english;
};

const Language kLanguages[] = {
    {"English", "en_US.UTF-8", std::nullopt, true},
    {"EnglishByLanguage", "ja_JP.UTF-8", "en", true},
    {"LanguageOverCUtf8", "C.UTF-8", "en", true},
    {"CUtf8", "C.UTF-8", std::nullopt, false},
    {"Japanese", "ja_JP.UTF-8", std::nullopt, false},
    // As gettext has it: the C locale ignores LANGUAGE.
    {"LanguageUnderC", "C", "en", false},
};

std::vector<std::string> environmentFor(const Language& language) {
    auto changes = testing::withoutDisplay();
    changes["LANG"] = language.lang;
    changes["LANGUAGE"] = language.language;
    changes["LC_ALL"] = std::nullopt;
    changes["LC_MESSAGES"] = std::nullopt;
    // No profile of the user's: the defaults.
    changes["XDG_CONFIG_HOME"] = (std::filesystem::temp_directory_path() / "kestrova-language-none").string();
    return testing::environmentWith(changes);
}

bool plainAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

TEST(LanguageTest, HelpIsTheSameEnglishInEveryLanguage) {
    std::optional<std::string> first;
    for (const Language& language : kLanguages) {
        Subprocess child({KESTROVA_BINARY, "--help"}, environmentFor(language));
        ASSERT_EQ(child.finish(kPatience), 0) << language.name;
        const std::string help = child.standardOutput();
        EXPECT_TRUE(plainAscii(help)) << language.name;
        if (!first) first = help;
        EXPECT_EQ(help, *first) << language.name;
    }
}

class LanguageModeTest : public ::testing::TestWithParam<Language> {};

TEST_P(LanguageModeTest, ListHeaderLine) {
    Subprocess child({KESTROVA_BINARY, "--list"}, environmentFor(GetParam()));
    ASSERT_EQ(child.finish(kPatience), 0) << child.standardError();
    ASSERT_FALSE(child.lines().empty());
    EXPECT_EQ(child.lines().front(), GetParam().english ? "Active\tLocal\t\tRemote\tState\tProcess\tPID"
                                                        : "あくちぶ\tせつぞくもと\t\tせつぞくさき\tじょうたい\t"
                                                          "つないでるひと\tあいでぃ");
}

// Field names and event words stay English; only the text of a line
// follows the language.
TEST_P(LanguageModeTest, JsonLogLinesOfALoopbackListener) {
    testing::Fd listener = testing::listenOnLoopback();
    const std::string local = "127.0.0.1:" + std::to_string(testing::localPort(listener.get()));
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
    const bool english = GetParam().english;
    const std::string added = english ? "(" + program + "): connection with (0.0.0.0:0) added as (LISTEN)."
                                      : "(" + program + ")の(0.0.0.0:0)との接続状態を(LISTEN)で新規追加しました。";
    const std::string removed = english ? "(" + program + "): connection with (0.0.0.0:0) removed."
                                        : "(" + program + ")の(0.0.0.0:0)との接続状態を破棄しました。";
    const std::string pid = std::to_string(getpid());
    const std::string process = english ? "Process ID:(" + pid + ")→Program:(" + program + ")"
                                        : "プロセスID:(" + pid + ")→プログラム名:(" + program + ")";

    Subprocess child({KESTROVA_BINARY, "--log", "--json", "--interval", "100"}, environmentFor(GetParam()));
    ASSERT_TRUE(child.started());
    auto sees = [&](const std::string& event, const std::string& text, const std::string& rest) {
        const std::string wanted = "\"event\":\"" + event + "\",\"text\":\"" + text + "\"," + rest;
        auto matches = [&](const std::string& line) { return line.find(wanted) != std::string::npos; };
        // Lines read while waiting for an earlier one count too.
        return std::any_of(child.lines().begin(), child.lines().end(), matches) ||
               child.waitForLine(matches, kPatience).has_value();
    };
    EXPECT_TRUE(sees("process", process, "\"pid\":" + pid + ",\"process\":\"" + program + "\"")) << child.standardError();
    EXPECT_TRUE(sees("added", added, "\"local\":\"" + local + "\",\"remote\":\"0.0.0.0:0\""));
    listener.reset();
    EXPECT_TRUE(sees("removed", removed, "\"local\":\"" + local + "\""));
    kill(child.pid(), SIGINT);
    child.finish(kPatience);
}

INSTANTIATE_TEST_SUITE_P(All, LanguageModeTest, ::testing::ValuesIn(kLanguages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
