#include "linux/SockDiagParser.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrova {

std::uint32_t tcpStateFromLinux(unsigned linuxState) {
    // Index: kernel state number. Linux has no DELETE_TCB, and its
    // NEW_SYN_RECV request sockets are what everyone else calls SYN_RCVD.
    static constexpr std::uint32_t kMap[] = {
        0,   // unused
        5,   // ESTABLISHED
        3,   // SYN_SENT
        4,   // SYN_RECV
        6,   // FIN_WAIT1
        7,   // FIN_WAIT2
        11,  // TIME_WAIT
        1,   // CLOSE
        8,   // CLOSE_WAIT
        10,  // LAST_ACK
        2,   // LISTEN
        9,   // CLOSING
        4,   // NEW_SYN_RECV
    };
    // A number past the known ones keeps the kernel's own value, which our
    // numbering leaves free, so that the row shows it as UNKNOWN(n).
    return linuxState < std::size(kMap) ? kMap[linuxState] : linuxState;
}

bool setIpv6Addresses(TcpSocketEntry& e, const IpAddress& local, const IpAddress& remote, bool listening,
                      IpFamilies families) {
    // A [::] listener accepts IPv4 too, but it is not itself an IPv4
    // endpoint; only its accepted v4 connections are. Without IPv6 rows it
    // is kept aside as their listener.
    e.dualStackListener = local.isIpv6Unspecified() && listening;
    const bool ipv4 = local.isIpv4() && (remote.isIpv4() || remote.isIpv6Unspecified());
    if (!ipv4 && !e.dualStackListener && families != IpFamilies::Ipv4AndIpv6)
        return false;
    e.row.localAddr = local;
    // The remote end of an IPv4 listener is 0.0.0.0, not ::.
    e.row.remoteAddr = ipv4 && !remote.isIpv4() ? IpAddress() : remote;
    return true;
}

namespace {

constexpr unsigned kLinuxListen = 10;

// The kernel reports a failure as a negative errno, which never goes below
// -4095. Any other value in a status field is not an error number (and
// INT_MIN cannot even be negated); it stands for `otherwise`.
int errnoFromStatus(int status, int otherwise) {
    return status < 0 && status > -4096 ? -status : otherwise;
}

std::uint16_t portFromNetwork(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

IpAddress ipv6Address(const std::uint32_t (&words)[4]) {
    IpAddress::Ipv6Bytes bytes;
    static_assert(sizeof bytes == sizeof words);
    std::memcpy(bytes.data(), words, sizeof bytes);
    return IpAddress::fromIpv6(bytes);
}

// The id of the socket's control group, from the attributes after its
// message (kernels from 5.9 on send it with every full socket); 0 without.
// Attributes that overrun the message end the search.
std::uint64_t controlGroupOf(const std::uint8_t* attributes, std::size_t left) {
    while (left >= sizeof(nlattr)) {
        nlattr a;
        std::memcpy(&a, attributes, sizeof a);
        if (a.nla_len < sizeof a || a.nla_len > left)
            return 0;
        std::uint64_t id = 0;
        if ((a.nla_type & NLA_TYPE_MASK) == INET_DIAG_CGROUP_ID && a.nla_len >= NLA_HDRLEN + sizeof id) {
            std::memcpy(&id, attributes + NLA_HDRLEN, sizeof id);
            return id;
        }
        const std::size_t step = NLA_ALIGN(a.nla_len);
        if (step >= left)
            break;
        attributes += step;
        left -= step;
    }
    return 0;
}

// Appends the socket when it is one that `families` lists (or the [::]
// listener of IPv4 clients); false when it is not.
bool appendSocket(const inet_diag_msg& msg, IpFamilies families, std::uint64_t controlGroup,
                  std::vector<TcpSocketEntry>& out) {
    TcpSocketEntry e;
    if (msg.idiag_family == AF_INET) {
        IpAddress::Ipv4Bytes src, dst;
        std::memcpy(src.data(), msg.id.idiag_src, 4);
        std::memcpy(dst.data(), msg.id.idiag_dst, 4);
        e.row.localAddr = src;
        e.row.remoteAddr = dst;
    } else if (msg.idiag_family == AF_INET6) {
        const IpAddress src = ipv6Address(msg.id.idiag_src), dst = ipv6Address(msg.id.idiag_dst);
        if (!setIpv6Addresses(e, src, dst, msg.idiag_state == kLinuxListen, families))
            return false;
        // The interface the socket is bound to is the zone of its link-local
        // addresses.
        if (src.isLinkLocal() || dst.isLinkLocal())
            e.row.interfaceIndex = msg.id.idiag_if;
    } else {
        return false;
    }
    std::uint8_t ports[4];
    std::memcpy(ports, &msg.id.idiag_sport, 2);
    std::memcpy(ports + 2, &msg.id.idiag_dport, 2);
    e.row.localPort = portFromNetwork(ports);
    e.row.remotePort = portFromNetwork(ports + 2);
    e.row.state = tcpStateFromLinux(msg.idiag_state);
    e.row.uid = msg.idiag_uid;
    e.row.controlGroup = controlGroup;
    e.inode = msg.idiag_inode;
    out.push_back(e);
    return true;
}

}  // namespace

SockDiagParseResult parseSockDiagDatagram(std::span<const std::uint8_t> datagram, std::uint32_t seq,
                                          std::uint32_t portId, std::vector<TcpSocketEntry>& out,
                                          SockDiagRequest request, IpFamilies families) {
    using Status = SockDiagParseResult::Status;
    SockDiagParseResult result;
    auto fail = [&result](int error) {
        result.status = Status::Failed;
        result.error = error;
        return result;
    };

    const std::uint16_t socketType = request == SockDiagRequest::LegacyTcp ? TCPDIAG_GETSOCK : SOCK_DIAG_BY_FAMILY;
    const std::uint8_t* p = datagram.data();
    std::size_t left = datagram.size();
    while (left > 0) {
        nlmsghdr h;
        if (left < sizeof h)
            return fail(EBADMSG);
        std::memcpy(&h, p, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > left)
            return fail(EBADMSG);
        if (h.nlmsg_seq != seq || h.nlmsg_pid != portId)
            return fail(EPROTO);
        if (h.nlmsg_flags & NLM_F_DUMP_INTR)
            result.interrupted = true;

        const std::uint8_t* payload = p + NLMSG_HDRLEN;
        const std::size_t payloadLen = h.nlmsg_len > NLMSG_HDRLEN ? h.nlmsg_len - NLMSG_HDRLEN : 0;

        switch (h.nlmsg_type) {
        case NLMSG_DONE: {
            // Since 4.x the kernel puts the dump's final status here; older
            // kernels sent an empty DONE.
            int status = 0;
            if (payloadLen >= sizeof status)
                std::memcpy(&status, payload, sizeof status);
            if (status < 0)
                return fail(errnoFromStatus(status, EPROTO));
            result.status = Status::Done;
            return result;
        }
        case NLMSG_ERROR: {
            int error = 0;
            if (payloadLen >= sizeof error)
                std::memcpy(&error, payload, sizeof error);
            // We never ask for acknowledgements, so even "error 0" is not
            // part of a healthy dump.
            return fail(errnoFromStatus(error, EPROTO));
        }
        case NLMSG_NOOP:
            break;
        default: {
            // NLMSG_OVERRUN, the other request's socket type and anything
            // else we did not ask for.
            if (h.nlmsg_type != socketType)
                return fail(EPROTO);
            inet_diag_msg msg;
            if (payloadLen < sizeof msg)
                return fail(EBADMSG);
            std::memcpy(&msg, payload, sizeof msg);
            const std::size_t attributesAt = NLMSG_ALIGN(sizeof msg);
            appendSocket(msg, families,
                         payloadLen > attributesAt ? controlGroupOf(payload + attributesAt, payloadLen - attributesAt)
                                                   : 0,
                         out);
            break;
        }
        }

        const std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= left)
            break;
        p += step;
        left -= step;
    }
    return result;
}

}  // namespace kestrova
