#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Fakes.h"
#include "capture/CaptureLines.h"
#include "monitor/RefreshCycle.h"
#include "text/UiTexts.h"
#include "ui/Commands.h"

namespace kestrova {
namespace {

using testing::FakeConnectionTable;
using testing::FakeProcessInfo;
using testing::tcp;

// A catalogue with the texts it is given; the rest it does not have.
class MapCatalogue : public TextCatalogue {
public:
    std::map<UiText, std::string> texts;
    std::string lookUp(const SourceText& source) const override {
        for (const auto& [id, text] : texts)
            if (std::string_view(kUiTexts[static_cast<std::size_t>(id)].source.text) == source.text &&
                std::string_view(kUiTexts[static_cast<std::size_t>(id)].source.context) == source.context)
                return text;
        return {};
    }
};

class UiTextsTest : public ::testing::Test {
protected:
    MapCatalogue catalogue;
    void use() { useTextCatalogue(&catalogue); }
    void TearDown() override { useTextCatalogue(nullptr); }
};

struct PatternCase {
    const char* name;
    const char* pattern;
    std::vector<std::string> parts;
    const char* filled;
};

class PatternTest : public UiTextsTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(PatternTest, FillsItsPlacesWithTheParts) {
    catalogue.texts[UiText::AlphaSet] = GetParam().pattern;
    use();
    const auto& p = GetParam().parts;
    std::string filled;
    switch (p.size()) {
    case 0: filled = formatText(UiText::AlphaSet, {}); break;
    case 1: filled = formatText(UiText::AlphaSet, {p[0]}); break;
    default: filled = formatText(UiText::AlphaSet, {p[0], p[1]}); break;
    }
    EXPECT_EQ(filled, GetParam().filled);
}

INSTANTIATE_TEST_SUITE_P(
    All, PatternTest,
    ::testing::Values(PatternCase{"InOrder", "(%1) and (%2).", {"a", "b"}, "(a) and (b)."},
                      PatternCase{"Reordered", "%2 before %1", {"a", "b"}, "b before a"},
                      PatternCase{"Repeated", "%1/%1", {"x"}, "x/x"},
                      PatternCase{"PlaceWithoutPart", "%1 and %3", {"a"}, "a and %3"},
                      PatternCase{"PercentSigns", "100% of %1, %0 and %", {"x"}, "100% of x, %0 and %"},
                      PatternCase{"EmptyPart", "[%1]", {""}, "[]"},
                      PatternCase{"PlaceAtTheEnd", "ends with %1", {"x"}, "ends with x"},
                      // What a part holds is never read for places.
                      PatternCase{"PartsStayAsTheyAre", "%1 with %2", {"%2", "b"}, "%2 with b"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UiTextsTest, WithoutACatalogueEveryTextIsTheSourceText) {
    for (const UiTextEntry& entry : kUiTexts) EXPECT_EQ(shownText(entry.id), entry.source.text);
    EXPECT_EQ(formatText(UiText::NameFound, {"192.0.2.1", "example"}), "IP:(192.0.2.1)→ホスト名:(example)");
}

TEST_F(UiTextsTest, TheLogicShowsTheCatalogueTextsAndAgainItsOwnWithout) {
    catalogue.texts = {
        {UiText::ConnectionAdded, "%3 <- %2 <- %1"},
        {UiText::MarkNew, "N"},
        {UiText::HeaderPid, "PID"},
        {UiText::WindowTitle, "%1 | %2 | %3ms"},
        {UiText::LessTransparent, "less"},
        {UiText::CaptureStopped, "%1: %2"},
        {UiText::HelperExited, "exit %1"},
        {UiText::NotInGroup, "%1/%1/%2"},
    };
    Settings settings;
    const CaptureEnding exited{CaptureEnding::Kind::Ended, HelperStatus::Ready, 0, {SourceEnd::Kind::Exited, 3}};
    auto lines = [&] {
        ConnectionList list;
        FakeConnectionTable table;
        FakeProcessInfo processes;
        processes.paths[42] = "/usr/bin/client";
        std::vector<std::string> log;
        RefreshCycle cycle(list, table, processes, [&log](std::string_view t) { log.emplace_back(t); }, {});
        table.rows = {tcp(5, {10, 0, 0, 1}, 1025, {10, 0, 0, 2}, 80, 42)};
        cycle.tick(false);
        return std::vector<std::string>{log.back(),
                                        cellText(list, 0, colSeen),
                                        std::string(kConnectionColumnSpecs[colPid].shownHeader()),
                                        windowTitle(3, 500),
                                        buildCommandMenu(settings, true)[3].caption,
                                        captureEndedLine(IpAddress::Ipv4Bytes{10, 0, 0, 1}, {}, exited),
                                        notInGroupLine("pcap", "alice")};
    };
    const std::vector<std::string> own = {
        "(/usr/bin/client)の(10.0.0.2:80)との接続状態を(ESTABLISHED)で新規追加しました。",
        "新規",
        "あいでぃ",
        "Kestrova Version 2.00 -- 接続数:3 -- 更新間隔:500ms --",
        "透明じゃなくする...",
        "10.0.0.1を通るパケットのチェックが止まりました: ヘルパーが終了しました (終了コード 3)",
        "パケットをチェックできません: pcapグループに属していません (sudo usermod -aG pcap alice)"};
    EXPECT_EQ(lines(), own);
    use();
    EXPECT_EQ(lines(), (std::vector<std::string>{"ESTABLISHED <- 10.0.0.2:80 <- /usr/bin/client", "N", "PID",
                                                 "Kestrova Version 2.00 | 3 | 500ms", "less", "10.0.0.1: exit 3",
                                                 "pcap/pcap/alice"}));
    // The source texts themselves never change: they are what the catalogue
    // is looked up by.
    EXPECT_EQ(kConnectionColumnSpecs[colPid].header, std::string("あいでぃ"));
    EXPECT_EQ(MARK_NEW, "新規");
    useTextCatalogue(nullptr);
    EXPECT_EQ(lines(), own);
}

}  // namespace
}  // namespace kestrova
