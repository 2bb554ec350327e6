#include "ui/EventLog.h"

#include <cstdio>

namespace kestrova {

const std::array<ColumnSpec, 2> EventLog::kColumns = {{
    {UiText::LogHeaderTime, Align::Left, 120},
    {UiText::LogHeaderText, Align::Left, 640},
}};

std::string formatTimestamp(const LocalTime& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buffer;
}

std::string formatRfc3339(const LocalTime& t) {
    const int offsetMinutes = (t.utcOffsetSeconds < 0 ? -t.utcOffsetSeconds : t.utcOffsetSeconds) / 60;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond, t.utcOffsetSeconds < 0 ? '-' : '+', offsetMinutes / 60,
                  offsetMinutes % 60);
    return buffer;
}

void EventLog::append(const LocalTime& time, std::string_view text) {
    insertRow({formatTimestamp(time), std::string(text)});
    // With 100 rows there is no row 100; the 101st line pushes the oldest out.
    if (rowCount() >= kMaxLines + 1) deleteRow(kMaxLines);
}

}  // namespace kestrova
