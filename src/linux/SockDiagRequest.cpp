#include "linux/SockDiagRequest.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "linux/NetlinkRequest.h"

namespace kestrova {
namespace {

int sendFamilyDump(int fd, std::uint32_t seq, int family) {
    inet_diag_req_v2 body{};
    body.sdiag_family = static_cast<std::uint8_t>(family);
    body.sdiag_protocol = IPPROTO_TCP;
    body.idiag_states = kDumpedTcpStates;
    // None of the optional attributes: the message, and the control group
    // id that the kernel adds to every full socket anyway, are all we read.
    body.idiag_ext = 0;
    return sendNetlinkDump(fd, seq, SOCK_DIAG_BY_FAMILY, body);
}

// The kernel answers this older request with one walk over its TCP tables for
// every address family, where SOCK_DIAG_BY_FAMILY walks them once per family.
int sendLegacyTcpDump(int fd, std::uint32_t seq) {
    inet_diag_req body{};
    // Dumps ignore the family today; should a kernel ever honour it,
    // AF_UNSPEC still means both rather than silently only IPv4.
    body.idiag_family = AF_UNSPEC;
    body.idiag_states = kDumpedTcpStates;
    body.idiag_ext = 0;
    return sendNetlinkDump(fd, seq, TCPDIAG_GETSOCK, body);
}

}  // namespace

int openSockDiagSocket(std::uint32_t& portId) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t len = sizeof local;
    // Replies carry the port id the kernel gives us here, not 0.
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    portId = local.nl_pid;
    // A dump always ends; the timeout only keeps a kernel bug from hanging
    // the caller forever.
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int sendTcpDumpRequest(int fd, std::uint32_t seq, int family) {
    return family == AF_UNSPEC ? sendLegacyTcpDump(fd, seq) : sendFamilyDump(fd, seq, family);
}

}  // namespace kestrova
