#include "monitor/ConnectionList.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "monitor/AddressText.h"
#include "platform/ConnectionTable.h"

namespace kestrova {

ConnectionList::ConnectionList() : TextTable(kConnectionColumns) {}

std::uint64_t readTotal(std::string_view text) {
    std::size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    return negative ? 0 - value : value;
}

namespace {

std::string decimalText(std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace

int ConnectionList::insert(const NewConnection& connection) {
    std::vector<std::string> cells(kConnectionColumns);
    cells[colLocalIp] = addressText(connection.local, connection.zone);
    cells[colLocalPort] = decimalText(connection.localPort);
    cells[colRemoteIp] = addressText(connection.remote, connection.zone);
    cells[colRemotePort] = decimalText(connection.remotePort);
    cells[colProtocol] = "TCP";
    cells[colSource] = endpointText(cells[colLocalIp], cells[colLocalPort], false);
    cells[colArrow] = "→";
    cells[colDestination] = endpointText(cells[colRemoteIp], cells[colRemotePort], false);
    cells[colState] = stateText(connection.state);
    cells[colProcess] = connection.owner;
    if (connection.pid != kPidNotVisible) cells[colPid] = decimalText(connection.pid);
    cells[colSeen] = shownText(UiText::MarkNew);
    cells[colTotalBytes] = "0";
    return insertRow(std::move(cells));
}

void ConnectionList::setState(int row, std::uint32_t state) {
    if (state < StateNames.size())
        setCellText(row, colState, StateNames[state]);
    else
        setCellText(row, colState, stateText(state));
}

void ConnectionList::setShownEnds(int row, bool names) {
    struct End {
        int shown, address, name, port;
    };
    for (const End end : {End{colSource, colLocalIp, colLocalHost, colLocalPort},
                          End{colDestination, colRemoteIp, colRemoteHost, colRemotePort}}) {
        const std::string_view name = storedText(row, end.name);
        const bool named = names && !name.empty();
        const std::string_view host = named ? name : storedText(row, end.address);
        const std::string_view port = storedText(row, end.port);
        if (!isEndpointText(storedText(row, end.shown), host, port, named))
            setCellText(row, end.shown, endpointText(host, port, named));
    }
}

void ConnectionList::fillName(int row, RowSide side, std::string_view name) {
    setCellText(row, side == RowSide::Local ? colLocalHost : colRemoteHost, name);
}

void ConnectionList::addBytes(int row, std::uint64_t bytes) {
    setCellText(row, colTotalBytes, decimalText(readTotal(storedText(row, colTotalBytes)) + bytes));
}

void ConnectionList::setActive(int row, std::string_view mark) {
    std::string text(mark);
    text.append(storedText(row, colTotalBytes));
    setCellText(row, colActive, text);
}

void ConnectionList::clearActive(int row) { setCellText(row, colActive, ""); }

void ConnectionList::setSeen(int row, SeenMark seen) {
    setCellText(row, colSeen,
                seen == SeenMark::New       ? shownText(UiText::MarkNew)
                : seen == SeenMark::Updated ? shownText(UiText::MarkUpdated)
                                            : std::string_view());
}

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
