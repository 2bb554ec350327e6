#pragma once
#include <pcap/pcap.h>

#include <optional>
#include <vector>

#include "helper/HelperOptions.h"

namespace kestrova::helper {

// The kernel filter of a capture: it takes first fragments of IPv4 TCP
// datagrams (to or from the address and none of the excluded ones, unless the
// whole interface is taken) and cuts each to its link header, IPv4 header and
// the four bytes of the two ports, so that no payload byte ever reaches the
// capture's buffer. Offsets are those the kernel sees for a capture of the
// given link type: a cooked capture sees no link header at all. Nothing for a
// link type it cannot filter.
//
// Every filter the helper uses is made here: another address family is one
// more branch after the link header's check.
std::optional<std::vector<bpf_insn>> captureProgram(int linkType, const HelperOptions& options);

// Bytes in front of the IPv4 header that the kernel's filter sees.
std::optional<unsigned> kernelLinkHeader(int linkType);

// What the capture must keep of a frame for the program's cut: the longest
// link header the helper reads (Linux cooked v2, 20 bytes), the longest IPv4
// header (60) and the ports (4), rounded up.
inline constexpr int kSnapshotLength = 96;

}  // namespace kestrova::helper
