#include "capture/ConnectionSums.h"

#include <algorithm>

namespace kestrova {

namespace {

std::uint64_t endpointKey(const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
    return std::uint64_t{address[0]} << 40 | std::uint64_t{address[1]} << 32 | std::uint64_t{address[2]} << 24 |
           std::uint64_t{address[3]} << 16 | port;
}

}  // namespace

void ConnectionSums::add(const TcpDatagram& datagram) {
    const std::uint64_t from = endpointKey(datagram.source, datagram.sourcePort);
    const std::uint64_t to = endpointKey(datagram.destination, datagram.destinationPort);
    const Key key{std::min(from, to), std::max(from, to)};
    const auto [found, added] = index_.try_emplace(key, records_.size());
    if (added) {
        ConnectionRecord record;
        std::copy(datagram.source.begin(), datagram.source.end(), record.source.begin());
        std::copy(datagram.destination.begin(), datagram.destination.end(), record.destination.begin());
        record.sourcePort = datagram.sourcePort;
        record.destinationPort = datagram.destinationPort;
        records_.push_back(record);
    }
    records_[found->second].bytes += datagram.size;
    last_ = found->second;
}

const std::vector<ConnectionRecord>& ConnectionSums::take() {
    taken_.swap(records_);
    records_.clear();
    index_.clear();
    if (!taken_.empty()) std::rotate(taken_.begin() + static_cast<std::ptrdiff_t>(last_), taken_.begin() + static_cast<std::ptrdiff_t>(last_) + 1, taken_.end());
    last_ = 0;
    return taken_;
}

}  // namespace kestrova
