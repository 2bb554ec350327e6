#include "app/RunEnd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrova {

std::function<void(std::uint64_t)> reportDropped(const QString& program) {
    return [name = program.toLocal8Bit()](std::uint64_t lines) {
        std::fprintf(stderr, "%s: the reader of the log fell behind: %llu lines were not written\n",
                     name.constData(), static_cast<unsigned long long>(lines));
    };
}

RunEnd windowlessEnd(const StopSignals& stopSignals, const OutputQueue& output, bool readerGone,
                     const QString& program, const char* what) {
    if (stopSignals.received()) return {0, stopSignals.received()};
    // A reader that went away ends the run as it ends any writer to a pipe.
    if (readerGone || output.error() == EPIPE) return {0, SIGPIPE};
    if (output.error()) {
        std::fprintf(stderr, "%s: cannot write the %s: %s\n", qPrintable(program), what,
                     std::strerror(output.error()));
        return {EXIT_FAILURE, 0};
    }
    return {};
}

}  // namespace kestrova
