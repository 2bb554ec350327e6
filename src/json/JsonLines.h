#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "monitor/ConnectionList.h"
#include "monitor/LogEvent.h"
#include "platform/Clock.h"

namespace kestrova {

// The machine-readable forms of the log and the table, written by a JSON
// library: whatever bytes a text holds (a host name or a program path may
// hold anything), every string comes out as valid JSON in valid UTF-8, with
// bytes that are not UTF-8 replaced by U+FFFD.

// One log line as one JSON object on one line, its line break included:
// "time" (RFC 3339), "event" (the kind's word), "text" (`shownText`, the line
// as the text log shows it), then the details of its kind.
std::string jsonLogLine(const LocalTime& time, const LogEvent& event, std::string_view shownText);

// Every row, top row first, as one JSON array with one object per line:
// the connection fields of jsonLogLine, "bytes" only when `withBytes`.
std::string jsonConnectionList(const ConnectionList& list, bool withBytes);

// The same array handed to `write` in pieces of about `pieceSize` bytes (each
// whole rows), so that a table of any size never stands in memory twice.
// Stops, and returns false, at the first piece `write` does not take.
bool writeJsonConnectionList(const ConnectionList& list, bool withBytes,
                             const std::function<bool(std::string_view piece)>& write,
                             std::size_t pieceSize = std::size_t{1} << 20);

}  // namespace kestrova
