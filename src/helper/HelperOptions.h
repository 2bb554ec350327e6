#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova::helper {

using Ipv4 = std::array<std::uint8_t, 4>;

// What one run of the capture helper captures, from its command line:
//   kestrova-capture INTERFACE ADDRESS [--whole-interface] [--exclude ADDRESS]...
// ADDRESS is an IPv4 or an IPv6 address; the capture takes TCP datagrams of
// that family only, and every excluded address is of the same family.
struct HelperOptions {
    std::string interfaceName;
    IpAddress address;
    // Every TCP datagram of the family on the interface; allowed on a
    // loopback interface only.
    bool wholeInterface = false;
    // Addresses whose datagrams another capture on the interface takes; at
    // most kMaxExcluded.
    std::vector<IpAddress> excluded;

    bool operator==(const HelperOptions&) const = default;
};

// Nothing when the arguments (without the program name) are not of that form.
std::optional<HelperOptions> parseHelperOptions(std::span<const std::string_view> arguments);

// Strict dotted decimal: four numbers 0 to 255 without leading zeros.
std::optional<Ipv4> parseIpv4(std::string_view text);

// An IPv4 address in strict dotted decimal, or an IPv6 address; a
// link-local one followed by "%" and `interfaceName`, the interface it is on,
// as Kestrova writes it. Anything else, an IPv4-mapped IPv6 address among
// it, is nothing.
std::optional<IpAddress> parseAddress(std::string_view text, std::string_view interfaceName);

// The most addresses one capture leaves to others. With this many, every
// jump of the kernel filter still reaches where it goes.
inline constexpr std::size_t kMaxExcluded = 64;

}  // namespace kestrova::helper
