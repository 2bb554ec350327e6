#pragma once
#include <chrono>

namespace kestrova::testing {

// How long a test waits for what it awaits (a line, a row, a process's end, a
// menu) before it calls it missing. Each comes within 0.1 to 3 seconds today,
// a few times that on a busy machine; this is ten times the slowest, so that
// load never fails a test, while what never comes still does.
inline constexpr std::chrono::seconds kPatience{30};

}  // namespace kestrova::testing
