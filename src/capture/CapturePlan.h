#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/AddressList.h"
#include "platform/PacketSource.h"

namespace kestrova {

// The zones that the link-local addresses in one capture's datagrams are
// written with, so that their texts are those of the connection rows, which
// name the interface a connection runs on. A datagram on an interface ran on
// that interface; but on a loopback interface, where the traffic between the
// machine's own addresses passes, an address's zone is the interface that
// holds it.
struct LinkZones {
    std::string captured;  // the capture's interface
    // On a loopback interface: each of the machine's link-local addresses
    // with the interface that holds it, the first one where several do.
    std::vector<std::pair<IpAddress, std::string>> owners;

    std::string_view of(const IpAddress& address) const;
    bool operator==(const LinkZones&) const = default;
};

// What the worker for one entry of the address list captures.
struct CapturePlan {
    LocalAddress address;
    // Nothing when an earlier worker on the same loopback interface already
    // takes everything of this address's family there: this one opens and
    // reports like the others but has nothing left to count.
    std::optional<CaptureRequest> request;
    LinkZones zones;

    bool operator==(const CapturePlan&) const = default;
};

// Chooses the captures so that every TCP datagram to or from a local address
// is counted once, however many addresses an interface has. IPv4 and IPv6
// datagrams are captured apart, each by workers of addresses of their own
// family. Traffic between the machine's own addresses travels over loopback,
// where the first worker of each family takes every datagram of that family
// (the capture already leaves out loopback's second, outgoing copy). On any
// other interface a worker takes the datagrams to or from its own address,
// leaving those of addresses of its family earlier in the list on the same
// interface to their own workers. Nothing for an index past the list.
std::optional<CapturePlan> planCapture(const std::vector<LocalAddress>& addresses, std::size_t index);

}  // namespace kestrova
