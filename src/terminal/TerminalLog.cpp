#include "terminal/TerminalLog.h"

namespace kestrova {

namespace {

void appendShown(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F, the C1 controls, which terminals obey as well.
            out += '?';
            ++i;
        } else {
            out += text[i];
        }
    }
}

}  // namespace

std::string terminalText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    appendShown(shown, text);
    return shown;
}

std::string terminalLine(std::string_view timestamp, std::string_view text) {
    std::string line;
    line.reserve(timestamp.size() + text.size() + 2);
    line.append(timestamp);
    line += '\t';
    appendShown(line, text);
    line += '\n';
    return line;
}

TerminalLog::TerminalLog(Writer write, std::function<void()> failed, Format format)
    : write_(std::move(write)), onFailure_(std::move(failed)), format_(std::move(format)) {}

void TerminalLog::logged(const LocalTime& time, const LogEvent& event) {
    if (failed_) return;
    const std::string line =
        format_ ? format_(time, event, terminalText(event.text)) : terminalLine(formatTimestamp(time), event.text);
    if (!write_(line)) {
        failed_ = true;
        if (onFailure_) onFailure_();
    }
}

}  // namespace kestrova
