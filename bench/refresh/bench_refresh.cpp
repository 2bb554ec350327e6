// Measures the refresh of the connection pane against `ss -tanp` on the same
// table, in the same run: a tick in which nothing changed, a tick in which
// every connection is new, the memory a row costs, and the CPU the idle
// program uses. The kernel's own dump of the table frames the steady tick and
// the idle CPU: it is the floor under any refresh. A last run does the same
// over IPv6 connections with IPv6 rows on (names ending _v6_...). Prints one
// name=value line per figure.
#include <QApplication>
#include <QTemporaryDir>

#include <fcntl.h>
#include <malloc.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BareDump.h"
#include "LoopbackConnections.h"
#include "options/ProfileStore.h"
#include "linux/Cp932.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "qt/MainWindow.h"
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

// Bytes the heap holds in live allocations. Unlike the resident size it
// falls again when memory is freed, so it also measures a run that follows
// a larger one.
long heapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
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

    explicit Monitor(IpFamilies families) : table(LinuxConnectionTable::Reader::Automatic, families) {
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
    double ss, dump, steady, allNew;
    long bytesPerRow, heapBytesPerRow;
    int rows;
};

double timeDump(BareDump& dump) {
    const auto start = Clock::now();
    dump.run();
    return millisecondsSince(start);
}

// With --unseen-owners (as root), the connections are held by processes of
// the user nobody and watched as kWatcher, a uid of no account, which may
// inspect none of them: every owner is one the program cannot see, as for
// a desktop user watching the machine's services.
constexpr uid_t kHolder = 65534, kWatcher = 65533;
bool unseenOwners = false;

// Real and effective ids of the watcher from here to the end of the scope;
// root stays the saved id, to come back to.
class Watching {
public:
    Watching() {
        if (!unseenOwners) return;
        if (setresgid(kWatcher, kWatcher, 0) != 0 || setresuid(kWatcher, kWatcher, 0) != 0) {
            std::perror("bench_refresh: cannot watch as another user");
            std::exit(1);
        }
    }
    ~Watching() {
        if (unseenOwners && (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0)) std::abort();
    }
};

std::optional<uid_t> holder() { return unseenOwners ? std::optional(kHolder) : std::nullopt; }

TickFigures measureTicks(int connections, IpFamilies families = IpFamilies::Ipv4) {
    LoopbackConnections held(connections, families == IpFamilies::Ipv4AndIpv6, holder());
    if (!held.ready()) std::fprintf(stderr, "could not open %d loopback connections\n", connections);
    TickFigures figures{};
    std::vector<double> allNew;
    for (int round = 0; round < 3; ++round) {
        const Watching watching;
        // A fresh window each round: an empty pane and a cold owner cache.
        const long before = residentBytes(), heapBefore = heapBytes();
        auto monitor = std::make_unique<Monitor>(families);
        allNew.push_back(monitor->tick());
        figures.rows = monitor->connections.rowCount();
        if (round == 0 && figures.rows > 0) {
            figures.bytesPerRow = (residentBytes() - before) / figures.rows;
            figures.heapBytesPerRow = (heapBytes() - heapBefore) / figures.rows;
        }
        if (round == 2) {
            // Interleaved, so that both see the machine in the same mood.
            BareDump dump;
            std::vector<double> steady, dumps;
            for (int i = 0; i < 15; ++i) {
                steady.push_back(monitor->tick());
                dumps.push_back(timeDump(dump));
            }
            figures.steady = median(steady);
            figures.dump = median(dumps);
        }
    }
    figures.allNew = median(allNew);
    figures.ss = medianSs(5);
    return figures;
}

// CPU time used so far by every thread of `pid`, in seconds.
double cpuSeconds(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double nanoseconds = 0;
        if (schedstat >> nanoseconds) total += nanoseconds / 1e9;
    }
    return total;
}

// The CPU share of one core that each of `programs` uses, all running side
// by side (so that they meet the same load on a shared machine) over
// `windows` spans of `seconds` after a settling time. Each program runs on
// the offscreen platform with a profile directory of its own.
std::vector<double> cpuPercents(const std::vector<std::vector<std::string>>& programs, int windows, int seconds) {
    QTemporaryDir config;
    if (unseenOwners && chown(config.path().toLocal8Bit().constData(), kWatcher, kWatcher) != 0) std::perror("chown");
    const Watching watching;
    std::vector<pid_t> pids;
    for (const auto& arguments : programs)
        pids.push_back(spawn(arguments, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.path().toStdString()},
                             "/dev/null"));
    sleep(3);  // start-up and the first, full tick are not idle time
    std::vector<double> used(programs.size(), 0);
    double wall = 0;
    for (int window = 0; window < windows; ++window) {
        std::vector<double> before;
        for (pid_t pid : pids) before.push_back(cpuSeconds(pid));
        const auto start = Clock::now();
        sleep(static_cast<unsigned>(seconds));
        for (std::size_t i = 0; i < pids.size(); ++i) used[i] += cpuSeconds(pids[i]) - before[i];
        wall += millisecondsSince(start) / 1000.0;
    }
    std::vector<double> percents;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] > 0) {
            kill(pids[i], SIGKILL);
            waitpid(pids[i], nullptr, 0);
        }
        percents.push_back(pids[i] > 0 ? 100.0 * used[i] / wall : -1);
    }
    return percents;
}

// The floor of the idle program: nothing but the kernel's dump every 100 ms,
// on the same schedule as the program's refresh timer. Ends with its parent,
// and within the hour whatever happens.
int dumpLoop() {
    BareDump dump;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < 36000 && getppid() != 1; ++i) {
        dump.run();
        next.tv_nsec += 100'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--dump-loop") == 0) return dumpLoop();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::string program = (self.parent_path().parent_path() / "kestrova").string();
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--program") == 0) program = argv[i + 1];
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        unseenOwners = unseenOwners || std::strcmp(argv[i], "--unseen-owners") == 0;
    }
    if (unseenOwners && geteuid() != 0) {
        std::fputs("bench_refresh: --unseen-owners needs root, to hold and watch as two other users\n", stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    print("owners_unseen", unseenOwners ? 1 : 0);
    {
        LoopbackConnections held(1000, false, holder());
        const std::vector<double> cpu =
            cpuPercents({{program}, {self.string(), "--dump-loop"}}, quick ? 1 : 3, quick ? 3 : 5);
        print("idle_cpu_pct_1k", cpu[0]);
        print("idle_floor_pct_1k", cpu[1]);
        print("idle_cpu_vs_floor_1k", cpu[0] / cpu[1]);
    }
    const std::vector<std::pair<int, const char*>> sizes =
        quick ? std::vector<std::pair<int, const char*>>{{1000, "1k"}}
              : std::vector<std::pair<int, const char*>>{{1000, "1k"}, {10000, "10k"}, {30000, "30k"}};
    // The resident size only grows by what a run needs beyond the runs
    // before it, which says nothing for a run after a larger one.
    auto printFigures = [](const TickFigures& f, const std::string& suffix, bool resident = true) {
        print("rows" + suffix, f.rows);
        print("ss_tanp_ms" + suffix, f.ss);
        print("dump_ms" + suffix, f.dump);
        print("steady_tick_ms" + suffix, f.steady);
        print("allnew_tick_ms" + suffix, f.allNew);
        print("steady_vs_ss" + suffix, f.steady / f.ss);
        print("steady_vs_dump" + suffix, f.steady / f.dump);
        print("allnew_vs_ss" + suffix, f.allNew / f.ss);
        if (resident) print("bytes_per_row" + suffix, static_cast<double>(f.bytesPerRow));
        print("heap_bytes_per_row" + suffix, static_cast<double>(f.heapBytesPerRow));
    };
    // The IPv6 run's size: 10,000 connections, or the quick run's 1,000.
    const auto& [v6Connections, v6Name] = sizes[quick ? 0 : 1];
    TickFigures ipv4{};
    for (const auto& [connections, name] : sizes) {
        const TickFigures f = measureTicks(connections);
        printFigures(f, std::string("_") + name);
        if (connections == v6Connections) ipv4 = f;
    }
    // The same over ::1 with IPv6 rows; the bare dump reads both families
    // either way.
    const TickFigures v6 = measureTicks(v6Connections, IpFamilies::Ipv4AndIpv6);
    printFigures(v6, std::string("_v6_") + v6Name, false);
    print(std::string("heap_bytes_per_row_v6_vs_v4_") + v6Name,
          static_cast<double>(v6.heapBytesPerRow) / ipv4.heapBytesPerRow);
    return 0;
}
