#include "ui/TerminalLog.h"

namespace kestrova {

std::string terminalLine(std::string_view timestamp, std::string_view text) {
    std::string line;
    line.reserve(timestamp.size() + text.size() + 2);
    line.append(timestamp);
    line += '\t';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            line += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080..U+009F, the C1 controls, which terminals obey as well.
            line += '?';
            ++i;
        } else {
            line += text[i];
        }
    }
    line += '\n';
    return line;
}

TerminalLog::TerminalLog(TextTable& log, Writer write, std::function<void()> failed)
    : log_(log), write_(std::move(write)), onFailure_(std::move(failed)) {
    log_.setObserver(this);
}

TerminalLog::~TerminalLog() { log_.setObserver(nullptr); }

void TerminalLog::rowInserted() {
    if (failed_) return;
    if (!write_(terminalLine(log_.cellText(0, 0), log_.cellText(0, 1)))) {
        failed_ = true;
        if (onFailure_) onFailure_();
    }
}

}  // namespace kestrova
