// Measures what --json costs on top of --log: the windowless monitor, built as
// `kestrova --log` builds it, takes a first tick in which every one of 30,000
// loopback connections (60,000 sockets) is new, writing its lines to
// /dev/null through the same output queue, once as text and once as JSON,
// rounds interleaved. The figure is each tick's time until its last line has
// been written, in wall time and in the CPU time of all threads, with
// `ss -tanp` on the same table as the reference. Prints name=value lines.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../refresh/LoopbackConnections.h"
#include "json/JsonLines.h"
#include "linux/Cp932.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "linux/OutputQueue.h"
#include "options/ProfileStore.h"
#include "qt/LogHost.h"
#include "ui/Commands.h"
#include "ui/MainDialog.h"

extern char** environ;

namespace {

using namespace kestrova;
using Steady = std::chrono::steady_clock;

double cpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void print(const char* name, double value) { std::printf("%s=%.4g\n", name, value); }

struct Tick {
    double wallMs, cpuMs;
    std::size_t lines;
};

// One windowless monitor, fresh (empty rows, cold caches), and its first tick.
Tick firstTick(bool json, int devNull) {
    QTemporaryDir directory;
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    LinuxProfileFile profileFile{directory.filePath("bench.INI").toStdString()};
    ProfileStore profile{profileFile, cp932ToUtf8};
    OutputQueue output(devNull);
    std::size_t lines = 0;
    LogHost host(
        [&](std::string_view line) {
            ++lines;
            return output.write(line);
        },
        json ? TerminalLog::Format(jsonLogLine) : TerminalLog::Format());
    MainDialog dialog({host, connections, log, clock, table, processes, version, profile, {}, host.windowThread(),
                       nullptr, nullptr, nullptr, LOOKUP_DEADLINE, host.logListener()});
    host.attach(&dialog);
    dialog.initialise();

    const auto start = Steady::now();
    const double cpuStart = cpuMilliseconds();
    dialog.onTimer(TIMER_REFRESH);
    output.flush();
    const Tick tick{std::chrono::duration<double, std::milli>(Steady::now() - start).count(),
                    cpuMilliseconds() - cpuStart, lines};
    host.end();
    return tick;
}

double timeSs() {
    const auto start = Steady::now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char ss[] = "ss", tanp[] = "-tanp";
    char* argv[] = {ss, tanp, nullptr};
    pid_t pid = -1;
    const bool spawned = posix_spawnp(&pid, "ss", &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) return -1;
    waitpid(pid, nullptr, 0);
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int connections = 30000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--connections") == 0) connections = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    LoopbackConnections held(connections);
    if (!held.ready()) std::fprintf(stderr, "could not open %d loopback connections\n", connections);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

    std::vector<double> textWall, jsonWall, textCpu, jsonCpu, ss;
    std::size_t textLines = 0, jsonLines = 0;
    for (int round = 0; round < rounds; ++round) {
        // Which goes first alternates, so that neither always meets the
        // machine warmer.
        for (const bool json : {round % 2 == 1, round % 2 == 0}) {
            const Tick tick = firstTick(json, devNull);
            (json ? jsonWall : textWall).push_back(tick.wallMs);
            (json ? jsonCpu : textCpu).push_back(tick.cpuMs);
            (json ? jsonLines : textLines) = tick.lines;
        }
        ss.push_back(timeSs());
    }
    print("connections", connections);
    print("lines_text", static_cast<double>(textLines));
    print("lines_json", static_cast<double>(jsonLines));
    print("ss_tanp_ms", median(ss));
    print("log_tick_ms", median(textWall));
    print("json_tick_ms", median(jsonWall));
    print("log_tick_cpu_ms", median(textCpu));
    print("json_tick_cpu_ms", median(jsonCpu));
    print("json_vs_log_wall", median(jsonWall) / median(textWall));
    print("json_vs_log_cpu", median(jsonCpu) / median(textCpu));
    print("log_vs_ss", median(textWall) / median(ss));
    return 0;
}
