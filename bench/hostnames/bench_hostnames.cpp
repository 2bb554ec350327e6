// Measures the host name pass on the real window (offscreen platform) with
// resolvers of our own: the longest piece of window-thread work a pass causes
// over 10,000 rows, the length of a pass whose lookups each take 20 ms, and
// the time the window takes to close while a lookup hangs. Each figure comes
// with a reference measured in the same run. Prints name=value lines.
//
// Window-thread work is measured in the thread's own CPU time, so that on a
// busy machine a piece of work is not charged for the time the scheduler gave
// to others; the wall time of the longest piece is printed beside it.
#include <QApplication>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/unit/Fakes.h"
#include "options/ProfileStore.h"
#include "platform/ConnectionTable.h"
#include "platform/HostResolver.h"
#include "qt/MainWindow.h"
#include "qt/QtWindowThread.h"
#include "ui/MainDialog.h"

namespace {

using Steady = std::chrono::steady_clock;
using namespace kestrova;
using namespace std::chrono_literals;

double millisecondsSince(Steady::time_point start) {
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void print(const std::string& name, double value) { std::printf("%s=%.4g\n", name.c_str(), value); }

// Times every queued call delivered to one object: each is one batch of work
// that worker threads handed to the window, with the views' update after it.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!watched || receiver != watched) return QApplication::notify(receiver, event);
        const auto start = Steady::now();
        const double cpuStart = threadCpuMs();
        const bool result = QApplication::notify(receiver, event);
        longestCpuMs = std::max(longestCpuMs, threadCpuMs() - cpuStart);
        longestWallMs = std::max(longestWallMs, millisecondsSince(start));
        return result;
    }
    QObject* watched = nullptr;
    double longestCpuMs = 0;
    double longestWallMs = 0;
};

// `rows` connections from 10.0.0.1, to `remotes` distinct addresses in turn.
class SyntheticTable : public ConnectionTable {
public:
    SyntheticTable(int rows, int remotes) {
        for (int i = 0; i < rows; ++i) {
            const int remote = i % remotes;
            TcpRow row;
            row.state = 5;
            row.localAddr = {10, 0, 0, 1};
            row.localPort = static_cast<std::uint16_t>(1024 + i % 60000);
            row.remoteAddr = {10, static_cast<std::uint8_t>(1 + remote / 65536),
                              static_cast<std::uint8_t>(remote / 256 % 256), static_cast<std::uint8_t>(remote % 256)};
            row.remotePort = static_cast<std::uint16_t>(80 + i / 60000);
            rows_.push_back(row);
        }
    }
    bool snapshot(std::vector<TcpRow>& out) override {
        out = rows_;
        return true;
    }

private:
    std::vector<TcpRow> rows_;
};

// Names every address after `delay`; a delay of zero answers at once.
class DelayedResolver : public HostResolver {
public:
    explicit DelayedResolver(std::chrono::milliseconds delay) : delay_(delay) {}
    std::optional<std::string> reverseLookup(std::string_view address) override {
        ++calls;
        if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
        return "host-" + std::string(address) + ".example";
    }
    std::atomic<int> calls{0};

private:
    std::chrono::milliseconds delay_;
};

// The whole window over a synthetic table, its refresh driven by hand.
struct Monitor {
    Monitor(int rows, int remotes, std::shared_ptr<HostResolver> resolver)
        : table(rows, remotes), window(std::make_unique<MainWindow>(connections, log)) {
        dialog = std::make_unique<MainDialog>(MainDialogParts{*window, connections, log, clock, table, processes,
                                                              version, profile, {}, window->windowThread(),
                                                              std::move(resolver)});
        window->attach(dialog.get());
        window->start();
        tick();
    }
    ~Monitor() { close(); }

    // One refresh tick and the views' update after it, in milliseconds of
    // the window thread's CPU time.
    double tick() {
        const double start = threadCpuMs();
        dialog->onTimer(TIMER_REFRESH);
        window->flushModels();
        QCoreApplication::processEvents();
        window->killTimer(TIMER_REFRESH);
        return threadCpuMs() - start;
    }
    // Runs one pass to its end; its length in seconds.
    double pass() {
        const auto start = Steady::now();
        dialog->onTimer(TIMER_RESOLVE);
        while (dialog->resolveRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents();
        return millisecondsSince(start) / 1000.0;
    }
    // Closes the window as the user would and lets everything go; milliseconds.
    double close() {
        if (!window) return 0;
        const auto start = Steady::now();
        window->close();
        dialog.reset();
        window.reset();
        return millisecondsSince(start);
    }

    SyntheticTable table;
    ConnectionList connections;
    EventLog log;
    testing::ManualClock clock;
    testing::FakeProcessInfo processes;
    testing::FakeVersionInfo version;
    testing::MemoryProfileFile profileFile{"[1040315]\nshowHostname=1040315\n"};
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;
};

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    {
        // 10,000 rows, 5,000 remote addresses and one local address, all of
        // which resolve at once.
        Monitor monitor(10000, 5000, std::make_shared<DelayedResolver>(0ms));
        std::vector<double> ticks;
        for (int i = 0; i < 5; ++i) ticks.push_back(monitor.tick());
        std::sort(ticks.begin(), ticks.end());
        app.watched = monitor.window->windowThread();
        monitor.pass();
        app.watched = nullptr;
        print("resolve_stall_ms_max_10k", app.longestCpuMs);
        print("resolve_stall_wall_ms_max_10k", app.longestWallMs);
        print("refresh_tick_ms_10k", ticks[ticks.size() / 2]);
        print("resolve_stall_vs_refresh_tick", app.longestCpuMs / ticks[ticks.size() / 2]);
    }
    {
        // 1,000 distinct addresses (999 remote ones and the local one), 20 ms each.
        auto resolver = std::make_shared<DelayedResolver>(20ms);
        Monitor monitor(999, 999, resolver);
        const double seconds = monitor.pass();
        // The same lookups one after another, estimated from ten of them.
        const auto start = Steady::now();
        for (int i = 0; i < 10; ++i) resolver->reverseLookup("10.0.0.1");
        const double serialSeconds = millisecondsSince(start) / 10.0;  // ms per lookup = s per 1,000
        print("resolve_pass_s_1k_20ms", seconds);
        print("resolve_lookups_1k_20ms", resolver->calls - 10);
        print("resolve_one_by_one_s_1k_20ms", serialSeconds);
        print("resolve_pass_vs_one_by_one", seconds / serialSeconds);
    }
    {
        // A lookup that hangs for 30 s while the window closes, against a
        // close with no pass running.
        Monitor idle(1000, 500, std::make_shared<DelayedResolver>(30s));
        const double idleMs = idle.close();
        auto resolver = std::make_shared<DelayedResolver>(30s);
        Monitor stuck(1000, 500, resolver);
        stuck.dialog->onTimer(TIMER_RESOLVE);
        while (resolver->calls < static_cast<int>(MAX_LOOKUPS_IN_FLIGHT))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double stuckMs = stuck.close();
        print("resolve_close_ms_stuck", stuckMs);
        print("close_ms_no_pass", idleMs);
        print("resolve_close_stuck_vs_no_pass", stuckMs / idleMs);
    }
    // The process ends here with eight lookups still asleep.
    return 0;
}
