// The command line of the real kestrova binary, run on a machine without a
// display: what each argument list prints, where, and the exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::kPatience;
using testing::Subprocess;

struct CommandLineCase {
    const char* name;
    std::vector<std::string> arguments;
    int exitStatus;
    // Each must appear in its stream; an empty list means the stream is empty.
    std::vector<std::string> out;
    std::vector<std::string> err;
    // Over an environment without any display.
    std::map<std::string, std::optional<std::string>> environment = {};
};

// A display that nothing serves here, and a Wayland socket that is not there.
const std::string kNoXServer = ":8642";
const std::string kNoCompositor = "kestrova-no-such-socket";
const std::string kWithoutDisplay = "Run it from a desktop session, on a virtual display (xvfb-run -a kestrova),\n"
                                    "or without a window: kestrova --log\n";

const std::string kUsage = "Usage: kestrova [options]";

std::vector<CommandLineCase> commandLineCases() {
    return {
        {"Version", {"--version"}, 0, {"Kestrova Version 2.00\n"}, {}},
        {"VersionShort", {"-v"}, 0, {"Kestrova Version 2.00\n"}, {}},
        {"Help", {"--help"}, 0,
         {kUsage, "--log", "--interval <ms>", "--version", "--list", "--json", "--check-packet", "--host-names", "-6, --ipv6",
          "only the menu's \"exit Kestrova...\" saves the"}, {}},
        {"HelpShort", {"-h"}, 0, {kUsage}, {}},
        {"HelpWinsOverVersion", {"--version", "--help"}, 0, {kUsage}, {}},
        {"UnknownOption", {"--frob"}, 2, {}, {"Unknown option 'frob'.", kUsage}},
        {"UnknownShortOption", {"-x"}, 2, {}, {"Unknown option 'x'.", kUsage}},
        {"ErrorWinsOverHelp", {"--help", "--frob"}, 2, {}, {"Unknown option 'frob'."}},
        {"StrayArgument", {"eth0"}, 2, {}, {"Unexpected argument 'eth0'.", kUsage}},
        {"StrayArgumentAfterLog", {"--log", "now"}, 2, {}, {"Unexpected argument 'now'."}},
        {"IntervalInTheWindow", {"--interval", "500"}, 2, {}, {"no display"}},
        {"IntervalMissingValue", {"--log", "--interval"}, 2, {}, {"Missing value after '--interval'."}},
        {"IntervalNotANumber", {"--log", "--interval", "fast"}, 2, {}, {"Invalid interval 'fast'"}},
        {"IntervalZero", {"--log", "--interval=0"}, 2, {}, {"Invalid interval '0'"}},
        {"IntervalNegative", {"--log", "--interval=-100"}, 2, {}, {"Invalid interval '-100'"}},
        {"IntervalPast32Bits", {"--log", "--interval", "2147483648"}, 2, {}, {"Invalid interval '2147483648'"}},
        {"IntervalWithUnit", {"--log", "--interval", "100ms"}, 2, {}, {"Invalid interval '100ms'"}},
        {"WindowWithoutDisplay", {}, 2, {},
         {"kestrova: no display to open its window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n" +
          kWithoutDisplay}},
        {"UnreachableXDisplay", {}, 2, {},
         {"kestrova: no display to open its window on (the X display DISPLAY=" + kNoXServer +
          " cannot be reached).\n" + kWithoutDisplay},
         {{"DISPLAY", kNoXServer}}},
        {"UnreachableWaylandDisplay", {"--check-packet"}, 2, {},
         {"kestrova: no display to open its window on (the Wayland display WAYLAND_DISPLAY=" + kNoCompositor +
          " cannot be reached).\n" + kWithoutDisplay},
         {{"WAYLAND_DISPLAY", kNoCompositor}, {"XDG_RUNTIME_DIR", "/tmp"}}},
        {"NeitherDisplayReachable", {}, 2, {},
         {"(neither the X display DISPLAY=" + kNoXServer + " nor the Wayland display WAYLAND_DISPLAY=" +
          kNoCompositor + " can be reached)"},
         {{"DISPLAY", kNoXServer}, {"WAYLAND_DISPLAY", kNoCompositor}, {"XDG_RUNTIME_DIR", "/tmp"}}},
        {"UnreachableChosenPlatform", {}, 2, {}, {"(the X display DISPLAY=" + kNoXServer + " cannot be reached)"},
         {{"DISPLAY", kNoXServer}, {"QT_QPA_PLATFORM", "xcb"}}},
        {"Ipv6WindowWithoutDisplay", {"-6"}, 2, {}, {"no display"}},
        {"Ipv6TakesNoValue", {"--log", "--ipv6=yes"}, 2, {}, {"Unexpected value after '--ipv6'."}},
        {"WindowOptions", {"-6", "--interval", "500", "--check-packet", "--host-names"}, 2, {}, {"no display"}},
        {"JsonWithoutLogOrList", {"--json"}, 2, {}, {"--json works only with --log or --list.", kUsage}},
        {"LogAndList", {"--log", "--list"}, 2, {}, {"--log and --list exclude each other."}},
        {"CheckPacketWithList", {"--list", "--check-packet"}, 2, {}, {"--check-packet does not work with --list."}},
        {"IntervalWithList", {"--list", "--interval", "100"}, 2, {}, {"--interval does not work with --list."}},
    };
}

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, PrintsAndExitsAsExpected) {
    const CommandLineCase& c = GetParam();
    std::vector<std::string> arguments{KESTROVA_BINARY};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    auto environment = testing::withoutDisplay();
    for (const auto& [name, value] : c.environment) environment[name] = value;
    // A profile directory that does not exist: nothing here may create it.
    const auto config = std::filesystem::temp_directory_path() / ("kestrova-cli-" + std::to_string(getpid()));
    environment["XDG_CONFIG_HOME"] = config.string();
    Subprocess child(arguments, testing::environmentWith(environment));
    ASSERT_TRUE(child.started());
    const std::optional<int> status = child.finish(kPatience);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), c.exitStatus);
    const std::string out = child.standardOutput();
    const std::string& err = child.standardError();
    for (const std::string& text : c.out) EXPECT_NE(out.find(text), std::string::npos) << text << " in:\n" << out;
    for (const std::string& text : c.err) EXPECT_NE(err.find(text), std::string::npos) << text << " in:\n" << err;
    if (c.out.empty()) {
        EXPECT_EQ(out, "");
    }
    if (c.err.empty()) {
        EXPECT_EQ(err, "");
    }
    EXPECT_FALSE(std::filesystem::exists(config));
}

INSTANTIATE_TEST_SUITE_P(All, CommandLineTest, ::testing::ValuesIn(commandLineCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
