#include <QCoreApplication>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/Machine.h"
#include "app/Programs.h"
#include "app/RunEnd.h"
#include "json/JsonLines.h"
#include "linux/Cp932.h"
#include "monitor/HostNamePass.h"
#include "options/ProfileCopy.h"
#include "qt/LogHost.h"
#include "qt/Translation.h"
#include "terminal/TerminalLog.h"
#include "ui/MainDialog.h"

namespace kestrova {

RunEnd runLog(int argc, char** argv, const CommandLine& command) {
    // Before anything else, so that a signal that comes early is not lost.
    StopSignals stopSignals;
    QCoreApplication app(argc, argv);
    useTextLanguage(userTextLanguage());
    Machine machine(argv[0], command);
    QCoreApplication::setApplicationName(machine.applicationName());

    // The options come from the profile, but this mode never writes it: the
    // dialog reads an in-memory copy, with this run's switches over it.
    const ProfileRead original = machine.profileFile.read();
    ProfileCopy profileCopy(original);
    ProfileStore profile(profileCopy, cp932ToUtf8, machine.profileNotices());
    profile.noticeRead(original);

    const int out = fileno(stdout);
    OutputQueue output(out, reportDropped(machine.applicationName()));
    LogHost host([&output](std::string_view line) { return output.write(line); },
                 command.json ? TerminalLog::Format(jsonLogLine) : TerminalLog::Format());
    // Standard output carries the log lines here, so a table that cannot be
    // read is reported on standard error instead of breaking the stream.
    auto reportError = [](std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    };
    MainDialog dialog({host, machine.connections, machine.log, machine.clock, machine.table, machine.processes,
                       machine.version, profile, reportError, host.windowThread(), machine.resolver,
                       &machine.addresses, &machine.packetSources, LOOKUP_DEADLINE, host.logListener(),
                       command.overrides()});
    host.attach(&dialog);
    host.endWhenReadable(stopSignals.fd());
    host.endWhenReadable(output.failureFd());
    // Noticed at once, not only when the next line fails to go out.
    if (isPipe(out)) host.endWhenReadable(out);
    QObject::connect(&host, &LogHost::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    host.start();
    app.exec();

    const bool readerGone = host.endedBy() == out;
    // What is still queued may go out for a moment; a reader that has
    // stalled does not hold the end up for longer.
    if (!readerGone) output.flush(-1, 300);
    output.close();
    if (!dialog.osSupported()) return {EXIT_FAILURE, 0};
    const RunEnd end = windowlessEnd(stopSignals, output, readerGone, machine.applicationName(), "log");
    // A reader that went away asked for nothing more; one that is still
    // there is told what it will never get.
    if (end.signal != SIGPIPE && output.error() == 0) {
        if (const std::uint64_t lost = output.unwrittenLines())
            std::fprintf(stderr, "%s: the log ended before its reader took it: %llu lines were not written\n",
                         qPrintable(machine.applicationName()), static_cast<unsigned long long>(lost));
    }
    return end;
}

}  // namespace kestrova
