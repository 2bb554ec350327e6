#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/AddressList.h"
#include "platform/PacketSource.h"

namespace kestrova {

// What the worker for one entry of the address list captures.
struct CapturePlan {
    LocalAddress address;
    // Nothing when an earlier worker on the same loopback interface already
    // takes everything there: this one opens and reports like the others but
    // has nothing left to count.
    std::optional<CaptureRequest> request;

    bool operator==(const CapturePlan&) const = default;
};

// Chooses the captures so that every TCP datagram to or from a local address
// is counted once, however many addresses an interface has. Traffic between
// the machine's own addresses travels over loopback, where the first worker
// takes every datagram (the capture already leaves out loopback's second,
// outgoing copy). On any other interface a worker takes the datagrams to or
// from its own address, leaving those of addresses earlier in the list on the
// same interface to their own workers. Nothing for an index past the list.
std::optional<CapturePlan> planCapture(const std::vector<LocalAddress>& addresses, std::size_t index);

}  // namespace kestrova
