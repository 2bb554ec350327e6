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

// Adds reports to the connection rows. A report belongs to every row whose
// local endpoint is its source and remote endpoint its destination, or the
// other way round; each such row's total grows by its size, and afterwards
// only the rows of the last report show the activity mark with their total.
//
// A batch leaves the rows exactly as handing the reports over one at a time,
// in order, would. Rows are found through the list's endpoint index, so the
// cost follows the batch, not the number of rows.
//
// A new connection's first datagrams come before the refresh that makes its
// row: the bytes of a report that matches no row are held, and added to the
// rows of their connection once a refresh has made them. What no refresh
// gives a row to (a connection that came and went between two) goes after
// kHeldRefreshes refreshes; at most kMaxHeld connections are held.
class TrafficAccounting {
public:
    static constexpr int kHeldRefreshes = 2;
    static constexpr std::size_t kMaxHeld = 4096;

    explicit TrafficAccounting(ConnectionList& list);

    void account(std::span<const PacketReport> reports, std::string_view activeMark);
    // A refresh has run: held bytes go to the totals of the rows it made
    // for them.
    void refreshed();
    // How many connections' bytes wait for their rows.
    std::size_t held() const { return held_.size(); }

private:
    // The rows of one report, in both directions.
    void rowsOf(const PacketReport& report, std::vector<std::uint64_t>& out) const;
    void hold(const PacketReport& report);

    // Bytes of one direction of a connection without a row yet.
    struct Held {
        PacketReport report;  // its endpoints
        std::uint64_t bytes = 0;
        int refreshes = 0;  // refreshes that made no row for it
    };
    std::unordered_map<std::string, Held> held_;

    ConnectionList& list_;
    // Scratch kept between batches so that a steady stream allocates nothing.
    std::unordered_map<std::uint64_t, std::uint64_t> added_;
    std::vector<std::uint64_t> matches_, lastMatches_, stale_;
};

}  // namespace kestrova
