#pragma once
#include <string>

#include "monitor/ConnectionList.h"

namespace kestrova {

// The rows as the window shows them, for kestrova --list: a header line, then
// one line per row, top row first, each with the columns the window shows
// (those with a width) in their order, separated by tabs. Cells are written
// as the text log writes its lines, so a tab or line break in a cell cannot
// break a line.
std::string connectionListing(const ConnectionList& list);

}  // namespace kestrova
