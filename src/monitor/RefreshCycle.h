#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "monitor/ConnectionList.h"
#include "monitor/LogEvent.h"
#include "platform/ConnectionTable.h"
#include "platform/ProcessInfo.h"
#include "text/UiTexts.h"

namespace kestrova {

// The row marks as written; rows show shownText of the same texts.
inline constexpr std::string_view MARK_NEW = sourceOf(UiText::MarkNew);
inline constexpr std::string_view MARK_UPDATED = sourceOf(UiText::MarkUpdated);
inline constexpr std::string_view SNAPSHOT_ERROR_TEXT = "ERROR AllocateAndGetTcpExTableFromStack\n";

// The seven texts made from one row of the connection table. `zone` names
// the interface of a row with a link-local address.
struct ConnectionTexts {
    std::string protocol, localIp, localPort, remoteIp, remotePort, state, pid;
};
ConnectionTexts makeConnectionTexts(const TcpRow& row, std::string_view zone = {});

// Keeps the ConnectionList in step with the machine's connection table, one
// tick at a time, and logs every row added, changed and removed.
class RefreshCycle {
public:
    using ErrorSink = std::function<void(std::string_view)>;

    RefreshCycle(ConnectionList& list, ConnectionTable& table, ProcessInfo& processes, LogSink appendLog,
                 ErrorSink reportError);

    // One tick: refresh every row from a fresh snapshot and remove the rows
    // whose connection has gone. A snapshot that cannot be read leaves every
    // row in place.
    void tick(bool showHostname);

    // A connection of the last snapshot and the row it was found in. Keys
    // order as inSnapshotOrder orders their rows, so a snapshot's keys come
    // sorted and the next tick finds each one by walking them in step.
    struct RowKey {
        SnapshotKey key;  // endpoints and process id
        std::uint64_t serial;
        std::uint32_t state = 0;     // the connection's state then
        std::uint32_t position = 0;  // where its row stood, counted from the oldest
        bool sameKey(const RowKey& other) const { return key == other.key; }
        bool operator<(const RowKey& other) const { return key < other.key; }
    };
    static RowKey keyOf(const TcpRow& row);

private:
    void clearMarks();
    bool takeSnapshot(bool showHostname);
    void sweepUnseen();
    const RowKey* fromPrevious(const RowKey& key, std::size_t& cursor) const;
    void upsertRow(const TcpRow& row, bool showHostname, std::size_t& cursor);
    void keepKey(RowKey key, int row);
    void rememberTick(bool showHostname);
    // `state` shows as `stateShown`.
    void updateFoundRow(int row, std::uint32_t state, std::string_view stateShown, bool showHostname);
    void insertNewRow(const TcpRow& row, std::string_view zone, std::string_view state);
    void markSeen(int row);
    void logConnection(LogKind kind, int row, std::string_view state, const std::string& text);
    void finishMarks();
    const std::string& processName(std::int64_t pid);
    // The zone of the row's link-local addresses: its interface's name.
    std::string zoneOf(const TcpRow& row);
    const std::string& socketOwner(const TcpRow& row);

    ConnectionList& list_;
    ConnectionTable& table_;
    ProcessInfo& processes_;
    LogSink appendLog_;
    ErrorSink reportError_;

    std::vector<TcpRow> snapshot_;
    // The last tick's connections, sorted by key, with the rows they were in.
    std::vector<RowKey> previous_, current_;
    std::uint64_t keyRewritesSeen_ = 0;
    // Marks of this tick, by row position counted from the oldest row: rows
    // are only added on top until the sweep, so positions do not move.
    enum : std::uint8_t { kMarkUnseen, kMarkUpdated, kMarkNew };
    std::vector<std::uint8_t> seen_;
    bool marksPending_ = false;
    std::size_t unseen_ = 0;
    // Nobody but this refresh has changed the rows since its last tick, and
    // the host name setting is the same: every row it found then still
    // shows what it wrote, and lastMarks_ holds every row's mark.
    bool quiet_ = false;
    bool ticked_ = false;
    bool ownRowsBefore_ = false;
    std::uint64_t stampSeen_ = 0;
    bool showHostnameSeen_ = false;
    std::vector<std::uint8_t> lastMarks_;
    std::vector<std::uint32_t> shifts_;
    // Image paths found during this tick, so that many new rows of one
    // process cost one lookup. Dropped at every tick.
    std::unordered_map<std::int64_t, std::string> pathsThisTick_;
    // The same for the owners named by user and control group.
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::string> ownersThisTick_;
};

}  // namespace kestrova
