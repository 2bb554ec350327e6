#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "monitor/ConnectionList.h"

namespace kestrova {

// The rows as the window shows them, for kestrova --list: a header line, then
// one line per row, top row first, each with the columns the window shows
// (those with a width) in their order, separated by tabs. Cells are written
// as the text log writes its lines, so a tab or line break in a cell cannot
// break a line.
std::string connectionListing(const ConnectionList& list);

// The same text handed to `write` in pieces of about `pieceSize` bytes (each
// whole lines). Stops, and returns false, at the first piece `write` does
// not take.
bool writeConnectionListing(const ConnectionList& list, const std::function<bool(std::string_view piece)>& write,
                            std::size_t pieceSize = std::size_t{1} << 20);

}  // namespace kestrova
