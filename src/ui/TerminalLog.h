#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "monitor/TextTable.h"

namespace kestrova {

// The event log as a stream of text lines: each line is written out the
// moment it is added to the log, as "<timestamp>\t<text>\n". A stream runs
// forward in time, so the output holds every line, oldest first, however few
// of them the log itself keeps.
class TerminalLog : public TableObserver {
public:
    // Writes one whole line; false when it could not be written.
    using Writer = std::function<bool(std::string_view line)>;

    // Watches `log` (whose rows hold a timestamp and a text) from now on.
    // `failed` is called once, for the first line that cannot be written;
    // nothing is written after that.
    TerminalLog(TextTable& log, Writer write, std::function<void()> failed);
    ~TerminalLog() override;
    TerminalLog(const TerminalLog&) = delete;
    TerminalLog& operator=(const TerminalLog&) = delete;

    bool failed() const { return failed_; }

    void rowInserted() override;
    void rowDeleted(int) override {}
    void cellChanged(int, int) override {}

private:
    TextTable& log_;
    Writer write_;
    std::function<void()> onFailure_;
    bool failed_ = false;
};

// The output line for one log row. Control characters in the text (a host
// name from the resolver may carry any) would split the line or drive the
// terminal, so each becomes '?'.
std::string terminalLine(std::string_view timestamp, std::string_view text);

}  // namespace kestrova
