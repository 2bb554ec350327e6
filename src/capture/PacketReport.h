#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "platform/Clock.h"

namespace kestrova {

// One TCP datagram as the window thread accounts it. Every text field is
// zero-terminated and wide enough for the longest value it can hold.
struct PacketReport {
    char time[20];                // "2004/05/12 08:03:09"
    char protocol[24];            // always "TCP"
    char sourceAddress[16];       // dotted decimal
    char destinationAddress[16];
    char sourcePort[6];           // decimal, no leading zeros
    char destinationPort[6];
    std::uint32_t size;           // bytes of the whole IPv4 datagram
};

// The text of a fixed-width field, up to its terminator. A field that was
// filled without one (a report not made by buildReport) ends at its width.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != '\0') ++length;
    return {field, length};
}

// The report of one TCP datagram with the given endpoints and size, stamped
// with `time`. Addresses hold their octets first octet first.
PacketReport buildReport(const std::array<std::uint8_t, 4>& source, std::uint16_t sourcePort,
                         const std::array<std::uint8_t, 4>& destination, std::uint16_t destinationPort,
                         std::uint32_t size, const LocalTime& time);

}  // namespace kestrova
