#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "ui/EventLog.h"

namespace kestrova {

// The event log as a stream of text lines: each line is written out the
// moment the log receives it, by default as "<timestamp>\t<text>\n". A stream
// runs forward in time, so the output holds every line, oldest first, however
// few of them the log itself keeps.
class TerminalLog : public LogListener {
public:
    // Writes one whole line; false when it could not be written.
    using Writer = std::function<bool(std::string_view line)>;
    // Makes the output line, its line break included, of a log line whose
    // text the terminal shows as `shownText` (terminalText of its text).
    using Format = std::function<std::string(const LocalTime& time, const LogEvent& event, std::string_view shownText)>;

    // `failed` is called once, for the first line that cannot be written;
    // nothing is written after that. Without `format`, lines are written as
    // terminalLine makes them.
    TerminalLog(Writer write, std::function<void()> failed, Format format = {});

    bool failed() const { return failed_; }

    void logged(const LocalTime& time, const LogEvent& event) override;

private:
    Writer write_;
    std::function<void()> onFailure_;
    Format format_;
    bool failed_ = false;
};

// A log text as the terminal shows it. Control characters in it (a host name
// from the resolver may carry any) would split the line or drive the
// terminal, so each becomes '?'.
std::string terminalText(std::string_view text);
// The output line for one log line: "<timestamp>\t<terminalText(text)>\n".
std::string terminalLine(std::string_view timestamp, std::string_view text);

}  // namespace kestrova
