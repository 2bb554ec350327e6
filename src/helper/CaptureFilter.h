#pragma once
#include <pcap/pcap.h>

#include <optional>
#include <vector>

#include "helper/HelperOptions.h"

namespace kestrova::helper {

// The kernel filter of a capture: it takes the TCP datagrams of the family
// of the capture's address (to or from the address and none of the excluded
// ones, unless the whole interface is taken) and cuts each right after the
// four bytes of its two ports, so that no payload byte ever reaches the
// capture's buffer:
//   - IPv4: first fragments, cut after the link header, the IPv4 header
//     (its length from the header itself) and the ports;
//   - IPv6: the ports found past at most kMaxExtensionHeaders extension
//     headers (hop-by-hop and destination options, routing, authentication,
//     the fragment header of a first fragment), within kIpv6HeaderReach bytes
//     of the datagram, which holds a whole TCP header; cut after the ports.
// Offsets are those the kernel sees for a capture of the given link type: a
// cooked capture sees no link header at all. Nothing for a link type it
// cannot filter, or options it cannot hold.
//
// Every filter the helper uses is made here.
std::optional<std::vector<bpf_insn>> captureProgram(int linkType, const HelperOptions& options);

// `program`, run only for frames that are not a sending's copy. A loopback
// device hands the packet socket every datagram twice, as it leaves and as it
// arrives: the kernel drops the first before it takes a slot of the ring.
// (The load is one of the kernel's own, which the capture library's own
// interpreter does not know.)
std::vector<bpf_insn> withoutOutgoingCopies(const std::vector<bpf_insn>& program);

// Bytes in front of the IP header that the kernel's filter sees.
std::optional<unsigned> kernelLinkHeader(int linkType);

// What the capture must keep of a frame for the program's cut: the longest
// link header the helper reads (Linux cooked v2, 20 bytes), the longest IPv4
// header (60) and the ports (4), rounded up.
inline constexpr int kSnapshotLength = 96;
// The same for IPv6: the link header, then kIpv6HeaderReach bytes.
inline constexpr int kIpv6SnapshotLength = 160;

inline int snapshotLength(const HelperOptions& options) {
    return options.address.isIpv4() ? kSnapshotLength : kIpv6SnapshotLength;
}

}  // namespace kestrova::helper
