#include "monitor/EndpointIndex.h"

#include <algorithm>
#include <cstring>

namespace kestrova {

EndpointIndex::EndpointIndex(int localIp, int localPort, int remoteIp, int remotePort, int active)
    : localIp_(localIp), localPort_(localPort), remoteIp_(remoteIp), remotePort_(remotePort), activeColumn_(active) {}

void EndpointIndex::makeKey(std::string& out, std::string_view localIp, std::string_view localPort,
                            std::string_view remoteIp, std::string_view remotePort) {
    out.clear();
    for (std::string_view part : {localIp, localPort, remoteIp, remotePort}) {
        const auto length = static_cast<std::uint32_t>(part.size());
        char prefix[sizeof length];
        std::memcpy(prefix, &length, sizeof length);
        out.append(prefix, sizeof prefix);
        out.append(part);
    }
}

void EndpointIndex::keyOfRow(std::string& out, const TextTable& table, int row, int changedColumn,
                             std::string_view changedText) const {
    auto cell = [&](int column) -> std::string_view {
        return column == changedColumn ? changedText : std::string_view(table.cellText(row, column));
    };
    makeKey(out, cell(localIp_), cell(localPort_), cell(remoteIp_), cell(remotePort_));
}

bool EndpointIndex::isEndpointColumn(int column) const {
    return column == localIp_ || column == localPort_ || column == remoteIp_ || column == remotePort_;
}

void EndpointIndex::add(const std::string& key, std::uint64_t serial) { rows_[key].push_back(serial); }

void EndpointIndex::remove(const std::string& key, std::uint64_t serial) {
    auto it = rows_.find(key);
    if (it == rows_.end()) return;
    std::vector<std::uint64_t>& serials = it->second;
    serials.erase(std::remove(serials.begin(), serials.end(), serial), serials.end());
    if (serials.empty()) rows_.erase(it);
}

void EndpointIndex::rowAdded(const TextTable& table, int row) {
    keyOfRow(scratch_, table, row);
    const std::uint64_t serial = table.serialAt(row);
    add(scratch_, serial);
    if (!table.cellText(row, activeColumn_).empty()) active_.insert(serial);
}

void EndpointIndex::rowRemoving(const TextTable& table, int row) {
    keyOfRow(scratch_, table, row);
    const std::uint64_t serial = table.serialAt(row);
    remove(scratch_, serial);
    active_.erase(serial);
}

void EndpointIndex::cellChanging(const TextTable& table, int row, int column, std::string_view newText) {
    const std::uint64_t serial = table.serialAt(row);
    if (column == activeColumn_) {
        if (newText.empty())
            active_.erase(serial);
        else
            active_.insert(serial);
    }
    if (!isEndpointColumn(column)) return;
    keyOfRow(scratch_, table, row);
    remove(scratch_, serial);
    keyOfRow(scratch_, table, row, column, newText);
    add(scratch_, serial);
}

std::span<const std::uint64_t> EndpointIndex::rowsWith(std::string_view localIp, std::string_view localPort,
                                                       std::string_view remoteIp,
                                                       std::string_view remotePort) const {
    makeKey(scratch_, localIp, localPort, remoteIp, remotePort);
    auto it = rows_.find(std::string_view(scratch_));
    if (it == rows_.end()) return {};
    return it->second;
}

}  // namespace kestrova
