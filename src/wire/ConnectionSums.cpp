#include "wire/ConnectionSums.h"

#include <algorithm>

namespace kestrova {

ConnectionSums::Endpoint ConnectionSums::endpointOf(const IpAddress& address, std::uint16_t port) {
    Endpoint endpoint{0, 0, port};
    const auto& bytes = address.bytes();
    for (std::size_t i = 0; i < 8; ++i) {
        endpoint.high = endpoint.high << 8 | bytes[i];
        endpoint.low = endpoint.low << 8 | bytes[8 + i];
    }
    return endpoint;
}

namespace {

// A record's address: the four octets of an IPv4 one, the 16 bytes of an
// IPv6 one.
void copyAddress(const IpAddress& address, std::array<std::uint8_t, 16>& out) {
    if (address.isIpv4()) {
        const auto octets = address.ipv4();
        std::copy(octets.begin(), octets.end(), out.begin());
    } else {
        out = address.bytes();
    }
}

}  // namespace

void ConnectionSums::add(const TcpDatagram& datagram) {
    const Endpoint from = endpointOf(datagram.source, datagram.sourcePort);
    const Endpoint to = endpointOf(datagram.destination, datagram.destinationPort);
    const Key key{std::min(from, to), std::max(from, to)};
    const auto [found, added] = index_.try_emplace(key, records_.size());
    if (added) {
        ConnectionRecord record;
        // A datagram's two addresses are of one family.
        record.family = datagram.source.isIpv4() ? RecordFamily::Ipv4 : RecordFamily::Ipv6;
        copyAddress(datagram.source, record.source);
        copyAddress(datagram.destination, record.destination);
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
    if (!taken_.empty()) {
        const auto last = taken_.begin() + static_cast<std::ptrdiff_t>(last_);
        std::rotate(last, last + 1, taken_.end());
    }
    last_ = 0;
    return taken_;
}

}  // namespace kestrova
