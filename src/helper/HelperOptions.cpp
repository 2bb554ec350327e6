#include "helper/HelperOptions.h"

#include <arpa/inet.h>

namespace kestrova::helper {

namespace {

// Linux interface names are at most 15 bytes and never hold a slash or white
// space; anything else cannot name an interface.
bool validInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == ' ' || c == '\t' || c == '\n' || c == ':' || static_cast<unsigned char>(c) < 0x21 ||
            static_cast<unsigned char>(c) > 0x7E)
            return false;
    return true;
}

}  // namespace

std::optional<Ipv4> parseIpv4(std::string_view text) {
    Ipv4 address{};
    std::size_t position = 0;
    for (std::size_t octet = 0; octet < 4; ++octet) {
        if (octet) {
            if (position >= text.size() || text[position] != '.') return std::nullopt;
            ++position;
        }
        const std::size_t start = position;
        unsigned value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' && position - start < 3)
            value = value * 10 + static_cast<unsigned>(text[position++] - '0');
        const std::size_t digits = position - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
        address[octet] = static_cast<std::uint8_t>(value);
    }
    if (position != text.size()) return std::nullopt;
    return address;
}

std::optional<IpAddress> parseAddress(std::string_view text, std::string_view interfaceName) {
    if (text.find(':') == std::string_view::npos) {
        const auto octets = parseIpv4(text);
        if (!octets) return std::nullopt;
        return IpAddress(*octets);
    }
    const std::size_t percent = text.find('%');
    const std::string_view bare = text.substr(0, percent);
    char terminated[INET6_ADDRSTRLEN] = {};
    if (bare.size() >= sizeof terminated) return std::nullopt;
    bare.copy(terminated, bare.size());
    IpAddress::Ipv6Bytes bytes;
    if (inet_pton(AF_INET6, terminated, bytes.data()) != 1) return std::nullopt;
    const IpAddress address = IpAddress::fromIpv6(bytes);
    // An IPv4-mapped address is an IPv4 one, which is written as such.
    if (address.isIpv4()) return std::nullopt;
    if (address.isLinkLocal() ? text.substr(bare.size()) != "%" + std::string(interfaceName)
                              : percent != std::string_view::npos)
        return std::nullopt;
    return address;
}

std::optional<HelperOptions> parseHelperOptions(std::span<const std::string_view> arguments) {
    if (arguments.size() < 2 || !validInterfaceName(arguments[0])) return std::nullopt;
    HelperOptions options;
    options.interfaceName = std::string(arguments[0]);
    const auto address = parseAddress(arguments[1], options.interfaceName);
    if (!address) return std::nullopt;
    options.address = *address;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        if (arguments[i] == "--whole-interface") {
            options.wholeInterface = true;
        } else if (arguments[i] == "--exclude" && i + 1 < arguments.size()) {
            const auto excluded = parseAddress(arguments[++i], options.interfaceName);
            if (!excluded || excluded->isIpv4() != address->isIpv4() || options.excluded.size() >= kMaxExcluded)
                return std::nullopt;
            options.excluded.push_back(*excluded);
        } else {
            return std::nullopt;
        }
    }
    // Taking the whole interface leaves nothing to exclude.
    if (options.wholeInterface && !options.excluded.empty()) return std::nullopt;
    return options;
}

}  // namespace kestrova::helper
