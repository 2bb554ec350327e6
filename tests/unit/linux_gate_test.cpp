#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "monitor/PlatformGate.h"

namespace kestrova {
namespace {

struct GateCase {
    const char* name;
    std::optional<SystemVersion> system;
    bool interfaces;
    bool translucency;
    std::string description;
    bool supported;
    bool layered;
};

class ClassifyLinuxTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(ClassifyLinuxTest, DecidesFromKernelAndInterfaces) {
    const GateCase& c = GetParam();
    const PlatformVerdict v = classifyLinux(c.system, c.interfaces, c.translucency);
    EXPECT_EQ(v.osDescription, c.description);
    EXPECT_EQ(v.osSupported, c.supported);
    EXPECT_EQ(v.layeredCapable, c.layered);
}

const SystemVersion DEBIAN{"Linux", "6.1.0-18-amd64", "x86_64"};

INSTANTIATE_TEST_SUITE_P(
    Systems, ClassifyLinuxTest,
    ::testing::Values(
        GateCase{"LinuxTranslucent", DEBIAN, true, true, "Linux 6.1.0-18-amd64 x86_64", true, true},
        GateCase{"LinuxOpaque", DEBIAN, true, false, "Linux 6.1.0-18-amd64 x86_64", true, false},
        GateCase{"LinuxWithoutInterfaces", DEBIAN, false, true, "Linux 6.1.0-18-amd64 x86_64", false, false},
        GateCase{"FreeBsd", SystemVersion{"FreeBSD", "14.0-RELEASE", "amd64"}, true, true,
                 "FreeBSD 14.0-RELEASE amd64", false, false},
        GateCase{"SysnameIsCaseSensitive", SystemVersion{"linux", "6.1", "x86_64"}, true, true, "linux 6.1 x86_64",
                 false, false},
        GateCase{"EmptyFieldsLeftOut", SystemVersion{"Linux", "", "aarch64"}, true, false, "Linux aarch64", true,
                 false},
        GateCase{"AllFieldsEmpty", SystemVersion{"", "", ""}, true, true, "unknown system", false, false},
        GateCase{"UnameFailed", std::nullopt, true, true, "unknown system", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
