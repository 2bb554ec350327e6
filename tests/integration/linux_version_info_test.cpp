#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "ChildCheck.h"
#include "monitor/PlatformGate.h"
#include "linux/LinuxVersionInfo.h"

namespace kestrova {
namespace {

std::string firstLineOf(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

TEST(LinuxVersionInfo, ReportsThisKernel) {
    LinuxVersionInfo info;
    const std::optional<SystemVersion> version = info.query();
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->sysname, "Linux");
    EXPECT_EQ(version->release, firstLineOf("/proc/sys/kernel/osrelease"));
    EXPECT_FALSE(version->machine.empty());
}

TEST(LinuxVersionInfo, InterfacesPresentSoThisMachineIsSupported) {
    LinuxVersionInfo info;
    EXPECT_TRUE(info.kernelInterfacesPresent());
    const PlatformVerdict verdict = classifyLinux(info.query(), info.kernelInterfacesPresent(), false);
    EXPECT_TRUE(verdict.osSupported);
    EXPECT_TRUE(verdict.osDescription.starts_with("Linux "));
}

// Out of descriptors, the check cannot look: it says what failed instead of
// calling the system unsupported, and looks again once it can.
TEST(LinuxVersionInfo, OutOfDescriptorsTheCheckSaysWhatFailed) {
    const std::string failure = testing::inChild([]() -> std::string {
        LinuxVersionInfo info;
        testing::DescriptorsUsedUp used;
        const bool present = info.kernelInterfacesPresent();
        const std::string why = info.kernelCheckFailure();
        used.release();
        std::string failures;
        if (present) failures += "found present; ";
        if (why != std::string("/proc/self/fd: ") + std::strerror(EMFILE)) failures += "said '" + why + "'; ";
        if (!info.kernelInterfacesPresent() || !info.kernelCheckFailure().empty()) failures += "not found again; ";
        return failures;
    });
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace kestrova
