#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/ConnectionList.h"
#include "monitor/LogEvent.h"
#include "platform/HostResolver.h"
#include "platform/WindowThread.h"

namespace kestrova {

inline constexpr std::size_t MAX_LOOKUPS_IN_FLIGHT = 8;
// Most name cells one request fills, so that an address every row carries
// (the machine's own) does not hold the window up for long.
inline constexpr std::size_t FILLS_PER_REQUEST = 1000;

// Window thread: writes `name` into the empty name cell of the row ends whose
// address is `address`, at most `limit` of them in walk order, and returns
// how many it wrote.
std::size_t fillHostName(ConnectionList& list, std::string_view address, std::string_view name,
                         std::size_t limit = SIZE_MAX);

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
// waits for the pass to end. Its threads keep alive only what they share
// here: the hand-off (which refuses them once the window closes), the
// resolver and this object. After stop() no work of the pass touches the rows
// or the log, even work the window thread has already accepted.
class HostNamePass : public std::enable_shared_from_this<HostNamePass> {
public:
    // Window thread: starts a pass on a thread of its own. `list` and
    // `appendLog` are used only on the window thread and only until stop().
    // Returns nothing when no thread could be started.
    static std::shared_ptr<HostNamePass> start(ConnectionList& list, LogSink appendLog,
                                               std::shared_ptr<WindowThread> window,
                                               std::shared_ptr<HostResolver> resolver);

    // True until the pass's last act; any thread.
    bool running() const { return running_.load(); }
    // The pass leaves the rows and the log alone from now on and ends at its
    // next step, without waiting for a lookup in progress. Any thread; called
    // on the window thread, it also holds back work already accepted there.
    void stop();

private:
    HostNamePass(ConnectionList& list, LogSink appendLog, std::shared_ptr<WindowThread> window,
                 std::shared_ptr<HostResolver> resolver);

    void run();
    bool say(LogKind kind, std::string_view text);
    void resolveAll(std::vector<std::string> addresses);
    void lookUpNext();
    bool apply(const std::string& address, const std::string& name);
    bool stopped() const { return stopped_.load(); }

    // Window thread only, and only while not stopped.
    ConnectionList* const list_;
    const LogSink appendLog_;

    const std::shared_ptr<WindowThread> window_;
    const std::shared_ptr<HostResolver> resolver_;
    std::atomic<bool> running_{true};
    std::atomic<bool> stopped_{false};

    // The addresses of this pass and their names, shared with the lookups.
    std::mutex mutex_;
    std::condition_variable looked_;
    std::vector<std::string> addresses_;
    std::vector<std::optional<std::string>> names_;
    std::vector<bool> answered_;
    std::size_t nextLookup_ = 0;
};

}  // namespace kestrova
