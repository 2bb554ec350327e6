#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/ConnectionList.h"
#include "monitor/LogEvent.h"
#include "platform/HostResolver.h"
#include "platform/WindowThread.h"

namespace kestrova {

inline constexpr std::size_t MAX_LOOKUPS_IN_FLIGHT = 8;
// A lookup that has not returned by then is taken to never return: the pass
// waiting for it ends, and the next one starts at its tick without it.
inline constexpr std::chrono::milliseconds LOOKUP_DEADLINE{30000};
// Most lookup threads there may be at once, those that passes gave up on
// included: a pass starts only as many as are left.
inline constexpr std::size_t MAX_LOOKUP_THREADS = 2 * MAX_LOOKUPS_IN_FLIGHT;
// Most name cells one request fills, so that an address every row carries
// (the machine's own) does not hold the window up for long.
inline constexpr std::size_t FILLS_PER_REQUEST = 1000;

// Window thread: writes `name` into the empty name cell of the row ends whose
// address is `address`, at most `limit` of them in walk order, and returns
// how many it wrote.
std::size_t fillHostName(ConnectionList& list, std::string_view address, std::string_view name,
                         std::size_t limit = SIZE_MAX);

// The lookup threads of the passes of one window, and the addresses they are
// looking up, shared so that a pass leaves alone what an earlier one still
// waits for. Any thread.
class LookupsInFlight {
public:
    // Takes up to `wanted` of the MAX_LOOKUP_THREADS threads; how many it got.
    std::size_t reserve(std::size_t wanted);
    void release(std::size_t threads = 1);
    void begin(const std::string& address);
    void end(const std::string& address);
    bool inFlight(const std::string& address) const;
    std::size_t threads() const;

private:
    mutable std::mutex mutex_;
    std::size_t threads_ = 0;
    std::multiset<std::string> addresses_;
};

// One host name pass: logs its start, looks up every address of the rows that
// still lacks a name, logs and fills each name found, and logs its end.
//
// It runs on threads of its own and reaches the rows and the log only through
// work sent to the window thread: one request collects the addresses, and for
// each name found one request writes its log line and fills the rows that
// carry the address (further requests fill the rest when there are more than
// FILLS_PER_REQUEST). Rows are found by address at the moment of the fill, so
// a refresh in between can move or add rows but never misplace a name, and
// no line is ever split. Up to MAX_LOOKUPS_IN_FLIGHT lookups overlap; their
// results are applied in the order of the addresses, so the log reads as if
// they had run one by one.
//
// A lookup cannot be interrupted and may hang for a long time, so nothing
// waits for the pass to end. When the answer it waits for has been looked up
// for longer than the deadline, the pass logs its end and ends, leaving the
// lookups still running to end by themselves, their answers unused; the next
// pass leaves their addresses out. Its threads keep alive only what they share
// here: the hand-off (which refuses them once the window closes), the
// resolver and this object. After stop() no work of the pass touches the rows
// or the log, even work the window thread has already accepted.
class HostNamePass : public std::enable_shared_from_this<HostNamePass> {
public:
    // Window thread: starts a pass on a thread of its own. `list` and
    // `appendLog` are used only on the window thread and only until stop().
    // `lookups` are the lookups of the window's earlier passes (none: the
    // pass is on its own). Returns nothing when no thread could be started,
    // or earlier passes left no lookup thread to start. `finished`, when
    // given, is the pass's last act: it runs once on the window thread after
    // the pass has logged its end, and never once the pass is stopped.
    static std::shared_ptr<HostNamePass> start(ConnectionList& list, LogSink appendLog,
                                               std::shared_ptr<WindowThread> window,
                                               std::shared_ptr<HostResolver> resolver,
                                               std::shared_ptr<LookupsInFlight> lookups = nullptr,
                                               std::chrono::milliseconds deadline = LOOKUP_DEADLINE,
                                               std::function<void()> finished = {});

    // True until the pass has done its work (`finished` comes after); any thread.
    bool running() const { return running_.load(); }
    // The pass leaves the rows and the log alone from now on and ends at its
    // next step, without waiting for a lookup in progress. Any thread; called
    // on the window thread, it also holds back work already accepted there.
    void stop();

private:
    HostNamePass(ConnectionList& list, LogSink appendLog, std::shared_ptr<WindowThread> window,
                 std::shared_ptr<HostResolver> resolver, std::shared_ptr<LookupsInFlight> lookups,
                 std::chrono::milliseconds deadline, std::size_t threads, std::function<void()> finished);

    void run();
    bool say(LogKind kind, std::string_view text);
    void resolveAll(std::vector<std::string> addresses);
    // Waits for the answer to address `i`; false when the pass is stopped
    // or gives up on it.
    bool awaitAnswer(std::size_t i);
    void lookUpNext();
    bool apply(const std::string& address, const std::string& name);
    bool stopped() const { return stopped_.load(); }

    // Window thread only, and only while not stopped.
    ConnectionList* const list_;
    const LogSink appendLog_;

    const std::shared_ptr<WindowThread> window_;
    const std::shared_ptr<HostResolver> resolver_;
    const std::shared_ptr<LookupsInFlight> lookups_;
    const std::chrono::milliseconds deadline_;
    const std::function<void()> finished_;
    // Lookup threads reserved in lookups_, not yet started.
    std::size_t threads_;
    std::atomic<bool> running_{true};
    std::atomic<bool> stopped_{false};

    // The addresses of this pass and their names, shared with the lookups.
    std::mutex mutex_;
    std::condition_variable looked_;
    std::vector<std::string> addresses_;
    std::vector<std::optional<std::string>> names_;
    std::vector<bool> answered_;
    std::vector<std::optional<std::chrono::steady_clock::time_point>> startedAt_;
    std::size_t nextLookup_ = 0;
    bool abandoned_ = false;  // the pass gave up: take no further lookup
};

}  // namespace kestrova
