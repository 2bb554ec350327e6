#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/LogEvent.h"
#include "text/UiTexts.h"

namespace kestrova {

class ConnectionList;

// Column indexes of the connection rows.
enum ConnectionColumn : int {
    colProtocol = 0,
    colActive,
    colSource,
    colArrow,
    colDestination,
    colState,
    colProcess,
    colPid,
    colSeen,
    colLocalIp,
    colLocalHost,
    colLocalPort,
    colRemoteIp,
    colRemoteHost,
    colRemotePort,
    colTotalBytes,
    kConnectionColumns
};

enum class Align { Left, Right, Centre };

struct ColumnSpec {
    // A column headed by one of the program's texts, in the user's language.
    constexpr ColumnSpec(UiText text, Align align, int width)
        : header(sourceOf(text).data()), align(align), width(width), text(text) {}
    // A column headed by the same text in every language.
    constexpr ColumnSpec(const char* header, Align align, int width) : header(header), align(align), width(width) {}

    // The header as the user reads it.
    std::string_view shownHeader() const { return text ? shownText(*text) : std::string_view(header); }

    const char* header;  // as written
    Align align;
    int width;
    std::optional<UiText> text;
};

extern const std::array<ColumnSpec, kConnectionColumns> kConnectionColumnSpecs;

extern const std::array<std::string_view, 13> StateNames;
// Text shown for a state number; numbers outside the table show as
// "UNKNOWN(n)" so that a change to or from them is still seen and logged.
std::string stateText(std::uint32_t state);

// What the connection rows show, cell by cell: the window's model, --list,
// the log lines and --list --json take every text of a row from here and
// from nowhere else, so that how a row is kept stays out of how it reads.

// Appends the text of cell `column` of row `row` to `out`; nothing for a row
// or column out of range.
void appendCell(std::string& out, const ConnectionList& list, int row, int column);
// The same text on its own.
std::string cellText(const ConnectionList& list, int row, int column);
// What a log line or --list --json tells of row `row`, in the state the row
// shows. The views last until the row changes.
ConnectionFacts rowFacts(const ConnectionList& list, int row);

}  // namespace kestrova
