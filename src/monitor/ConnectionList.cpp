#include "monitor/ConnectionList.h"

#include <cstdint>

namespace kestrova {

ConnectionList::ConnectionList() : TextTable(kConnectionColumns) {}

void ConnectionList::appendKey(std::string& out, const ConnectionKey& key) {
    // Unit separators cannot occur in the cells the refresh writes, and the
    // field lengths make the joined text unambiguous anyway.
    for (std::string_view part : {key.localIp, key.localPort, key.remoteIp, key.remotePort, key.pid}) {
        out.append(part);
        out.push_back('\x1f');
    }
}

bool ConnectionList::isKeyColumn(int column) {
    return column == colLocalIp || column == colLocalPort || column == colRemoteIp ||
           column == colRemotePort || column == colPid;
}

ConnectionKey ConnectionList::keyOfRow(int row, int changedColumn, std::string_view changedText) const {
    auto cell = [&](int column) -> std::string_view {
        return column == changedColumn ? changedText : std::string_view(cellText(row, column));
    };
    return {cell(colLocalIp), cell(colLocalPort), cell(colRemoteIp), cell(colRemotePort), cell(colPid)};
}

int ConnectionList::findRow(const ConnectionKey& key) const {
    scratch_.clear();
    appendKey(scratch_, key);
    auto it = keyIndex_.find(scratch_);
    return it == keyIndex_.end() ? -1 : rowOfSerial(it->second.serial);
}

void ConnectionList::indexRow(int row, const ConnectionKey& key) {
    std::string text;
    appendKey(text, key);
    const std::uint64_t serial = serialAt(row);
    auto [it, inserted] = keyIndex_.try_emplace(std::move(text), IndexEntry{serial, 0});
    if (++it->second.rows == 2) ++duplicateKeys_;
    // With duplicates the oldest row (smallest serial) is the one a bottom-up
    // scan meets first.
    if (serial < it->second.serial) it->second.serial = serial;
}

void ConnectionList::unindexRow(int row, const ConnectionKey& key) {
    scratch_.clear();
    appendKey(scratch_, key);
    auto it = keyIndex_.find(scratch_);
    if (it == keyIndex_.end()) return;
    if (--it->second.rows == 1) --duplicateKeys_;
    if (it->second.rows == 0) {
        keyIndex_.erase(it);
        return;
    }
    const std::uint64_t leaving = serialAt(row);
    if (it->second.serial != leaving) return;
    // Only rows written by hand can share a key; find the next oldest one.
    std::uint64_t best = UINT64_MAX;
    for (int other = rowCount() - 1; other >= 0; --other) {
        const std::uint64_t serial = serialAt(other);
        if (serial == leaving || serial >= best) continue;
        std::string text;
        appendKey(text, keyOfRow(other));
        if (text == scratch_) best = serial;
    }
    it->second.serial = best;
}

void ConnectionList::rowAdded(int row) {
    ++changeStamp_;
    indexRow(row, keyOfRow(row));
    addresses_.rowAdded(*this, row);
    endpoints_.rowAdded(*this, row);
}

void ConnectionList::rowRemoving(int row) {
    ++changeStamp_;
    unindexRow(row, keyOfRow(row));
    addresses_.rowRemoving(*this, row);
    endpoints_.rowRemoving(*this, row);
}

void ConnectionList::cellChanging(int row, int column, std::string_view newText) {
    if (column != colActive && column != colTotalBytes) ++changeStamp_;
    addresses_.cellChanging(*this, row, column, newText);
    endpoints_.cellChanging(*this, row, column, newText);
    if (!isKeyColumn(column)) return;
    ++keyRewrites_;
    unindexRow(row, keyOfRow(row));
    indexRow(row, keyOfRow(row, column, newText));
}

}  // namespace kestrova
