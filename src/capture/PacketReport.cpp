#include "capture/PacketReport.h"

#include <charconv>
#include <cstring>

#include "capture/ProtocolNameTable.h"

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

// "%02d" for a value of any width, as the time field is written.
char* writeTwoDigits(char* out, char* end, int value) {
    if (value >= 0 && value < 10) *out++ = '0';
    return std::to_chars(out, end, value).ptr;
}

}  // namespace

PacketReport buildReport(const ReportEndpoint& source, const ReportEndpoint& destination, std::uint32_t size,
                         const LocalTime& time) {
    PacketReport report;
    std::memset(&report, 0, sizeof report);

    char* out = report.time;
    char* const end = report.time + sizeof report.time - 1;
    const int parts[] = {time.year, time.month, time.day, time.hour, time.minute, time.second};
    const char separators[] = {'/', '/', ' ', ':', ':', '\0'};
    for (std::size_t i = 0; i < 6 && out < end; ++i) {
        out = writeTwoDigits(out, end, parts[i]);
        if (separators[i] && out < end) *out++ = separators[i];
    }
    *out = '\0';

    std::memcpy(report.protocol, ProtocolNameTable[kProtocolTcp].data(), sizeof report.protocol - 1);
    writeAddress(report.sourceAddress, source.address, source.zone);
    writeAddress(report.destinationAddress, destination.address, destination.zone);
    writePort(report.sourcePort, source.port);
    writePort(report.destinationPort, destination.port);
    report.size = size;
    return report;
}

}  // namespace kestrova
