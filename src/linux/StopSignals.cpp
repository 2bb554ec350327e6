#include "linux/StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>

namespace kestrova {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int wakePipe[2] = {-1, -1};
volatile sig_atomic_t firstSignal = 0;
struct sigaction previous[std::size(kStopSignals)];
struct sigaction previousPipe;

void onStopSignal(int signal) {
    if (firstSignal != 0) {
        // Asked twice: should the orderly end ever hang, this one is not.
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigaction(signal, &standard, nullptr);
        raise(signal);
        return;
    }
    const int savedErrno = errno;
    firstSignal = signal;
    const char byte = static_cast<char>(signal);
    // The pipe is non-blocking: when it is full, a wake-up is pending anyway.
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals() {
    firstSignal = 0;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
        return;
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &action, &previous[i]);
}

StopSignals::~StopSignals() {
    if (wakePipe[0] >= 0) {
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &previous[i], nullptr);
        close(wakePipe[0]);
        close(wakePipe[1]);
        wakePipe[0] = wakePipe[1] = -1;
    }
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

int StopSignals::fd() const { return wakePipe[0]; }

int StopSignals::received() const { return firstSignal; }

void endBySignal(int signal) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // A signal whose default is not to end the process.
    std::_Exit(128 + signal);
}

bool isPipe(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
}

}  // namespace kestrova
