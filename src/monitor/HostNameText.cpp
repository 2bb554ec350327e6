#include "monitor/HostNameText.h"

#include <algorithm>
#include <cstdint>

#include "text/Utf8.h"

namespace kestrova {

namespace {

char hexDigit(unsigned value) { return "0123456789abcdef"[value & 0xF]; }

std::uint32_t codePoint(std::string_view text, std::size_t at, std::size_t length) {
    static constexpr std::uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t value = static_cast<std::uint8_t>(text[at]) & kLeadMask[length];
    for (std::size_t k = 1; k < length; ++k) value = value << 6 | (static_cast<std::uint8_t>(text[at + k]) & 0x3F);
    return value;
}

// Characters that would break the cell or the log line apart, or make the
// text around them read in another order than it is stored; and the
// backslash, so that a name holding "\x0a" cannot pass for an escaped one.
bool mustEscape(std::uint32_t c) {
    return c < 0x20 || c == '\\' || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string byteEscape(std::uint8_t byte) { return {'\\', 'x', hexDigit(byte >> 4), hexDigit(byte)}; }

std::string charEscape(std::uint32_t c) {
    return {'\\', 'u', hexDigit(c >> 12), hexDigit(c >> 8), hexDigit(c >> 4), hexDigit(c)};
}

}  // namespace

std::string displayableText(std::string_view raw, std::size_t maxBytes) {
    std::string shown;
    shown.reserve(std::min(raw.size(), maxBytes));
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t length = utf8CharLength(raw, at);
        std::string_view piece;
        std::string escaped;
        if (length == 0) {
            escaped = byteEscape(static_cast<std::uint8_t>(raw[at]));
            piece = escaped;
            at += 1;
        } else {
            const std::uint32_t c = codePoint(raw, at, length);
            if (mustEscape(c)) {
                escaped = c < 0x80 ? byteEscape(static_cast<std::uint8_t>(c)) : charEscape(c);
                piece = escaped;
            } else {
                piece = raw.substr(at, length);
            }
            at += length;
        }
        if (shown.size() + piece.size() > maxBytes) break;
        shown.append(piece);
    }
    return shown;
}

std::optional<std::string> displayableHostName(const std::optional<std::string>& answer) {
    if (!answer || answer->empty() || *answer == NO_NAME_TEXT) return std::nullopt;
    return displayableText(*answer, HOST_NAME_MAX_BYTES);
}

std::string resolvedLine(std::string_view address, std::string_view name) {
    return formatText(UiText::NameFound, {address, name});
}

}  // namespace kestrova
