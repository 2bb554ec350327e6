#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "linux/TcpSocketEntry.h"

namespace kestrova {

struct SockDiagParseResult {
    enum class Status {
        More,    // every message was a socket; the dump goes on
        Done,    // NLMSG_DONE without error ended the dump
        Failed,  // kernel error or a malformed/foreign message; see `error`
    };
    Status status = Status::More;
    // Positive errno: the kernel's for NLMSG_ERROR or an erroring NLMSG_DONE,
    // EBADMSG for a malformed datagram, EPROTO for a message that does not
    // belong to our request.
    int error = 0;
    // A message carried NLM_F_DUMP_INTR: the table changed while the kernel
    // walked it, so the dump as a whole may have missed or doubled sockets.
    bool interrupted = false;
};

// The request a dump answers. The kernel types each socket message after its
// request, so the parser has to know which one was sent.
enum class SockDiagRequest {
    ByFamily,   // SOCK_DIAG_BY_FAMILY: one address family per dump
    LegacyTcp,  // TCPDIAG_GETSOCK: IPv4 and IPv6 TCP sockets in one dump
};

// Parses one datagram of a TCP socket dump. Every message must answer request
// `seq` of kind `request` sent from netlink port `portId`. IPv4 sockets are
// appended to `out`; IPv6 sockets when they carry an IPv4 connection (both
// ends IPv4-mapped, or a mapped local end with no remote end), when they
// listen on [::] (marked dualStackListener), and every other one with
// IpFamilies::Ipv4AndIpv6. Any byte sequence is safe to pass: nothing
// outside `datagram` is read.
SockDiagParseResult parseSockDiagDatagram(std::span<const std::uint8_t> datagram, std::uint32_t seq,
                                          std::uint32_t portId, std::vector<TcpSocketEntry>& out,
                                          SockDiagRequest request = SockDiagRequest::ByFamily,
                                          IpFamilies families = IpFamilies::Ipv4);

}  // namespace kestrova
