#pragma once

namespace kestrova {

// Turns SIGINT, SIGTERM and SIGHUP into a readable file descriptor, so that an
// event loop can end its run in order (workers stopped, output flushed)
// instead of the process dying wherever it stands. SIGPIPE is ignored while it
// lives: a write to a closed pipe then fails with EPIPE, which the writer sees.
// A second stop signal ends the process at once, the way it would without us.
// One instance at a time; the previous handlers come back when it goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal has come; -1 when the handlers could not be
    // installed.
    int fd() const;
    // The first stop signal that came, 0 while none has.
    int received() const;
};

// Ends the process as `signal` ends it when nobody handles it, so that a
// parent (a shell running a script, say) sees how it ended.
[[noreturn]] void endBySignal(int signal);

// Whether `fd` is the writing end of a pipe.
bool isPipe(int fd);

}  // namespace kestrova
