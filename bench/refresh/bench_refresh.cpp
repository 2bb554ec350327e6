// Measures the refresh of the connection pane against `ss -tanp` on the same
// table, in the same run: a tick in which nothing changed, a tick in which
// every connection is new, the memory a row costs, and the CPU the idle
// program uses. Prints one name=value line per figure.
#include <QApplication>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackConnections.h"
#include "options/ProfileStore.h"
#include "platform/linux/Cp932.h"
#include "platform/linux/LinuxClock.h"
#include "platform/linux/LinuxConnectionTable.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxProfileFile.h"
#include "platform/linux/LinuxVersionInfo.h"
#include "platform/qt/MainWindow.h"
#include "ui/MainDialog.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace kestrova;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void print(const std::string& name, double value) { std::printf("%s=%.4g\n", name.c_str(), value); }

pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment,
            const char* output) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment(extraEnvironment);
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output, O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Wall time of one `ss -tanp` run, its output thrown away.
double timeSs() {
    const auto start = Clock::now();
    const pid_t pid = spawn({"ss", "-tanp"}, {}, "/dev/null");
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return millisecondsSince(start);
}

double medianSs(int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(timeSs());
    return median(times);
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The whole window, on the offscreen platform, over the real table.
struct Monitor {
    QTemporaryDir directory;
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    LinuxProfileFile profileFile{directory.filePath("bench.INI").toStdString()};
    ProfileStore profile{profileFile, cp932ToUtf8};
    MainWindow window{connections, log};
    MainDialog dialog{{window, connections, log, clock, table, processes, version, profile, {}}};

    Monitor() {
        window.attach(&dialog);
        window.start();
        window.killTimer(TIMER_REFRESH);  // ticks are driven by hand below
    }
    ~Monitor() { window.close(); }

    // One refresh tick as the timer would run it, until the views have taken
    // in every change.
    double tick() {
        const auto start = Clock::now();
        dialog.onTimer(TIMER_REFRESH);
        window.flushModels();
        QCoreApplication::processEvents();
        const double elapsed = millisecondsSince(start);
        window.killTimer(TIMER_REFRESH);
        return elapsed;
    }
};

struct TickFigures {
    double ss, steady, allNew;
    long bytesPerRow;
    int rows;
};

TickFigures measureTicks(int connections) {
    LoopbackConnections held(connections);
    if (!held.ready()) std::fprintf(stderr, "could not open %d loopback connections\n", connections);
    TickFigures figures{};
    std::vector<double> allNew;
    for (int round = 0; round < 3; ++round) {
        // A fresh window each round: an empty pane and a cold owner cache.
        const long before = residentBytes();
        auto monitor = std::make_unique<Monitor>();
        allNew.push_back(monitor->tick());
        figures.rows = monitor->connections.rowCount();
        if (round == 0 && figures.rows > 0)
            figures.bytesPerRow = (residentBytes() - before) / figures.rows;
        if (round == 2) {
            std::vector<double> steady;
            for (int i = 0; i < 15; ++i) steady.push_back(monitor->tick());
            figures.steady = median(steady);
        }
    }
    figures.allNew = median(allNew);
    figures.ss = medianSs(5);
    return figures;
}

// CPU share of one core used by the real program, idle on the offscreen
// platform at its default 100 ms interval, over `seconds`.
double idleCpuPercent(const std::string& program, int seconds) {
    QTemporaryDir config;
    const pid_t pid = spawn({program}, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.path().toStdString()},
                            "/dev/null");
    if (pid < 0) return -1;
    auto cpuTicks = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close == std::string::npos) return -1.0;
        std::vector<std::string> fields;
        std::string field;
        for (char c : text.substr(close + 2)) {
            if (c == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
        return fields.size() > 13 ? std::stod(fields[11]) + std::stod(fields[12]) : -1.0;
    };
    sleep(3);  // start-up and the first, full tick are not idle time
    const double startTicks = cpuTicks();
    const auto start = Clock::now();
    sleep(static_cast<unsigned>(seconds));
    const double endTicks = cpuTicks();
    const double wallSeconds = millisecondsSince(start) / 1000.0;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (startTicks < 0 || endTicks < 0) return -1;
    return 100.0 * (endTicks - startTicks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wallSeconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::string program = (self.parent_path().parent_path() / "kestrova").string();
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--program") == 0) program = argv[i + 1];
    bool quick = false;
    for (int i = 1; i < argc; ++i) quick = quick || std::strcmp(argv[i], "--quick") == 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    {
        LoopbackConnections held(1000);
        const double cpu = idleCpuPercent(program, quick ? 3 : 10);
        print("idle_cpu_pct_1k", cpu);
    }
    const std::vector<std::pair<int, const char*>> sizes =
        quick ? std::vector<std::pair<int, const char*>>{{1000, "1k"}}
              : std::vector<std::pair<int, const char*>>{{1000, "1k"}, {10000, "10k"}, {30000, "30k"}};
    for (const auto& [connections, name] : sizes) {
        const TickFigures f = measureTicks(connections);
        const std::string suffix = std::string("_") + name;
        print("rows" + suffix, f.rows);
        print("ss_tanp_ms" + suffix, f.ss);
        print("steady_tick_ms" + suffix, f.steady);
        print("allnew_tick_ms" + suffix, f.allNew);
        print("steady_vs_ss" + suffix, f.steady / f.ss);
        print("allnew_vs_ss" + suffix, f.allNew / f.ss);
        print("bytes_per_row" + suffix, static_cast<double>(f.bytesPerRow));
    }
    return 0;
}
