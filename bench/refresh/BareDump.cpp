#include "BareDump.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

#include "linux/SockDiagRequest.h"

BareDump::BareDump() : fd_(kestrova::openSockDiagSocket(portId_)), buffer_(256 * 1024) {}

BareDump::~BareDump() {
    if (fd_ >= 0) close(fd_);
}

int BareDump::run() {
    if (fd_ < 0 || kestrova::sendTcpDumpRequest(fd_, ++seq_, AF_UNSPEC) != 0) return -1;
    int sockets = 0;
    for (;;) {
        const ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (n <= 0) return -1;
        for (std::size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<std::size_t>(n);) {
            const auto* h = reinterpret_cast<const nlmsghdr*>(buffer_.data() + at);
            if (h->nlmsg_type == NLMSG_DONE) return sockets;
            if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_len < sizeof(nlmsghdr)) return -1;
            ++sockets;
            at += NLMSG_ALIGN(h->nlmsg_len);
        }
    }
}
