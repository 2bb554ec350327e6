#pragma once
#include <array>
#include <string>
#include <string_view>

#include "monitor/ConnectionList.h"
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

}  // namespace kestrova
