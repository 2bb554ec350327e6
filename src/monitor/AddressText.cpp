#include "monitor/AddressText.h"

#include <charconv>

namespace kestrova {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

char* writeDotted(char* out, const std::uint8_t* octets) {
    for (int i = 0; i < 4; ++i) {
        if (i) *out++ = '.';
        out = std::to_chars(out, out + 3, octets[i]).ptr;
    }
    return out;
}

char* writeGroup(char* out, unsigned group) {
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (group >> shift) & 0xF;
        if (digit == 0 && !started && shift > 0) continue;
        started = true;
        *out++ = kHexDigits[digit];
    }
    return out;
}

char* writeIpv6(char* out, const IpAddress::Ipv6Bytes& bytes) {
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    // The longest run of zero groups, the first of several as long; a lone
    // zero group is written as 0.
    int runStart = -1, runLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int end = i;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end;
    }
    if (runLength < 2) runStart = -1;

    for (int i = 0; i < 8; ++i) {
        if (runStart >= 0 && i >= runStart && i < runStart + runLength) {
            if (i == runStart) *out++ = ':';
            continue;
        }
        if (i) *out++ = ':';
        // An IPv4-compatible address keeps its IPv4 part dotted.
        if (i == 6 && runStart == 0 && runLength == 6) return writeDotted(out, &bytes[12]);
        out = writeGroup(out, groups[i]);
    }
    if (runStart >= 0 && runStart + runLength == 8) *out++ = ':';
    return out;
}

char* writeZone(char* out, std::string_view zone) {
    *out++ = '%';
    for (const char c : zone.substr(0, kZoneNameBytes)) {
        const auto byte = static_cast<std::uint8_t>(c);
        // A backslash is escaped too, so that no name can pass for an escape.
        if (byte > 0x20 && byte < 0x7F && c != '\\') {
            *out++ = c;
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = kHexDigits[byte >> 4];
            *out++ = kHexDigits[byte & 0xF];
        }
    }
    return out;
}

}  // namespace

char* writeAddressText(char* out, const IpAddress& address, std::string_view zone) {
    if (address.isIpv4()) return writeDotted(out, &address.bytes()[12]);
    out = writeIpv6(out, address.bytes());
    if (address.isLinkLocal() && !zone.empty()) out = writeZone(out, zone);
    return out;
}

std::string addressText(const IpAddress& address, std::string_view zone) {
    char text[kAddressTextLength];
    return {text, writeAddressText(text, address, zone)};
}

std::string endpointText(std::string_view host, std::string_view port, bool hostIsName) {
    const bool bracketed = !hostIsName && isIpv6Text(host);
    std::string text;
    text.reserve(host.size() + port.size() + 3);
    if (bracketed) text.push_back('[');
    text.append(host);
    if (bracketed) text.push_back(']');
    text.push_back(':');
    text.append(port);
    return text;
}

bool isEndpointText(std::string_view text, std::string_view host, std::string_view port, bool hostIsName) {
    if (!hostIsName && isIpv6Text(host)) {
        if (text.size() < 2 || text.front() != '[') return false;
        text.remove_prefix(1);
        if (text.substr(0, host.size()) != host || text.substr(host.size(), 1) != "]") return false;
        text.remove_prefix(host.size() + 1);
    } else {
        if (text.substr(0, host.size()) != host) return false;
        text.remove_prefix(host.size());
    }
    return text.size() == port.size() + 1 && text.front() == ':' && text.substr(1) == port;
}

}  // namespace kestrova
