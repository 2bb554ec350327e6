#pragma once
#include <array>
#include <charconv>
#include <cstdint>
#include <string>

namespace kestrova {

// The longest dotted-decimal address, "255.255.255.255".
inline constexpr std::size_t kDottedAddressLength = 15;

// Writes `octets` as dotted decimal ("192.0.2.1") at `out`, which has room
// for kDottedAddressLength characters, and returns the end. The connection
// rows and the packet reports both spell addresses this way, so that a
// report's texts compare equal to its connection's cells.
inline char* writeDottedAddress(char* out, const std::array<std::uint8_t, 4>& octets) {
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i) *out++ = '.';
        out = std::to_chars(out, out + 3, octets[i]).ptr;
    }
    return out;
}

inline std::string dottedAddress(const std::array<std::uint8_t, 4>& octets) {
    char text[kDottedAddressLength];
    return {text, writeDottedAddress(text, octets)};
}

}  // namespace kestrova
