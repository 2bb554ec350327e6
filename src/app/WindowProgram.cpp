#include <QApplication>

#include <cstdio>
#include <string>
#include <vector>

#include "app/Machine.h"
#include "app/Programs.h"
#include "linux/Cp932.h"
#include "monitor/HostNamePass.h"
#include "qt/MainWindow.h"
#include "qt/QtWindowThread.h"
#include "qt/Translation.h"
#include "qt/WindowPlatform.h"
#include "ui/MainDialog.h"

namespace kestrova {

namespace {

// How to run without a display, after the line that says why there is none.
constexpr const char* kWithoutDisplay =
    "Run it from a desktop session, on a virtual display (xvfb-run -a kestrova),\n"
    "or without a window: kestrova --log\n";

}  // namespace

int runWindow(int argc, char** argv, const CommandLine& command) {
    if (!haveDisplay()) {
        std::fputs("kestrova: no display to open its window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n",
                   stderr);
        std::fputs(kWithoutDisplay, stderr);
        return EXIT_USAGE;
    }
    const WindowPlatform where = windowPlatform();
    if (!where.unreachable.empty()) {
        std::fprintf(stderr, "kestrova: no display to open its window on (%s be reached).\n",
                     unreachableDisplays(where.unreachable).c_str());
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
    Machine machine(argv[0], command);
    QApplication::setApplicationName(machine.applicationName());
    ProfileStore profile(machine.profileFile, cp932ToUtf8, machine.profileNotices());

    MainWindow window(machine.connections, machine.log);
    // This run's options stand in for the profile's, so that the exit saves
    // them if it saves at all; nothing else writes the profile.
    MainDialog dialog({window, machine.connections, machine.log, machine.clock, machine.table, machine.processes,
                       machine.version, profile, {}, window.windowThread(), machine.resolver, &machine.addresses,
                       &machine.packetSources, LOOKUP_DEADLINE, nullptr, command.overrides()});
    window.attach(&dialog);
    window.start();
    return app.exec();
}

}  // namespace kestrova
