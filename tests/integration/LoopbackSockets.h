#pragma once
// Loopback sockets for the tests of the connection table and its owners.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace kestrova::testing {

// Closes on scope exit; reset() closes early.
struct Fd {
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept { std::swap(fd_, o.fd_); return *this; }
    ~Fd() { reset(); }
    void reset() { if (fd_ >= 0) close(std::exchange(fd_, -1)); }
    int get() const { return fd_; }
    int fd_;
};

inline std::uint16_t localPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
}

inline Fd listenOnLoopback() {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd.get(), 16), 0);
    return fd;
}

// A connection to `port` on 127.0.0.1, or on [::1].
inline Fd connectTo(std::uint16_t port, bool ipv6 = false) {
    Fd fd(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = sizeof(sockaddr_in);
    if (ipv6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    return fd;
}

}  // namespace kestrova::testing
