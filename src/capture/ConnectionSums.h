#pragma once
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "capture/CaptureRecord.h"
#include "capture/Datagram.h"

namespace kestrova {

// Adds up the datagrams of one delivery interval by connection, so that the
// capture helper hands over one record per connection instead of one per
// datagram. A datagram counts for its connection in either direction, as the
// window's accounting matches rows in either direction, so the sums leave the
// rows' totals exactly as the datagrams would. The connection of the
// interval's last datagram comes last, so the activity mark ends where the
// last datagram would have put it.
class ConnectionSums {
public:
    void add(const TcpDatagram& datagram);
    bool empty() const { return records_.empty(); }
    std::size_t connections() const { return records_.size(); }
    // The interval's records, the last datagram's connection last; the sums
    // start again from nothing.
    const std::vector<ConnectionRecord>& take();

private:
    struct Key {
        std::uint64_t low;   // the lower endpoint: address and port
        std::uint64_t high;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return static_cast<std::size_t>(key.low * 0x9E3779B97F4A7C15ull ^ key.high);
        }
    };

    std::unordered_map<Key, std::size_t, KeyHash> index_;
    std::vector<ConnectionRecord> records_;
    std::vector<ConnectionRecord> taken_;
    std::size_t last_ = 0;  // the record of the latest datagram
};

}  // namespace kestrova
