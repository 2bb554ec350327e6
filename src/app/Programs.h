#pragma once
#include "qt/CommandLine.h"

namespace kestrova {

// How a run without a window ended: an exit status, or the signal to end the
// process by.
struct RunEnd {
    int status = 0;
    int signal = 0;
};

// The window; returns the exit status.
int runWindow(int argc, char** argv, const CommandLine& command);
// --log: every change as a line on standard output, until a signal or the
// output's reader ends it.
RunEnd runLog(int argc, char** argv, const CommandLine& command);
// --list: the connections once, as a table or JSON.
RunEnd runList(int argc, char** argv, const CommandLine& command);

}  // namespace kestrova
