#include "capture/TrafficAccounting.h"

#include <algorithm>
#include <charconv>

namespace kestrova {

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

void TrafficAccounting::account(std::span<const PacketReport> reports, std::string_view activeMark) {
    if (reports.empty() || list_.rowCount() == 0) return;

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
        for (std::uint64_t serial : matches_) added_[serial] += report.size;
        previous = &report;
    }
    lastMatches_ = matches_;  // the rows of the last report

    char digits[24];
    auto writeTotal = [&](int row, std::uint64_t total) {
        const auto end = std::to_chars(digits, digits + sizeof digits, total).ptr;
        list_.setCellText(row, colTotalBytes, std::string_view(digits, static_cast<std::size_t>(end - digits)));
    };
    for (const auto& [serial, bytes] : added_) {
        const int row = list_.rowOfSerial(serial);
        if (row >= 0) writeTotal(row, readTotal(list_.cellText(row, colTotalBytes)) + bytes);
    }

    // Only the rows of the last report keep a mark. Clearing a mark changes
    // the set being read, so take the rows first.
    stale_.assign(list_.endpoints().activeRows().begin(), list_.endpoints().activeRows().end());
    for (std::uint64_t serial : stale_) {
        if (std::find(lastMatches_.begin(), lastMatches_.end(), serial) != lastMatches_.end()) continue;
        const int row = list_.rowOfSerial(serial);
        if (row >= 0) list_.setCellText(row, colActive, "");
    }
    for (std::uint64_t serial : lastMatches_) {
        const int row = list_.rowOfSerial(serial);
        if (row < 0) continue;
        text_.assign(activeMark);
        text_.append(list_.cellText(row, colTotalBytes));
        list_.setCellText(row, colActive, text_);
    }
}

}  // namespace kestrova
