#include "capture/TrafficAccounting.h"

#include <algorithm>

namespace kestrova {

TrafficAccounting::TrafficAccounting(ConnectionList& list) : list_(list) {}

void TrafficAccounting::rowsOf(const PacketReport& report, std::vector<std::uint64_t>& out) const {
    out.clear();
    const std::string_view source = fieldText(report.sourceAddress);
    const std::string_view destination = fieldText(report.destinationAddress);
    const std::string_view sourcePort = fieldText(report.sourcePort);
    const std::string_view destinationPort = fieldText(report.destinationPort);
    const EndpointIndex& index = list_.endpoints();
    const auto outbound = index.rowsWith(source, sourcePort, destination, destinationPort);
    out.assign(outbound.begin(), outbound.end());
    // A connection to itself matches both ways round and still counts once.
    if (source == destination && sourcePort == destinationPort) return;
    const auto inbound = index.rowsWith(destination, destinationPort, source, sourcePort);
    out.insert(out.end(), inbound.begin(), inbound.end());
}

void TrafficAccounting::hold(const PacketReport& report) {
    std::string key;
    for (std::string_view field : {fieldText(report.sourceAddress), fieldText(report.sourcePort),
                                   fieldText(report.destinationAddress), fieldText(report.destinationPort)}) {
        key.append(field);
        key += '\0';
    }
    auto it = held_.find(key);
    if (it == held_.end()) {
        if (held_.size() >= kMaxHeld) return;
        it = held_.emplace(std::move(key), Held{report}).first;
    }
    it->second.bytes += report.size;
}

void TrafficAccounting::refreshed() {
    for (auto it = held_.begin(); it != held_.end();) {
        rowsOf(it->second.report, matches_);
        if (matches_.empty() && ++it->second.refreshes < kHeldRefreshes) {
            ++it;
            continue;
        }
        // The rows are new, so none shows the mark: only totals change.
        for (std::uint64_t serial : matches_) {
            const int row = list_.rowOfSerial(serial);
            if (row >= 0) list_.addBytes(row, it->second.bytes);
        }
        it = held_.erase(it);
    }
}

void TrafficAccounting::account(std::span<const PacketReport> reports, std::string_view activeMark) {
    if (reports.empty()) return;

    added_.clear();
    const PacketReport* previous = nullptr;
    for (const PacketReport& report : reports) {
        // Reports of one connection tend to come in runs.
        const bool sameRows = previous &&
                              fieldText(previous->sourceAddress) == fieldText(report.sourceAddress) &&
                              fieldText(previous->sourcePort) == fieldText(report.sourcePort) &&
                              fieldText(previous->destinationAddress) == fieldText(report.destinationAddress) &&
                              fieldText(previous->destinationPort) == fieldText(report.destinationPort);
        if (!sameRows) rowsOf(report, matches_);
        if (matches_.empty()) hold(report);
        for (std::uint64_t serial : matches_) added_[serial] += report.size;
        previous = &report;
    }
    if (list_.rowCount() == 0) return;
    lastMatches_ = matches_;  // the rows of the last report

    for (const auto& [serial, bytes] : added_) {
        const int row = list_.rowOfSerial(serial);
        if (row >= 0) list_.addBytes(row, bytes);
    }

    // Only the rows of the last report keep a mark. Clearing a mark changes
    // the set being read, so take the rows first.
    stale_.assign(list_.endpoints().activeRows().begin(), list_.endpoints().activeRows().end());
    for (std::uint64_t serial : stale_) {
        if (std::find(lastMatches_.begin(), lastMatches_.end(), serial) != lastMatches_.end()) continue;
        const int row = list_.rowOfSerial(serial);
        if (row >= 0) list_.clearActive(row);
    }
    for (std::uint64_t serial : lastMatches_) {
        const int row = list_.rowOfSerial(serial);
        if (row >= 0) list_.setActive(row, activeMark);
    }
}

}  // namespace kestrova
