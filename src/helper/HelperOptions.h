#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::helper {

using Ipv4 = std::array<std::uint8_t, 4>;

// What one run of the capture helper captures, from its command line:
//   kestrova-capture INTERFACE ADDRESS [--whole-interface] [--exclude ADDRESS]...
struct HelperOptions {
    std::string interfaceName;
    Ipv4 address{};
    // Every TCP datagram on the interface; allowed on a loopback interface only.
    bool wholeInterface = false;
    // Addresses whose datagrams another capture on the interface takes; at
    // most kMaxExcluded.
    std::vector<Ipv4> excluded;

    bool operator==(const HelperOptions&) const = default;
};

// Nothing when the arguments (without the program name) are not of that form.
std::optional<HelperOptions> parseHelperOptions(std::span<const std::string_view> arguments);

// Strict dotted decimal: four numbers 0 to 255 without leading zeros.
std::optional<Ipv4> parseIpv4(std::string_view text);

// The most addresses one capture leaves to others. Each costs two
// instructions of the kernel filter; with this many, every jump of the filter
// still reaches its end.
inline constexpr std::size_t kMaxExcluded = 64;

}  // namespace kestrova::helper
