// Kestrova: lists the machine's IPv4 TCP connections (with -6 the IPv6 ones
// too) and logs every change to them, in a window or, with --log, as lines on
// standard output.
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

#include "app/Programs.h"
#include "linux/Descriptors.h"
#include "linux/StopSignals.h"
#include "qt/CommandLine.h"
#include "ui/Commands.h"

using namespace kestrova;

int main(int argc, char** argv) {
    // Every process holding sockets may cost a descriptor to watch.
    raiseDescriptorLimit();
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = argc > 0 && *argv[0] ? QFileInfo(arguments.constFirst()).fileName()
                                                  : QStringLiteral("kestrova");
    const CommandLine command = parseCommandLine(arguments);
    switch (command.mode) {
    case CommandLine::Mode::Help:
        std::fputs(helpText(program).toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Mode::Version:
        std::printf("%s\n", VERSION_TEXT.data());
        return 0;
    case CommandLine::Mode::Error:
        std::fprintf(stderr, "%s: %s\n%s\nRun '%s --help' for the options.\n", qPrintable(program),
                     qPrintable(command.error), qPrintable(usageLine(program)), qPrintable(program));
        return EXIT_USAGE;
    case CommandLine::Mode::Log:
    case CommandLine::Mode::List: {
        const RunEnd end = command.mode == CommandLine::Mode::Log ? runLog(argc, argv, command)
                                                                  : runList(argc, argv, command);
        // Only now, with every worker stopped and everything torn down.
        if (end.signal) endBySignal(end.signal);
        return end.status;
    }
    case CommandLine::Mode::Window:
        break;
    }
    return runWindow(argc, argv, command);
}
