#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/LinuxGate.h"
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

}  // namespace
}  // namespace kestrova
