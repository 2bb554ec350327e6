// Kestrova: a window that lists the machine's IPv4 TCP connections and logs
// every change to them.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "options/ProfileStore.h"
#include "platform/linux/Cp932.h"
#include "platform/linux/LinuxAddressList.h"
#include "platform/linux/LinuxClock.h"
#include "platform/linux/LinuxConnectionTable.h"
#include "platform/linux/LinuxPacketSource.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxProfileFile.h"
#include "platform/linux/LinuxVersionInfo.h"
#include "platform/qt/MainWindow.h"
#include "platform/qt/QtWindowThread.h"
#include "ui/MainDialog.h"

namespace {

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!haveDisplay()) {
        std::fputs(
            "kestrova: no display to open its window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
            "Run it from a desktop session, or on a virtual display: xvfb-run -a kestrova\n",
            stderr);
        return 2;
    }
    QApplication app(argc, argv);
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    QApplication::setApplicationName(
        QString::fromStdString(executable.empty() ? std::string("kestrova") : executable.stem().string()));

    kestrova::ConnectionList connections;
    kestrova::EventLog log;
    kestrova::LinuxClock clock;
    kestrova::LinuxConnectionTable table;
    kestrova::LinuxProcessInfo processes;
    kestrova::LinuxVersionInfo version;
    kestrova::LinuxProfileFile profileFile(
        kestrova::profilePathFor(executable.empty() ? std::string(argv[0]) : executable.string()));
    kestrova::ProfileStore profile(profileFile, kestrova::cp932ToUtf8);
    kestrova::LinuxAddressList addresses;
    kestrova::LinuxPacketSources packetSources(
        kestrova::locateCaptureHelper(executable.empty() ? std::string(argv[0]) : executable.string()));

    kestrova::MainWindow window(connections, log);
    kestrova::MainDialog dialog({window, connections, log, clock, table, processes, version, profile, {},
                                 window.windowThread(), &addresses, &packetSources});
    window.attach(&dialog);
    window.start();
    return app.exec();
}
