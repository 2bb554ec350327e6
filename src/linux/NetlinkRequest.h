#pragma once
#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kestrova {

// Sends one netlink request to the kernel. 0 on success, else an errno.
inline int sendNetlinkRequest(int fd, const void* request, std::size_t size) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    while (sendto(fd, request, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Asks the kernel for a dump of message `type`: the netlink header, then the
// request's own body. 0 on success, else an errno.
template <class Body>
int sendNetlinkDump(int fd, std::uint32_t seq, std::uint16_t type, const Body& body) {
    struct {
        nlmsghdr header;
        Body body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    request.body = body;
    return sendNetlinkRequest(fd, &request, sizeof request);
}

}  // namespace kestrova
