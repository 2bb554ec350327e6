#include "text/Utf8.h"

#include <cstdint>

namespace kestrova {

namespace {

// What a lead byte asks of the bytes after it: the sequence's length (0 for a
// byte no character starts with) and the second byte's range, narrowed for
// the leads where the plain 0x80..0xBF range would admit overlong forms,
// surrogates or values past U+10FFFF.
struct Lead {
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;
};

Lead leadOf(std::uint8_t lead) {
    Lead result;
    if (lead < 0x80) {
        result.length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        result.length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        result.length = 3;
        if (lead == 0xE0) result.low = 0xA0;
        if (lead == 0xED) result.high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        result.length = 4;
        if (lead == 0xF0) result.low = 0x90;
        if (lead == 0xF4) result.high = 0x8F;
    }
    return result;
}

// How many bytes from `at` on fit the sequence its lead byte starts.
std::size_t fittingBytes(std::string_view text, std::size_t at, const Lead& lead) {
    std::size_t fit = 1;
    for (; fit < lead.length && at + fit < text.size(); ++fit) {
        const auto byte = static_cast<std::uint8_t>(text[at + fit]);
        if (fit == 1 ? (byte < lead.low || byte > lead.high) : (byte & 0xC0) != 0x80) break;
    }
    return fit;
}

}  // namespace

std::size_t utf8CharLength(std::string_view text, std::size_t at) {
    if (at >= text.size()) return 0;
    const Lead lead = leadOf(static_cast<std::uint8_t>(text[at]));
    if (lead.length == 0) return 0;
    return fittingBytes(text, at, lead) == lead.length ? lead.length : 0;
}

std::size_t utf8IllFormedLength(std::string_view text, std::size_t at) {
    const Lead lead = leadOf(static_cast<std::uint8_t>(text[at]));
    return lead.length == 0 ? 1 : fittingBytes(text, at, lead);
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8CharLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string_view cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    // A cut just before a continuation byte would split a character; a
    // character is at most four bytes, so at most three steps back are needed
    // for valid input and more are never taken for invalid input.
    for (int step = 0; step < 3 && end > 0; ++step) {
        if ((static_cast<std::uint8_t>(text[end]) & 0xC0) != 0x80) break;
        --end;
    }
    if ((static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80) end = maxBytes;
    return text.substr(0, end);
}

}  // namespace kestrova
