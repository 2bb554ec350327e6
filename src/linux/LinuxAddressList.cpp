#include "linux/LinuxAddressList.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "linux/InterfaceAddresses.h"

namespace kestrova {

namespace {

// Changes come in bursts (an interface that comes up brings its link and
// every address): a wait returns once they have been quiet this long.
constexpr int kSettleMs = 100;

class NetlinkAddressWatch : public AddressWatch {
public:
    NetlinkAddressWatch(int socket, int wake) : socket_(socket), wake_(wake) {}
    ~NetlinkAddressWatch() override {
        close(socket_);
        close(wake_);
    }
    NetlinkAddressWatch(const NetlinkAddressWatch&) = delete;
    NetlinkAddressWatch& operator=(const NetlinkAddressWatch&) = delete;

    bool wait(std::stop_token stop) override {
        std::stop_callback wakeUp(stop, [this] {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
        });
        int timeout = -1;
        while (!stop.stop_requested()) {
            pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
            const int ready = poll(fds, 2, timeout);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (ready == 0) return true;  // settled after a change
            if (fds[1].revents) return false;
            const int news = drain();
            if (news < 0) return false;
            if (news > 0) timeout = kSettleMs;
        }
        return false;
    }

private:
    // Takes every message waiting: 1 when one of them tells of a change, 0
    // when none does, -1 when the socket fails for good. Messages lost to a
    // full socket buffer may have told of one.
    int drain() {
        int news = 0;
        alignas(nlmsghdr) char buffer[16384];
        while (true) {
            sockaddr_nl from{};
            socklen_t length = sizeof from;
            const ssize_t count =
                recvfrom(socket_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
            if (count < 0) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS) {
                    news = 1;
                    continue;
                }
                return errno == EAGAIN || errno == EWOULDBLOCK ? news : -1;
            }
            if (from.nl_pid != 0) continue;  // not from the kernel
            std::size_t left = static_cast<std::size_t>(count);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
                 header = NLMSG_NEXT(header, left)) {
                switch (header->nlmsg_type) {
                case RTM_NEWADDR:
                case RTM_DELADDR:
                case RTM_NEWLINK:
                case RTM_DELLINK:
                    news = 1;
                    break;
                default:
                    break;
                }
            }
        }
    }

    int socket_;
    int wake_;
};

}  // namespace

std::optional<std::vector<LocalAddress>> LinuxAddressList::query() {
    const auto all = interfaceAddresses(families_);
    if (!all) return std::nullopt;
    std::vector<LocalAddress> addresses;
    for (const InterfaceAddress& entry : *all) {
        if (!entry.up) continue;
        // A labelled address (eth0:1) is captured on the device that holds it.
        addresses.push_back(LocalAddress{entry.device, entry.address, entry.loopback});
    }
    return addresses;
}

std::unique_ptr<AddressWatch> LinuxAddressList::watch() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return nullptr;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (families_ == IpFamilies::Ipv4AndIpv6) address.nl_groups |= RTMGRP_IPV6_IFADDR;
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (wake >= 0) close(wake);
        close(fd);
        return nullptr;
    }
    return std::make_unique<NetlinkAddressWatch>(fd, wake);
}

}  // namespace kestrova
