#pragma once
#include <compare>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "wire/CaptureRecord.h"
#include "wire/Datagram.h"

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
    // One end of a connection: its address's 16 bytes as two words, and its port.
    struct Endpoint {
        std::uint64_t high;
        std::uint64_t low;
        std::uint16_t port;
        auto operator<=>(const Endpoint&) const = default;
    };
    struct Key {
        Endpoint lower;  // the lower endpoint
        Endpoint higher;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            const auto mix = [](const Endpoint& e) {
                return (e.high * 0x9E3779B97F4A7C15ull ^ e.low) * 0xC2B2AE3D27D4EB4Full ^ e.port;
            };
            return static_cast<std::size_t>(mix(key.lower) * 0x9E3779B97F4A7C15ull ^ mix(key.higher));
        }
    };
    static Endpoint endpointOf(const IpAddress& address, std::uint16_t port);

    std::unordered_map<Key, std::size_t, KeyHash> index_;
    std::vector<ConnectionRecord> records_;
    std::vector<ConnectionRecord> taken_;
    std::size_t last_ = 0;  // the record of the latest datagram
};

}  // namespace kestrova
