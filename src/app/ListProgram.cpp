#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "app/Machine.h"
#include "app/Programs.h"
#include "app/RunEnd.h"
#include "json/JsonLines.h"
#include "monitor/HostNamePass.h"
#include "monitor/RefreshCycle.h"
#include "qt/QtWindowThread.h"
#include "qt/Translation.h"
#include "terminal/ConnectionListing.h"

namespace kestrova {

namespace {

// Looks up the host names of the rows' addresses, as one host name pass of
// the window does, and waits for it on this thread's event loop; returns
// early when `stopFd` or standard output's reader ends the run.
void lookUpHostNames(Machine& machine, int stopFd) {
    QtWindowThread windowThread;
    std::shared_ptr<HostNamePass> pass =
        HostNamePass::start(machine.connections, LogSink(), windowThread.share(), machine.resolver, nullptr,
                            LOOKUP_DEADLINE, [] { QCoreApplication::quit(); });
    if (!pass) return;
    std::vector<std::unique_ptr<QSocketNotifier>> ends;
    for (int fd : {stopFd, isPipe(fileno(stdout)) ? fileno(stdout) : -1}) {
        if (fd < 0) continue;
        ends.push_back(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read));
        QObject::connect(ends.back().get(), &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    }
    QCoreApplication::exec();
    pass->stop();
    windowThread.close();
}

}  // namespace

RunEnd runList(int argc, char** argv, const CommandLine& command) {
    StopSignals stopSignals;
    QCoreApplication app(argc, argv);
    useTextLanguage(userTextLanguage());
    Machine machine(argv[0], command);
    QCoreApplication::setApplicationName(machine.applicationName());

    // The rows come from the window's own refresh, so every cell reads as the
    // window would show it.
    bool unreadable = false;
    RefreshCycle refresh(machine.connections, machine.table, machine.processes, LogSink(),
                         [&unreadable](std::string_view) { unreadable = true; });
    refresh.tick(false);
    if (command.hostNames && !unreadable) {
        lookUpHostNames(machine, stopSignals.fd());
        // The names show in the endpoints from the next refresh on.
        if (!stopSignals.received()) refresh.tick(true);
    }
    if (unreadable) {
        std::fprintf(stderr, "%s: cannot read the machine's TCP connection table.\n",
                     qPrintable(machine.applicationName()));
        return {EXIT_FAILURE, 0};
    }

    // The table goes out in pieces, each waiting for room in the queue: a
    // table of any size is written whole, or the run says why it is not.
    OutputQueue output(fileno(stdout));
    bool written = false;
    if (!stopSignals.received()) {
        auto write = [&](std::string_view piece) { return output.writeWhenRoom(piece, stopSignals.fd()); };
        written = command.json ? writeJsonConnectionList(machine.connections, false, write)
                               : writeConnectionListing(machine.connections, write);
        written = written && output.flush(stopSignals.fd());
    }
    output.close();
    const RunEnd end = windowlessEnd(stopSignals, output, false, machine.applicationName(), "list");
    if (end.signal || end.status || written) return end;
    std::fprintf(stderr, "%s: cannot write the whole list.\n", qPrintable(machine.applicationName()));
    return {EXIT_FAILURE, 0};
}

}  // namespace kestrova
