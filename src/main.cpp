// Kestrova: lists the machine's IPv4 TCP connections (with -6 the IPv6 ones
// too) and logs every change to them, in a window or, with --log, as lines on
// standard output.
#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "json/JsonLines.h"
#include "monitor/HostNamePass.h"
#include "monitor/RefreshCycle.h"
#include "options/ProfileCopy.h"
#include "options/ProfileStore.h"
#include "linux/Cp932.h"
#include "linux/Descriptors.h"
#include "linux/DisplayProbe.h"
#include "linux/LinuxAddressList.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxHostResolver.h"
#include "linux/LinuxPacketSource.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "linux/OutputQueue.h"
#include "linux/StopSignals.h"
#include "qt/CommandLine.h"
#include "qt/LogHost.h"
#include "qt/MainWindow.h"
#include "qt/QtWindowThread.h"
#include "qt/Translation.h"
#include "ui/Commands.h"
#include "terminal/ConnectionListing.h"
#include "ui/MainDialog.h"

namespace {

using namespace kestrova;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (isSet(name)) return true;
    return false;
}

// Where the window opens: the platform to ask Qt for (none for Qt's own
// choice), or, when no display that would be tried answers, the displays
// that were tried. Qt would abort on them, with no word of which display.
struct WindowPlatform {
    const char* platform = nullptr;
    std::vector<std::string> unreachable;
};

// Wayland lets a client neither keep its window on top nor set its own
// opacity, so on a Wayland desktop that also runs an X server (XWayland) the
// window goes through X, on Wayland only if X cannot be reached; a platform
// the user chose (QT_QPA_PLATFORM) stays. Without an X server it runs on
// Wayland and says once what it cannot do there.
WindowPlatform windowPlatform() {
    const char* x = std::getenv("DISPLAY");
    const std::string xName =
        std::string("the X display ") + (isSet("DISPLAY") ? std::string("DISPLAY=") + x : "(DISPLAY is not set)");
    // Without WAYLAND_DISPLAY, Wayland clients look for "wayland-0".
    const char* wayland = isSet("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "wayland-0";
    const std::string waylandName =
        std::string("the Wayland display ") + (isSet("WAYLAND_DISPLAY") ? "WAYLAND_DISPLAY=" : "") + wayland;
    auto xAnswers = [] { return xDisplayReachable(nullptr); };
    auto waylandAnswers = [wayland] { return waylandDisplayReachable(wayland, std::getenv("XDG_RUNTIME_DIR")); };

    if (isSet("QT_QPA_PLATFORM")) {
        // Qt tries the user's platforms in order; only X and Wayland can be
        // asked beforehand, any other (offscreen, vnc, ...) is Qt's to judge.
        WindowPlatform none;
        const std::string chosen = std::getenv("QT_QPA_PLATFORM");
        for (std::size_t at = 0; at <= chosen.size();) {
            const std::size_t end = std::min(chosen.find(';', at), chosen.size());
            const std::string entry = chosen.substr(at, end - at);
            const std::string name = entry.substr(0, entry.find(':'));
            at = end + 1;
            if (name == "xcb") {
                if (xAnswers()) return {};
                none.unreachable.push_back(xName);
            } else if (name.starts_with("wayland")) {
                if (waylandAnswers()) return {};
                none.unreachable.push_back(waylandName);
            } else {
                return {};
            }
        }
        return none;
    }
    const char* session = std::getenv("XDG_SESSION_TYPE");
    if (!isSet("WAYLAND_DISPLAY") && !(session && std::strcmp(session, "wayland") == 0)) {
        if (xAnswers()) return {};
        return {nullptr, {xName}};
    }
    if (isSet("DISPLAY") && xAnswers()) return {"xcb;wayland", {}};
    if (!waylandAnswers()) {
        WindowPlatform none;
        if (isSet("DISPLAY")) none.unreachable.push_back(xName);
        none.unreachable.push_back(waylandName);
        return none;
    }
    if (isSet("DISPLAY"))
        std::fprintf(stderr,
                     "kestrova: the X server of this Wayland desktop (DISPLAY=%s) cannot be reached: the window "
                     "cannot stay on top or be transparent.\n",
                     x);
    else
        std::fputs("kestrova: no X server on this Wayland desktop (DISPLAY is not set): the window cannot stay on "
                   "top or be transparent.\n",
                   stderr);
    return {"wayland", {}};
}

std::filesystem::path executablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error);
}

// What either front end drives: the rows, the log and the machine.
struct Core {
    Core(const char* argv0, const CommandLine& command)
        : executable(executablePath()),
          program(executable.empty() ? std::string(argv0) : executable.string()),
          table(LinuxConnectionTable::Reader::Automatic, familiesOf(command)),
          profileFile(profilePathFor(program)),
          addresses(familiesOf(command)),
          packetSources(locateCaptureHelper(program)) {}

    // The rows list, and packet checking counts, IPv6 too with -6.
    static IpFamilies familiesOf(const CommandLine& command) {
        return command.ipv6 ? IpFamilies::Ipv4AndIpv6 : IpFamilies::Ipv4;
    }

    // Captions message boxes and prefixes messages on standard error.
    QString applicationName() const {
        return QString::fromStdString(executable.empty() ? std::string("kestrova") : executable.stem().string());
    }

    // Trouble with the profile, told on standard error.
    ProfileStore::Notices profileNotices() const {
        return {profileFile.path(), [name = applicationName().toLocal8Bit()](std::string_view line) {
                    std::fprintf(stderr, "%s: %.*s\n", name.constData(), static_cast<int>(line.size()), line.data());
                }};
    }

    std::filesystem::path executable;
    // The program's own path, as well as it can be told.
    std::string program;
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    LinuxProfileFile profileFile;
    // Shared with host name lookups that may still be running when the
    // window has gone.
    std::shared_ptr<LinuxHostResolver> resolver = std::make_shared<LinuxHostResolver>();
    LinuxAddressList addresses;
    LinuxPacketSources packetSources;
};

// How to run without a display, after the line that says why there is none.
constexpr const char* kWithoutDisplay =
    "Run it from a desktop session, on a virtual display (xvfb-run -a kestrova),\n"
    "or without a window: kestrova --log\n";

int runWindow(int argc, char** argv, const CommandLine& command) {
    if (!haveDisplay()) {
        std::fputs("kestrova: no display to open its window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n",
                   stderr);
        std::fputs(kWithoutDisplay, stderr);
        return EXIT_USAGE;
    }
    const WindowPlatform where = windowPlatform();
    if (!where.unreachable.empty()) {
        const std::vector<std::string>& tried = where.unreachable;
        std::string which = tried.size() == 1 ? tried.front() + " cannot" : "neither " + tried.front();
        for (std::size_t i = 1; i < tried.size(); ++i) which += " nor " + tried[i];
        if (tried.size() > 1) which += " can";
        std::fprintf(stderr, "kestrova: no display to open its window on (%s be reached).\n", which.c_str());
        std::fputs(kWithoutDisplay, stderr);
        return EXIT_USAGE;
    }
    // Qt's own -platform option, rather than QT_QPA_PLATFORM: the programs
    // this one starts do not inherit the choice.
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    std::string platform;
    if (where.platform) {
        platform = where.platform;
        arguments.push_back(platformOption);
        arguments.push_back(platform.data());
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    QApplication app(count, arguments.data());
    useTextLanguage(userTextLanguage());
    Core core(argv[0], command);
    QApplication::setApplicationName(core.applicationName());
    ProfileStore profile(core.profileFile, cp932ToUtf8, core.profileNotices());

    MainWindow window(core.connections, core.log);
    // This run's options stand in for the profile's, so that the exit saves
    // them if it saves at all; nothing else writes the profile.
    MainDialog dialog({window, core.connections, core.log, core.clock, core.table, core.processes, core.version,
                       profile, {}, window.windowThread(), core.resolver, &core.addresses, &core.packetSources,
                       LOOKUP_DEADLINE, nullptr, command.overrides()});
    window.attach(&dialog);
    window.start();
    return app.exec();
}

// How a run without a window ended: an exit status, or the signal to end the
// process by.
struct LogEnd {
    int status = 0;
    int signal = 0;
};

// Tells on standard error that the reader of standard output fell so far
// behind that lines were dropped.
std::function<void(std::uint64_t)> reportDropped(const QString& program) {
    return [name = program.toLocal8Bit()](std::uint64_t lines) {
        std::fprintf(stderr, "%s: the reader of the log fell behind: %llu lines were not written\n",
                     name.constData(), static_cast<unsigned long long>(lines));
    };
}

// How a run without a window ended, from what its output and signals say.
LogEnd windowlessEnd(const StopSignals& stopSignals, const OutputQueue& output, bool readerGone,
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

LogEnd runLog(int argc, char** argv, const CommandLine& command) {
    // Before anything else, so that a signal that comes early is not lost.
    StopSignals stopSignals;
    QCoreApplication app(argc, argv);
    useTextLanguage(userTextLanguage());
    Core core(argv[0], command);
    QCoreApplication::setApplicationName(core.applicationName());

    // The options come from the profile, but this mode never writes it: the
    // dialog reads an in-memory copy, with this run's switches over it.
    const ProfileRead original = core.profileFile.read();
    ProfileCopy profileCopy(original);
    ProfileStore profile(profileCopy, cp932ToUtf8, core.profileNotices());
    profile.noticeRead(original);

    const int out = fileno(stdout);
    OutputQueue output(out, reportDropped(core.applicationName()));
    LogHost host([&output](std::string_view line) { return output.write(line); },
                 command.json ? TerminalLog::Format(jsonLogLine) : TerminalLog::Format());
    // Standard output carries the log lines here, so a table that cannot be
    // read is reported on standard error instead of breaking the stream.
    auto reportError = [](std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    };
    MainDialog dialog({host, core.connections, core.log, core.clock, core.table, core.processes, core.version,
                       profile, reportError, host.windowThread(), core.resolver, &core.addresses,
                       &core.packetSources, LOOKUP_DEADLINE, host.logListener(), command.overrides()});
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
    const LogEnd end = windowlessEnd(stopSignals, output, readerGone, core.applicationName(), "log");
    // A reader that went away asked for nothing more; one that is still
    // there is told what it will never get.
    if (end.signal != SIGPIPE && output.error() == 0) {
        if (const std::uint64_t lost = output.unwrittenLines())
            std::fprintf(stderr, "%s: the log ended before its reader took it: %llu lines were not written\n",
                         qPrintable(core.applicationName()), static_cast<unsigned long long>(lost));
    }
    return end;
}

// Looks up the host names of the rows' addresses, as one host name pass of
// the window does, and waits for it on this thread's event loop; returns
// early when `stopFd` or standard output's reader ends the run.
void lookUpHostNames(Core& core, int stopFd) {
    QtWindowThread windowThread;
    std::shared_ptr<HostNamePass> pass =
        HostNamePass::start(core.connections, LogSink(), windowThread.share(), core.resolver);
    if (!pass) return;
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&pass] {
        if (!pass->running()) QCoreApplication::quit();
    });
    done.start(10);
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

LogEnd runList(int argc, char** argv, const CommandLine& command) {
    StopSignals stopSignals;
    QCoreApplication app(argc, argv);
    useTextLanguage(userTextLanguage());
    Core core(argv[0], command);
    QCoreApplication::setApplicationName(core.applicationName());

    // The rows come from the window's own refresh, so every cell reads as the
    // window would show it.
    bool unreadable = false;
    RefreshCycle refresh(core.connections, core.table, core.processes, LogSink(),
                         [&unreadable](std::string_view) { unreadable = true; });
    refresh.tick(false);
    if (command.hostNames && !unreadable) {
        lookUpHostNames(core, stopSignals.fd());
        // The names show in the endpoints from the next refresh on.
        if (!stopSignals.received()) refresh.tick(true);
    }
    if (unreadable) {
        std::fprintf(stderr, "%s: cannot read the machine's TCP connection table.\n",
                     qPrintable(core.applicationName()));
        return {EXIT_FAILURE, 0};
    }

    // The table goes out in pieces, each waiting for room in the queue: a
    // table of any size is written whole, or the run says why it is not.
    OutputQueue output(fileno(stdout));
    bool written = false;
    if (!stopSignals.received()) {
        auto write = [&](std::string_view piece) { return output.writeWhenRoom(piece, stopSignals.fd()); };
        written = command.json ? writeJsonConnectionList(core.connections, false, write)
                               : writeConnectionListing(core.connections, write);
        written = written && output.flush(stopSignals.fd());
    }
    output.close();
    const LogEnd end = windowlessEnd(stopSignals, output, false, core.applicationName(), "list");
    if (end.signal || end.status || written) return end;
    std::fprintf(stderr, "%s: cannot write the whole list.\n", qPrintable(core.applicationName()));
    return {EXIT_FAILURE, 0};
}

}  // namespace

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
        const LogEnd end = command.mode == CommandLine::Mode::Log ? runLog(argc, argv, command)
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
