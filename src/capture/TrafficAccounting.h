#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/PacketReport.h"
#include "monitor/ConnectionList.h"

namespace kestrova {

// The number in a byte-total cell: leading white space, one optional sign,
// then decimal digits up to the first other character, kept modulo 2^64.
// Empty or digitless text reads as 0.
std::uint64_t readTotal(std::string_view text);

// Adds reports to the connection rows. A report belongs to every row whose
// local endpoint is its source and remote endpoint its destination, or the
// other way round; each such row's total grows by its size, and afterwards
// only the rows of the last report show the activity mark with their total.
//
// A batch leaves the rows exactly as handing the reports over one at a time,
// in order, would. Rows are found through the list's endpoint index, so the
// cost follows the batch, not the number of rows.
class TrafficAccounting {
public:
    explicit TrafficAccounting(ConnectionList& list);

    void account(std::span<const PacketReport> reports, std::string_view activeMark);

private:
    // The rows of one report, in both directions.
    void rowsOf(const PacketReport& report, std::vector<std::uint64_t>& out) const;

    ConnectionList& list_;
    // Scratch kept between batches so that a steady stream allocates nothing.
    std::unordered_map<std::uint64_t, std::uint64_t> added_;
    std::vector<std::uint64_t> matches_, lastMatches_, stale_;
    std::string text_;
};

}  // namespace kestrova
