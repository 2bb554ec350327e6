#include "capture/PacketReport.h"

#include <charconv>
#include <cstring>

namespace kestrova {

namespace {

// Writes `value` in decimal at `out`; returns the end.
char* writeNumber(char* out, char* end, unsigned value) { return std::to_chars(out, end, value).ptr; }

template <std::size_t N>
void writeAddress(char (&field)[N], const IpAddress& address, std::string_view zone) {
    static_assert(N > kAddressTextLength);
    *writeAddressText(field, address, zone) = '\0';
}

template <std::size_t N>
void writePort(char (&field)[N], std::uint16_t port) {
    static_assert(N >= 6);
    *writeNumber(field, field + N - 1, port) = '\0';
}

}  // namespace

PacketReport buildReport(const ReportEndpoint& source, const ReportEndpoint& destination, std::uint32_t size) {
    PacketReport report;
    std::memset(&report, 0, sizeof report);

    writeAddress(report.sourceAddress, source.address, source.zone);
    writeAddress(report.destinationAddress, destination.address, destination.zone);
    writePort(report.sourcePort, source.port);
    writePort(report.destinationPort, destination.port);
    report.size = size;
    return report;
}

}  // namespace kestrova
