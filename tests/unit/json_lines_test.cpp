// The machine-readable log and list: the exact shape of each kind of line,
// and strings that stay valid JSON in valid UTF-8 whatever they hold.
#include <gtest/gtest.h>

#include <string>

#include "json/JsonLines.h"
#include "text/Utf8.h"
#include "terminal/ConnectionListing.h"
#include "ui/EventLog.h"

namespace kestrova {
namespace {

const LocalTime kTime{2004, 3, 7, 9, 5, 2, 45, 9 * 3600};

ConnectionFacts facts(std::string_view pid, std::string_view bytes) {
    return {"host.example:5000", "10.0.0.2:80", "10.0.0.1", "5000", "10.0.0.2", "80", "ESTABLISHED", pid,
            "/usr/bin/client", bytes};
}

TEST(JsonLogLine, ConnectionEventsCarryBothEndpointsAndNumbers) {
    const ConnectionFacts withPid = facts("42", "1500");
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::Removed, "gone", &withPid}, "gone"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"removed","text":"gone","local":"host.example:5000",)"
              R"("remote":"10.0.0.2:80","localIp":"10.0.0.1","localPort":5000,"remoteIp":"10.0.0.2","remotePort":80,)"
              R"("state":"ESTABLISHED","pid":42,"process":"/usr/bin/client","bytes":1500})"
              "\n");
    // No process id known, no bytes counted: the fields are left out.
    const ConnectionFacts unknown = facts("", "");
    const std::string line = jsonLogLine(kTime, {LogKind::Added, "new", &unknown}, "new");
    EXPECT_EQ(line.find("\"pid\""), std::string::npos) << line;
    EXPECT_EQ(line.find("\"bytes\""), std::string::npos) << line;
    EXPECT_NE(line.find(R"("event":"added")"), std::string::npos) << line;
}

TEST(JsonLogLine, OtherKindsCarryTheirOwnDetails) {
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::Process, "p", nullptr, "7", "/bin/sh"}, "p"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"process","text":"p","pid":7,"process":"/bin/sh"})"
              "\n");
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::Name, "n", nullptr, {}, {}, "10.0.0.2", "www"}, "n"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"name","text":"n","ip":"10.0.0.2","name":"www"})"
              "\n");
    // Datagrams the kernel dropped: the address and how many.
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::Capture, "d", nullptr, {}, {}, "10.0.0.7", {}, "80"}, "d"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"capture","text":"d","ip":"10.0.0.7","dropped":80})"
              "\n");
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::Capture, "c"}, "c"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"capture","text":"c"})"
              "\n");
    EXPECT_EQ(jsonLogLine(kTime, {LogKind::ResolveEnd, "e"}, "e"),
              R"({"time":"2004-03-07T09:05:02.045+09:00","event":"resolveEnd","text":"e"})"
              "\n");
}

struct HostileCase {
    const char* name;
    std::string text;
    std::string json;  // how the string is written
};

class HostileStrings : public ::testing::TestWithParam<HostileCase> {};

// A process path or host name may hold any byte: the line stays one line of
// valid UTF-8, and the string one JSON string.
TEST_P(HostileStrings, StayOneValidString) {
    const ConnectionFacts row{"a:1", "b:2", "a", "1", "b", "2", "LISTEN", "", GetParam().text, ""};
    const std::string line = jsonLogLine(kTime, {LogKind::Added, "t", &row}, "t");
    EXPECT_TRUE(isValidUtf8(line)) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_NE(line.find(R"("process":")" + GetParam().json + R"("})"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    All, HostileStrings,
    ::testing::Values(HostileCase{"QuotesAndBackslashes", R"(/tmp/a"b\c)", R"(/tmp/a\"b\\c)"},
                      HostileCase{"LineBreaksAndControls", "a\nb\r\x01\x1b[2J", R"(a\nb\r\u0001\u001B[2J)"},
                      HostileCase{"Nul", std::string("a\0b", 3), R"(a\u0000b)"},
                      HostileCase{"NotUtf8", "a\xff" "b\xc0", "a\xef\xbf\xbd" "b\xef\xbf\xbd"},
                      HostileCase{"CutSequence", "x\xe3\x81", "x\xef\xbf\xbd"},
                      HostileCase{"Surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
                      HostileCase{"Japanese", "/opt/接続/a", "/opt/接続/a"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rfc3339, MillisecondsAndOffsetsEitherSideOfUtc) {
    EXPECT_EQ(formatRfc3339({2024, 12, 31, 23, 59, 59, 999, 0}), "2024-12-31T23:59:59.999+00:00");
    EXPECT_EQ(formatRfc3339({2024, 1, 2, 3, 4, 5, 6, -(9 * 3600 + 30 * 60)}), "2024-01-02T03:04:05.006-09:30");
    EXPECT_EQ(formatRfc3339({2024, 1, 2, 3, 4, 5, 0, 5 * 3600 + 45 * 60}), "2024-01-02T03:04:05.000+05:45");
}

class Listings : public ::testing::Test {
protected:
    ConnectionList list;
    void add(std::string process, std::string pid) {
        list.insertRow({"TCP", "", "127.0.0.1:80", "→", "127.0.0.1:5000", "ESTABLISHED", std::move(process),
                        std::move(pid), "新規", "127.0.0.1", "", "80", "127.0.0.1", "", "5000", "0"});
    }
};

TEST_F(Listings, TextHasTheShownColumnsUnderAHeader) {
    EXPECT_EQ(connectionListing(list), "あくちぶ\tせつぞくもと\t\tせつぞくさき\tじょうたい\tつないでるひと\tあいでぃ\n");
    add("/usr/bin/a\tb\nc", "42");
    add("System", "");
    EXPECT_EQ(connectionListing(list),
              "あくちぶ\tせつぞくもと\t\tせつぞくさき\tじょうたい\tつないでるひと\tあいでぃ\n"
              "\t127.0.0.1:80\t→\t127.0.0.1:5000\tESTABLISHED\tSystem\t\n"
              "\t127.0.0.1:80\t→\t127.0.0.1:5000\tESTABLISHED\t/usr/bin/a?b?c\t42\n");
}

TEST_F(Listings, JsonIsOneArrayWithARowPerLine) {
    EXPECT_EQ(jsonConnectionList(list, false), "[\n]\n");
    add("/bin/x", "42");
    add("System", "");
    EXPECT_EQ(jsonConnectionList(list, false),
              "[\n"
              R"({"local":"127.0.0.1:80","remote":"127.0.0.1:5000","localIp":"127.0.0.1","localPort":80,)"
              R"("remoteIp":"127.0.0.1","remotePort":5000,"state":"ESTABLISHED","process":"System"},)"
              "\n"
              R"({"local":"127.0.0.1:80","remote":"127.0.0.1:5000","localIp":"127.0.0.1","localPort":80,)"
              R"("remoteIp":"127.0.0.1","remotePort":5000,"state":"ESTABLISHED","pid":42,"process":"/bin/x"})"
              "\n]\n");
}

// In pieces, whole rows at a time, the list is the same text; a piece that
// is not taken stops the rest.
TEST_F(Listings, InPiecesTheyAddUpToTheWhole) {
    for (int i = 0; i < 50; ++i) add("/bin/x" + std::to_string(i), std::to_string(i));
    for (const bool json : {true, false}) {
        std::string joined;
        int pieces = 0;
        auto keep = [&](std::string_view piece) {
            joined += piece;
            return ++pieces < 1000;
        };
        ASSERT_TRUE(json ? writeJsonConnectionList(list, false, keep, 300) : writeConnectionListing(list, keep, 300));
        EXPECT_GT(pieces, 5);
        EXPECT_EQ(joined, json ? jsonConnectionList(list, false) : connectionListing(list));
    }
    int taken = 0;
    EXPECT_FALSE(writeConnectionListing(list, [&](std::string_view) { return ++taken < 3; }, 300));
    EXPECT_EQ(taken, 3);
}

}  // namespace
}  // namespace kestrova
