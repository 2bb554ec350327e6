#include <gtest/gtest.h>

#include "JapaneseText.h"
#include "text/UiTexts.h"
#include "qt/Translation.h"

namespace kestrova {
namespace {

using testing::hasJapanese;

struct LanguageCase {
    const char* name;
    // What QLocale::system().uiLanguages() gives for the environment, and
    // the first of LC_ALL, LC_MESSAGES and LANG that is set.
    QStringList uiLanguages;
    QByteArray messagesLocale;
    TextLanguage expected;
};

class ChooseTextLanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(ChooseTextLanguageTest, PicksEnglishOnlyForAnEnglishSpeakingUser) {
    EXPECT_EQ(chooseTextLanguage(GetParam().uiLanguages, GetParam().messagesLocale), GetParam().expected);
}

const QStringList kEnglishUs = {"en-US", "en-Latn-US", "en"};
const QStringList kLanguageEn = {"en", "en-Latn-US", "en-US"};

INSTANTIATE_TEST_SUITE_P(
    All, ChooseTextLanguageTest,
    ::testing::Values(
        LanguageCase{"EnglishLocale", kEnglishUs, "en_US.UTF-8", TextLanguage::English},
        LanguageCase{"BritishFirstThenEnglish", {"en-GB", "en-Latn-GB", "en", "en-Latn-US", "en-US"}, "de_DE.UTF-8",
                     TextLanguage::English},
        LanguageCase{"JapaneseLocale", {"ja-JP", "ja-Jpan-JP", "ja"}, "ja_JP.UTF-8", TextLanguage::Source},
        LanguageCase{"OtherLanguage", {"de-DE", "de-Latn-DE", "de"}, "de_DE.UTF-8", TextLanguage::Source},
        // A list of languages falls back to the first one there are texts for.
        LanguageCase{"FrenchElseEnglish", {"fr", "fr-Latn-FR", "fr-FR", "en", "en-Latn-US", "en-US"}, "de_DE.UTF-8",
                     TextLanguage::English},
        LanguageCase{"JapaneseElseEnglish", {"ja", "ja-Jpan-JP", "ja-JP", "en"}, "en_US.UTF-8", TextLanguage::Source},
        LanguageCase{"CUtf8", {"C"}, "C.UTF-8", TextLanguage::Source},
        LanguageCase{"Unset", {"C"}, "", TextLanguage::Source},
        // gettext's rule: LANGUAGE counts unless the locale is C or POSIX,
        // and C.UTF-8 is neither.
        LanguageCase{"LanguageWithCUtf8", kLanguageEn, "C.UTF-8", TextLanguage::English},
        LanguageCase{"LanguageWithC", kLanguageEn, "C", TextLanguage::Source},
        LanguageCase{"LanguageWithPosix", kLanguageEn, "POSIX", TextLanguage::Source},
        LanguageCase{"LanguageWithoutLocale", kLanguageEn, "", TextLanguage::Source}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextLanguageTest, TheEnglishCatalogueHasAnEnglishFormOfEveryText) {
    ASSERT_TRUE(useTextLanguage(TextLanguage::English));
    for (const UiTextEntry& entry : kUiTexts) {
        const std::string_view shown = shownText(entry.id);
        EXPECT_NE(shown, entry.source.text) << entry.source.context << ": " << entry.source.text;
        EXPECT_FALSE(hasJapanese(shown)) << shown;
        EXPECT_FALSE(shown.empty());
    }
    ASSERT_TRUE(useTextLanguage(TextLanguage::Source));
    for (const UiTextEntry& entry : kUiTexts) EXPECT_EQ(shownText(entry.id), entry.source.text);
}

}  // namespace
}  // namespace kestrova
