#include "monitor/AddressIndex.h"

#include <algorithm>
#include <utility>

#include "monitor/ConnectionList.h"

namespace kestrova {

namespace {

constexpr int addressColumn(RowSide side) { return side == RowSide::Local ? colLocalIp : colRemoteIp; }
constexpr int nameColumn(RowSide side) { return side == RowSide::Local ? colLocalHost : colRemoteHost; }

std::uint64_t keyOf(std::uint64_t serial, RowSide side) { return serial * 2 + static_cast<std::uint64_t>(side); }

// An end is waiting for a name while it has an address and no name.
bool waiting(std::string_view address, std::string_view name) { return !address.empty() && name.empty(); }

}  // namespace

void AddressIndex::add(std::string_view address, SideKey key) {
    auto it = sides_.find(address);
    if (it == sides_.end()) it = sides_.emplace(std::string(address), std::set<SideKey>{}).first;
    // New rows carry the highest serials: their ends go at the end.
    it->second.insert(it->second.end(), key);
}

void AddressIndex::remove(std::string_view address, SideKey key) {
    auto it = sides_.find(address);
    if (it == sides_.end()) return;
    it->second.erase(key);
    if (it->second.empty()) sides_.erase(it);
}

void AddressIndex::track(const TextTable& rows, int row, RowSide side, bool adding) {
    const std::string& address = rows.cellText(row, addressColumn(side));
    if (!waiting(address, rows.cellText(row, nameColumn(side)))) return;
    const SideKey key = keyOf(rows.serialAt(row), side);
    if (adding)
        add(address, key);
    else
        remove(address, key);
}

void AddressIndex::rowAdded(const TextTable& rows, int row) {
    track(rows, row, RowSide::Local, true);
    track(rows, row, RowSide::Remote, true);
}

void AddressIndex::rowRemoving(const TextTable& rows, int row) {
    track(rows, row, RowSide::Local, false);
    track(rows, row, RowSide::Remote, false);
}

void AddressIndex::cellChanging(const TextTable& rows, int row, int column, std::string_view newText) {
    for (RowSide side : {RowSide::Local, RowSide::Remote}) {
        if (column != addressColumn(side) && column != nameColumn(side)) continue;
        const std::string_view address = rows.cellText(row, addressColumn(side));
        const std::string_view name = rows.cellText(row, nameColumn(side));
        const std::string_view newAddress = column == addressColumn(side) ? newText : address;
        const std::string_view newName = column == nameColumn(side) ? newText : name;
        const SideKey key = keyOf(rows.serialAt(row), side);
        if (waiting(address, name)) remove(address, key);
        if (waiting(newAddress, newName)) add(newAddress, key);
    }
}

std::vector<std::string> AddressIndex::unnamedAddresses() const {
    std::vector<std::pair<SideKey, const std::string*>> first;
    first.reserve(sides_.size());
    for (const auto& [address, keys] : sides_) first.emplace_back(*keys.begin(), &address);
    std::sort(first.begin(), first.end());
    std::vector<std::string> addresses;
    addresses.reserve(first.size());
    for (const auto& entry : first) addresses.push_back(*entry.second);
    return addresses;
}

std::vector<UnnamedSide> AddressIndex::unnamedSides(std::string_view address, std::size_t limit) const {
    std::vector<UnnamedSide> out;
    auto it = sides_.find(address);
    if (it == sides_.end()) return out;
    out.reserve(std::min(limit, it->second.size()));
    for (SideKey key : it->second) {
        if (out.size() == limit) break;
        out.push_back({key / 2, static_cast<RowSide>(key % 2)});
    }
    return out;
}

}  // namespace kestrova
