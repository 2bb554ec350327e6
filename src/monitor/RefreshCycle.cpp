#include "monitor/RefreshCycle.h"

#include <algorithm>
#include <charconv>

#include "monitor/AddressText.h"
#include "monitor/HostNameText.h"
#include "monitor/ProcessNameLookup.h"

namespace kestrova {

namespace {

// Small fixed buffers for the texts of one snapshot row, so that a steady
// tick allocates nothing per connection.
struct NumberText {
    char data[24];
    std::size_t size = 0;
    std::string_view view() const { return {data, size}; }
};

NumberText decimal(std::int64_t value) {
    NumberText text;
    text.size = static_cast<std::size_t>(std::to_chars(text.data, text.data + sizeof text.data, value).ptr - text.data);
    return text;
}

struct AddressBuffer {
    char data[kAddressTextLength];
    std::size_t size = 0;
    std::string_view view() const { return {data, size}; }
};

AddressBuffer addressOf(const IpAddress& address, std::string_view zone) {
    AddressBuffer text;
    text.size = static_cast<std::size_t>(writeAddressText(text.data, address, zone) - text.data);
    return text;
}

// No process id is known for an owner we may not inspect: its cell stays empty.
NumberText pidText(std::uint32_t pid) { return pid == kPidNotVisible ? NumberText{} : decimal(pid); }

// A listening or unconnected socket has remote address 0.x.x.x, or :: for
// IPv6; its remote port carries nothing and is shown as 0.
std::uint16_t shownRemotePort(const TcpRow& row) {
    const bool none = row.remoteAddr.isIpv4() ? row.remoteAddr.ipv4()[0] == 0 : row.remoteAddr.isIpv6Unspecified();
    return none ? 0 : row.remotePort;
}

}  // namespace

ConnectionTexts makeConnectionTexts(const TcpRow& row, std::string_view zone) {
    return {"TCP",
            std::string(addressOf(row.localAddr, zone).view()),
            std::string(decimal(row.localPort).view()),
            std::string(addressOf(row.remoteAddr, zone).view()),
            std::string(decimal(shownRemotePort(row)).view()),
            stateText(row.state),
            std::string(pidText(row.pid).view())};
}

RefreshCycle::RefreshCycle(ConnectionList& list, ConnectionTable& table, ProcessInfo& processes, LogSink appendLog,
                           ErrorSink reportError)
    : list_(list),
      table_(table),
      processes_(processes),
      appendLog_(std::move(appendLog)),
      reportError_(std::move(reportError)) {}

void RefreshCycle::tick(bool showHostname) {
    quiet_ = ticked_ && list_.changeStamp() == stampSeen_ && showHostname == showHostnameSeen_;
    clearMarks();
    if (!takeSnapshot(showHostname)) {
        // Nothing was seen, so every mark is empty; but one unreadable
        // snapshot is no reason to believe every connection ended, so the
        // rows stay until a snapshot says otherwise.
        finishMarks();
        rememberTick(showHostname);
        // Rows changed by others before this tick were not put right by it.
        ticked_ = false;
        return;
    }
    finishMarks();
    // Host name lookups match their rows by address, never by position, so
    // rows go as soon as their connection has, even while a pass runs.
    if (unseen_ > 0) {
        sweepUnseen();
        // The rows closed up: each remembered row moved down by the rows
        // removed below it.
        std::uint32_t removedBelow = 0;
        shifts_.resize(seen_.size());
        for (std::size_t position = 0; position < seen_.size(); ++position) {
            shifts_[position] = removedBelow;
            removedBelow += seen_[position] == kMarkUnseen;
        }
        for (RowKey& key : previous_)
            if (key.position < shifts_.size()) key.position -= shifts_[key.position];
        std::erase(seen_, std::uint8_t{kMarkUnseen});
    }
    rememberTick(showHostname);
}

void RefreshCycle::rememberTick(bool showHostname) {
    lastMarks_.swap(seen_);
    stampSeen_ = list_.changeStamp();
    showHostnameSeen_ = showHostname;
    ticked_ = true;
}

void RefreshCycle::clearMarks() {
    // The marks are not written here but once at the end of the tick, so a
    // row found again keeps its "更新" cell untouched instead of being emptied
    // and rewritten, which would make the views repaint every row every tick.
    seen_.assign(static_cast<std::size_t>(list_.rowCount()), kMarkUnseen);
    pathsThisTick_.clear();
    ownersThisTick_.clear();
    processes_.beginTick();
    marksPending_ = true;
}

void RefreshCycle::markSeen(int row) {
    const int position = list_.rowCount() - 1 - row;
    if (position >= 0 && static_cast<std::size_t>(position) < seen_.size())
        seen_[static_cast<std::size_t>(position)] = kMarkUpdated;
}

void RefreshCycle::finishMarks() {
    if (!marksPending_) return;
    marksPending_ = false;
    unseen_ = 0;
    const int count = list_.rowCount();
    seen_.resize(static_cast<std::size_t>(count), kMarkUnseen);
    for (int row = count - 1; row >= 0; --row) {
        const auto position = static_cast<std::size_t>(count - 1 - row);
        const std::uint8_t seen = seen_[position];
        if (seen == kMarkUnseen) ++unseen_;
        // A quiet list still shows last tick's marks, and this tick's new
        // rows were inserted marked new: only the marks that change are
        // written.
        const std::uint8_t shown = position < lastMarks_.size() ? lastMarks_[position] : std::uint8_t{kMarkNew};
        if (quiet_ && seen == shown) continue;
        list_.setSeen(row, seen == kMarkNew       ? SeenMark::New
                           : seen == kMarkUpdated ? SeenMark::Updated
                                                  : SeenMark::None);
    }
}

bool RefreshCycle::takeSnapshot(bool showHostname) {
    if (!table_.snapshot(snapshot_)) {
        if (reportError_) reportError_(SNAPSHOT_ERROR_TEXT);
        return false;
    }
    // Rows found through the last tick's connections need no text index as
    // long as no key cell was written by anyone but the refresh and no two
    // rows share a key; otherwise every row goes through the index.
    const bool reusable = list_.keyRewrites() == keyRewritesSeen_ && !list_.hasDuplicateKeys();
    if (!reusable) previous_.clear();
    // Rows are skipped only when each connection has a row to itself in
    // this tick and the last: two snapshot rows with one row between them
    // both write it (and the last tick's state of either says nothing).
    // That takes equal keys, or remote ports shown as 0 that are not 0.
    bool ownRows = true;
    SnapshotKey previousKey;
    for (std::size_t i = 0; ownRows && i < snapshot_.size(); ++i) {
        const SnapshotKey key = snapshotKey(snapshot_[i]);
        ownRows = (i == 0 || previousKey < key) && shownRemotePort(snapshot_[i]) == snapshot_[i].remotePort;
        previousKey = key;
    }
    quiet_ = quiet_ && ownRows && ownRowsBefore_;
    ownRowsBefore_ = ownRows;
    current_.clear();
    std::size_t cursor = 0;
    for (const TcpRow& row : snapshot_) upsertRow(row, showHostname, cursor);
    // Snapshots come sorted in the keys' order, so this is sorted already
    // unless a table breaks that promise.
    if (!std::is_sorted(current_.begin(), current_.end()))
        std::sort(current_.begin(), current_.end());
    previous_.swap(current_);
    keyRewritesSeen_ = list_.keyRewrites();
    return true;
}

RefreshCycle::RowKey RefreshCycle::keyOf(const TcpRow& row) {
    // The raw remote port, as the snapshot sorts: rows whose shown port is 0
    // but whose raw ports differ share their row all the same, through the
    // text index.
    return {snapshotKey(row), 0};
}

const RefreshCycle::RowKey* RefreshCycle::fromPrevious(const RowKey& key, std::size_t& cursor) const {
    std::size_t at = cursor;
    if (at >= previous_.size() || !previous_[at].sameKey(key)) {
        auto it = std::lower_bound(previous_.begin(), previous_.end(), key);
        if (it == previous_.end() || !it->sameKey(key)) return nullptr;
        at = static_cast<std::size_t>(it - previous_.begin());
    }
    cursor = at + 1;
    return &previous_[at];
}

void RefreshCycle::keepKey(RowKey key, int row) {
    key.serial = list_.serialAt(row);
    key.position = static_cast<std::uint32_t>(list_.rowCount() - 1 - row);
    current_.push_back(key);
}

void RefreshCycle::upsertRow(const TcpRow& row, bool showHostname, std::size_t& cursor) {
    RowKey key = keyOf(row);
    key.state = row.state;
    int found = -1;
    if (const RowKey* before = fromPrevious(key, cursor)) {
        found = list_.rowOfSerial(before->serial, before->position);
        // Found again in the state it had, in rows nobody else has touched:
        // the row shows this connection already, so nothing is read.
        if (found >= 0 && quiet_ && before->state == row.state) {
            markSeen(found);
            key.serial = before->serial;
            key.position = before->position;
            current_.push_back(key);
            return;
        }
    }
    const std::string unknownState = row.state < StateNames.size() ? std::string() : stateText(row.state);
    const std::string_view state = row.state < StateNames.size() ? StateNames[row.state] : unknownState;
    if (found < 0) {
        const std::string zone = zoneOf(row);
        const AddressBuffer localIp = addressOf(row.localAddr, zone);
        const NumberText localPort = decimal(row.localPort);
        const AddressBuffer remoteIp = addressOf(row.remoteAddr, zone);
        const NumberText remotePort = decimal(shownRemotePort(row));
        const NumberText pid = pidText(row.pid);
        found = list_.findRow({localIp.view(), localPort.view(), remoteIp.view(), remotePort.view(), pid.view()});
        if (found < 0) {
            insertNewRow(row, zone, state);
            keepKey(key, 0);
            return;
        }
    }
    updateFoundRow(found, row.state, state, showHostname);
    keepKey(key, found);
}

void RefreshCycle::updateFoundRow(int row, std::uint32_t state, std::string_view stateShown, bool showHostname) {
    list_.setShownEnds(row, showHostname);
    if (list_.storedText(row, colState) != stateShown) {
        const std::string line = formatText(UiText::ConnectionChanged, {list_.storedText(row, colProcess),
                                                                        list_.storedText(row, colDestination),
                                                                        stateShown});
        logConnection(LogKind::Changed, row, stateShown, line);
        list_.setState(row, state);
    }
    markSeen(row);
}

std::string RefreshCycle::zoneOf(const TcpRow& row) {
    const bool linkLocal = row.localAddr.isLinkLocal() || row.remoteAddr.isLinkLocal();
    return linkLocal && row.interfaceIndex != 0 ? table_.interfaceName(row.interfaceIndex) : std::string();
}

void RefreshCycle::logConnection(LogKind kind, int row, std::string_view state, const std::string& text) {
    ConnectionFacts facts = rowFacts(list_, row);
    facts.state = state;
    appendLog_({kind, text, &facts});
}

const std::string& RefreshCycle::processName(std::int64_t pid) {
    auto it = pathsThisTick_.find(pid);
    // Anyone may name a program file: its path is shown as text, as host
    // names are.
    if (it == pathsThisTick_.end())
        it = pathsThisTick_.emplace(pid, displayableText(processes_.imagePath(pid))).first;
    return it->second;
}

const std::string& RefreshCycle::socketOwner(const TcpRow& row) {
    auto [it, added] = ownersThisTick_.try_emplace({row.uid, row.controlGroup});
    if (added)
        it->second = socketOwnerName(processes_.controlGroupPath(row.controlGroup), processes_.userName(row.uid),
                                     row.uid);
    return it->second;
}

void RefreshCycle::insertNewRow(const TcpRow& row, std::string_view zone, std::string_view state) {
    static const std::string kNoPath;
    const std::uint32_t pid = row.pid;
    const std::string& path = pid == kPidNotVisible ? kNoPath : processName(pid);
    if (!path.empty()) {
        const NumberText pidShown = decimal(pid);
        appendLog_({LogKind::Process, processLine(pid, path), nullptr, pidShown.view(), path});
    }
    // What the kernel tells of a socket whose process we may not inspect.
    const std::string owner = pid == kPidNotVisible ? socketOwner(row) : ownerDisplayName(path, pid);
    list_.insert({row.localAddr, row.remoteAddr, row.localPort, shownRemotePort(row), zone, pid, row.state, owner});
    seen_.push_back(kMarkNew);
    const std::string line =
        formatText(UiText::ConnectionAdded, {owner, list_.storedText(0, colDestination), state});
    logConnection(LogKind::Added, 0, state, line);
}

void RefreshCycle::sweepUnseen() {
    list_.removeRowsWhere([this](int row) { return list_.storedText(row, colSeen).empty(); },
                          [this](int row) {
                              const std::string line = formatText(
                                  UiText::ConnectionRemoved,
                                  {list_.storedText(row, colProcess), list_.storedText(row, colDestination)});
                              logConnection(LogKind::Removed, row, list_.storedText(row, colState), line);
                          });
}

}  // namespace kestrova
