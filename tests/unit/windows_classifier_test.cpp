#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/WindowsClassifier.h"

namespace kestrova {
namespace {

WindowsVersionRecord nt(std::uint32_t major, std::uint32_t minor, std::uint32_t build, std::string sp,
                        std::uint8_t productType, std::uint16_t suite = 0) {
    return WindowsVersionRecord{true, 2, major, minor, build, std::move(sp), suite, productType};
}

WindowsVersionRecord plainNt(std::uint32_t major, std::uint32_t minor, std::uint32_t build, std::string sp) {
    return WindowsVersionRecord{false, 2, major, minor, build, std::move(sp), 0, 0};
}

WindowsVersionRecord nineX(std::uint32_t minor, std::string sp) {
    return WindowsVersionRecord{false, 1, 4, minor, 0, std::move(sp), 0, 0};
}

struct WindowsCase {
    const char* name;
    std::optional<WindowsVersionRecord> record;
    RegistryProbes probes;
    std::string description;
    bool supported;
    bool layered;
};

class ClassifyWindowsTest : public ::testing::TestWithParam<WindowsCase> {};

TEST_P(ClassifyWindowsTest, DescribesAndDecides) {
    const WindowsCase& c = GetParam();
    const PlatformVerdict v = classifyWindows(c.record, c.probes);
    EXPECT_EQ(v.osDescription, c.description);
    EXPECT_EQ(v.osSupported, c.supported);
    EXPECT_EQ(v.layeredCapable, c.layered);
}

const RegistryProbes NO_PROBES{std::nullopt, false};

INSTANTIATE_TEST_SUITE_P(
    Systems, ClassifyWindowsTest,
    ::testing::Values(
        WindowsCase{"NoRecord", std::nullopt, NO_PROBES, "", false, false},
        WindowsCase{"XpProfessional", nt(5, 1, 2600, "Service Pack 1", 1), NO_PROBES,
                    "Microsoft Windows XP Professional Service Pack 1 (Build 2600)", true, true},
        WindowsCase{"Win2000Server", nt(5, 0, 2195, "", 3), NO_PROBES, "Microsoft Windows 2000 Server  (Build 2195)",
                    true, false},
        WindowsCase{"Win2000Advanced", nt(5, 0, 2195, "", 2, 0x0002), NO_PROBES,
                    "Microsoft Windows 2000 Advanced Server  (Build 2195)", true, false},
        WindowsCase{"Nt4Sp6WithHotfix", nt(4, 0, 1381, "Service Pack 6", 1), RegistryProbes{std::nullopt, true},
                    "Microsoft Windows NT Workstation 4.0 Service Pack 6a (Build 1381)", true, false},
        WindowsCase{"Nt4Sp6WithoutHotfix", nt(4, 0, 1381, "Service Pack 6", 1), NO_PROBES,
                    "Microsoft Windows NT Workstation 4.0 Service Pack 6 (Build 1381)", true, false},
        WindowsCase{"HotfixOnlyMattersOnNt4", nt(5, 0, 2195, "Service Pack 6", 1), RegistryProbes{std::nullopt, true},
                    "Microsoft Windows 2000 Professional Service Pack 6 (Build 2195)", true, false},
        WindowsCase{"Nt4ServerEnterprise", nt(4, 0, 1381, "", 3, 0x0002), NO_PROBES,
                    "Microsoft Windows NT Server 4.0, Enterprise Edition  (Build 1381)", true, false},
        WindowsCase{"Nt4FromRegistry", plainNt(4, 0, 1381, "Service Pack 3"), RegistryProbes{"LANMANNT", false},
                    "Microsoft Windows NT Server 4.0 Service Pack 3 (Build 1381)", true, false},
        WindowsCase{"RegistryTypeCaseInsensitive", plainNt(4, 0, 1381, ""), RegistryProbes{"winnt", false},
                    "Microsoft Windows NT Workstation 4.0  (Build 1381)", true, false},
        WindowsCase{"RegistryUnknownTypeStillVersion", plainNt(3, 51, 1057, "Service Pack 5"),
                    RegistryProbes{"OTHER", false}, "Microsoft Windows NT 3.51 Service Pack 5 (Build 1057)", true,
                    false},
        WindowsCase{"RegistryUnreadableStopsAfterName", plainNt(4, 0, 1381, "Service Pack 3"), NO_PROBES,
                    "Microsoft Windows NT ", true, false},
        WindowsCase{"Server2003Enterprise", nt(5, 2, 3790, "", 3, 0x0002), NO_PROBES,
                    "Microsoft Windows Server 2003 family, Enterprise Edition  (Build 3790)", false, false},
        WindowsCase{"Server2003Web", nt(5, 2, 3790, "", 3, 0x0400), NO_PROBES,
                    "Microsoft Windows Server 2003 family, Web Edition  (Build 3790)", false, false},
        WindowsCase{"Server2003WebNeedsExactSuite", nt(5, 2, 3790, "", 3, 0x0410), NO_PROBES,
                    "Microsoft Windows Server 2003 family, Standard Edition  (Build 3790)", false, false},
        WindowsCase{"Version53Unnamed", nt(5, 3, 4000, "", 7), NO_PROBES, " (Build 4000)", false, false},
        WindowsCase{"Version6Workstation", nt(6, 0, 6001, "Service Pack 1", 1), NO_PROBES,
                    "Professional Service Pack 1 (Build 6001)", false, false},
        WindowsCase{"BuildKeepsLow16Bits", nt(5, 1, 0x0A280A28, "", 1), NO_PROBES,
                    "Microsoft Windows XP Professional  (Build 2600)", true, true},
        WindowsCase{"Win32s", WindowsVersionRecord{false, 0, 3, 10, 0, "", 0, 0}, NO_PROBES, "Microsoft Win32s", false,
                    false},
        WindowsCase{"Win95", nineX(0, ""), NO_PROBES, "Microsoft Windows 95 ", false, false},
        WindowsCase{"Win95Osr2B", nineX(0, " B"), NO_PROBES, "Microsoft Windows 95 OSR2 ", false, false},
        WindowsCase{"Win98Se", nineX(10, " A "), NO_PROBES, "Microsoft Windows 98 SE ", false, false},
        WindowsCase{"WinMe", nineX(90, ""), NO_PROBES, "Microsoft Windows Millennium Edition", false, false},
        WindowsCase{"NineXOtherMinor", nineX(20, " A"), NO_PROBES, "", false, false},
        WindowsCase{"UnknownPlatform", WindowsVersionRecord{true, 3, 5, 1, 2600, "", 0, 1}, NO_PROBES, "", false,
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClassifyWindows, LongServicePackIsCutBetweenCharacters) {
    std::string sp = "x";
    for (int i = 0; i < 300; ++i) sp += "▼";
    const PlatformVerdict v = classifyWindows(nt(5, 1, 2600, sp, 1), NO_PROBES);
    // "Microsoft Windows XP Professional x" is 35 bytes; 476 bytes remain,
    // which hold 158 three-byte marks and two bytes of a 159th.
    EXPECT_EQ(v.osDescription.size(), 35u + 158u * 3u);
    EXPECT_LE(v.osDescription.size(), MAX_OS_DESCRIPTION_BYTES);
    EXPECT_TRUE(v.osDescription.ends_with("▼"));
}

}  // namespace
}  // namespace kestrova
