#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "helper/HelperOptions.h"

namespace kestrova::helper {
namespace {

std::optional<HelperOptions> parse(std::vector<std::string_view> arguments) { return parseHelperOptions(arguments); }

TEST(HelperOptions, AcceptsWhatTheProgramPasses) {
    EXPECT_EQ(parse({"lo", "127.0.0.1", "--whole-interface"}),
              (HelperOptions{"lo", {127, 0, 0, 1}, true, {}}));
    EXPECT_EQ(parse({"eth0", "10.0.0.3", "--exclude", "10.0.0.1", "--exclude", "10.0.0.2"}),
              (HelperOptions{"eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}, {10, 0, 0, 2}}}));
}

TEST(HelperOptions, RefusesAnythingElse) {
    const std::vector<std::vector<std::string_view>> refused = {
        {},
        {"lo"},
        {"", "127.0.0.1"},
        {"../../etc", "127.0.0.1"},
        {"a-name-too-long-x", "127.0.0.1"},
        {"eth 0", "127.0.0.1"},
        {"lo", "127.0.0.256"},
        {"lo", "127.0.0"},
        {"lo", "127.0.0.1.5"},
        {"lo", "127.00.0.1"},
        {"lo", " 127.0.0.1"},
        {"lo", "127.0.0.1", "--exclude"},
        {"lo", "127.0.0.1", "--exclude", "x"},
        {"lo", "127.0.0.1", "--whole-interface", "--exclude", "127.0.0.2"},
        {"lo", "127.0.0.1", "--promiscuous"},
    };
    for (const auto& arguments : refused) {
        std::string shown;
        for (std::string_view argument : arguments) shown += "[" + std::string(argument) + "]";
        EXPECT_FALSE(parse(arguments).has_value()) << shown;
    }
}

TEST(HelperOptions, FilterTakesFirstTcpFragmentsOfItsShare) {
    EXPECT_EQ(captureFilter({"lo", {127, 0, 0, 1}, true, {}}), "ip proto 6 and ip[6:2] & 0x1fff = 0");
    EXPECT_EQ(captureFilter({"eth0", {10, 0, 0, 3}, false, {{10, 0, 0, 1}}}),
              "ip proto 6 and ip[6:2] & 0x1fff = 0 and ip host 10.0.0.3 and not ip host 10.0.0.1");
}

}  // namespace
}  // namespace kestrova::helper
