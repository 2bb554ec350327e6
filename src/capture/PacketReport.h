#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "monitor/AddressText.h"
#include "platform/IpAddress.h"

namespace kestrova {

// One TCP datagram as the window thread accounts it. Every text field is
// zero-terminated and wide enough for the longest value it can hold.
struct PacketReport {
    // As the connection rows write it: dotted decimal, or an IPv6 address
    // with the zone of a link-local one.
    char sourceAddress[kAddressTextLength + 1];
    char destinationAddress[kAddressTextLength + 1];
    char sourcePort[6];           // decimal, no leading zeros
    char destinationPort[6];
    std::uint32_t size;           // bytes of the whole IP datagram
};

// The text of a fixed-width field, up to its terminator. A field that was
// filled without one (a report not made by buildReport) ends at its width.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != '\0') ++length;
    return {field, length};
}

// One end of a datagram: its address, the zone a link-local address is
// written with, and its port.
struct ReportEndpoint {
    IpAddress address;
    std::string_view zone;
    std::uint16_t port = 0;
};

// The report of one TCP datagram with the given endpoints and size.
PacketReport buildReport(const ReportEndpoint& source, const ReportEndpoint& destination, std::uint32_t size);

}  // namespace kestrova
