#pragma once
#include <array>
#include <string>
#include <string_view>

#include "monitor/ConnectionList.h"
#include "monitor/LogEvent.h"
#include "monitor/TextTable.h"
#include "platform/Clock.h"

namespace kestrova {

// The lower pane: timestamped lines, newest first, never more than kMaxLines.
class EventLog : public TextTable {
public:
    static constexpr int kMaxLines = 100;
    static const std::array<ColumnSpec, 2> kColumns;

    EventLog() : TextTable(2) {}
    void append(const LocalTime& time, std::string_view text);
};

std::string formatTimestamp(const LocalTime& time);
// RFC 3339 local time with milliseconds and the offset from UTC:
// "2004-03-07T09:05:02.123+09:00".
std::string formatRfc3339(const LocalTime& time);

// Told of every line the event log receives, with its kind and details.
class LogListener {
public:
    virtual ~LogListener() = default;
    virtual void logged(const LocalTime& time, const LogEvent& event) = 0;
};

}  // namespace kestrova
