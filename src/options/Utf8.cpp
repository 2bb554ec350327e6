#include "options/Utf8.h"

#include <cstdint>

namespace kestrova {

std::size_t utf8CharLength(std::string_view text, std::size_t at) {
    if (at >= text.size()) return 0;
    const auto lead = static_cast<std::uint8_t>(text[at]);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    // The second byte's range is narrowed for the leads where the plain
    // 0x80..0xBF range would admit overlong forms, surrogates or values
    // past U+10FFFF.
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    const auto second = static_cast<std::uint8_t>(text[at + 1]);
    if (second < low || second > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((static_cast<std::uint8_t>(text[at + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
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
