#include "app/WindowsClassifier.h"

#include <string_view>

#include "options/Utf8.h"

namespace kestrova {
namespace {

constexpr std::uint32_t PLATFORM_WIN32S = 0;
constexpr std::uint32_t PLATFORM_WIN32_WINDOWS = 1;
constexpr std::uint32_t PLATFORM_WIN32_NT = 2;

constexpr std::uint8_t PRODUCT_WORKSTATION = 1;
constexpr std::uint8_t PRODUCT_DOMAIN_CONTROLLER = 2;
constexpr std::uint8_t PRODUCT_SERVER = 3;

constexpr std::uint16_t SUITE_ENTERPRISE = 0x0002;
constexpr std::uint16_t SUITE_DATACENTER = 0x0080;
constexpr std::uint16_t SUITE_PERSONAL = 0x0200;
constexpr std::uint16_t SUITE_BLADE = 0x0400;

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The fields are printed as C ints, so values past INT_MAX come out negative.
std::string asInt(std::uint32_t value) { return std::to_string(static_cast<std::int32_t>(value)); }

char servicePackLetter(const std::string& servicePack) { return servicePack.size() >= 2 ? servicePack[1] : '\0'; }

std::string describe9x(const WindowsVersionRecord& r) {
    if (r.major != 4) return {};
    const char letter = servicePackLetter(r.servicePack);
    switch (r.minor) {
    case 0:
        return (letter == 'C' || letter == 'B') ? "Microsoft Windows 95 OSR2 " : "Microsoft Windows 95 ";
    case 10:
        return letter == 'A' ? "Microsoft Windows 98 SE " : "Microsoft Windows 98 ";
    case 90:
        return "Microsoft Windows Millennium Edition";
    default:
        return {};
    }
}

std::string serverEdition(const WindowsVersionRecord& r) {
    const std::uint16_t suite = r.suiteMask;
    if (r.major == 5 && r.minor == 2) {
        if (suite & SUITE_DATACENTER) return "Datacenter Edition ";
        if (suite & SUITE_ENTERPRISE) return "Enterprise Edition ";
        if (suite == SUITE_BLADE) return "Web Edition ";
        return "Standard Edition ";
    }
    if (r.major == 5 && r.minor == 0) {
        if (suite & SUITE_DATACENTER) return "Datacenter Server ";
        if (suite & SUITE_ENTERPRISE) return "Advanced Server ";
        return "Server ";
    }
    return (suite & SUITE_ENTERPRISE) ? "Server 4.0, Enterprise Edition " : "Server 4.0 ";
}

std::string extendedEdition(const WindowsVersionRecord& r) {
    if (r.productType == PRODUCT_WORKSTATION) {
        if (r.major == 4) return "Workstation 4.0 ";
        return (r.suiteMask & SUITE_PERSONAL) ? "Home Edition " : "Professional ";
    }
    if (r.productType == PRODUCT_DOMAIN_CONTROLLER || r.productType == PRODUCT_SERVER) return serverEdition(r);
    return {};
}

std::string registryEdition(const WindowsVersionRecord& r, const std::string& productType) {
    std::string edition;
    if (equalsIgnoreAsciiCase(productType, "WINNT")) {
        edition = "Workstation ";
    } else if (equalsIgnoreAsciiCase(productType, "LANMANNT")) {
        edition = "Server ";
    } else if (equalsIgnoreAsciiCase(productType, "SERVERNT")) {
        edition = "Advanced Server ";
    }
    return edition + asInt(r.major) + "." + asInt(r.minor) + " ";
}

std::string servicePackAndBuild(const WindowsVersionRecord& r, bool hotfixPresent) {
    const std::string build = " (Build " + std::to_string(r.build & 0xFFFFu) + ")";
    // Service Pack 6a was shipped as SP6 plus a hot fix, and the version
    // record still says "Service Pack 6".
    if (r.major == 4 && equalsIgnoreAsciiCase(r.servicePack, "Service Pack 6") && hotfixPresent) {
        return "Service Pack 6a" + build;
    }
    return r.servicePack + build;
}

PlatformVerdict finish(bool supported, bool layered, std::string description) {
    PlatformVerdict verdict;
    verdict.osSupported = supported;
    verdict.layeredCapable = layered;
    verdict.osDescription = std::string(cutUtf8(description, MAX_OS_DESCRIPTION_BYTES));
    return verdict;
}

}  // namespace

PlatformVerdict classifyWindows(const std::optional<WindowsVersionRecord>& record, const RegistryProbes& probes) {
    if (!record) return {};
    const WindowsVersionRecord& r = *record;

    if (r.platformId == PLATFORM_WIN32S) return finish(false, false, "Microsoft Win32s");
    if (r.platformId == PLATFORM_WIN32_WINDOWS) return finish(false, false, describe9x(r));
    if (r.platformId != PLATFORM_WIN32_NT) return {};

    std::string description;
    bool supported = false;
    bool layered = false;
    if (r.major == 5 && r.minor == 2) {
        description = "Microsoft Windows Server 2003 family, ";
    } else if (r.major == 5 && r.minor == 1) {
        description = "Microsoft Windows XP ";
        supported = true;
        layered = true;
    } else if (r.major == 5 && r.minor == 0) {
        description = "Microsoft Windows 2000 ";
        supported = true;
    } else if (r.major <= 4) {
        description = "Microsoft Windows NT ";
        supported = true;
    }
    // Anything newer than the 5.x line is refused and gets no product name,
    // but still its edition and build below.

    if (r.extended) {
        description += extendedEdition(r);
    } else {
        // Without a product type there is nothing more that can be said
        // reliably, not even the service pack.
        if (!probes.productType) return finish(supported, layered, description);
        description += registryEdition(r, *probes.productType);
    }
    description += servicePackAndBuild(r, probes.hotfixQ246009Present);
    return finish(supported, layered, description);
}

}  // namespace kestrova
