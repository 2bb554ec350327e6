#include "LoopbackConnections.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// Two descriptors per connection plus a listener must stay under the
// per-process limit of 20,000.
constexpr int kPerHolder = 8000;

// The address a holder listens and connects on: an IPv4 one of its own, so
// that ephemeral ports never run short, or ::1, where each holder's
// listener port keeps its connections apart.
socklen_t holderAddress(sockaddr_storage& storage, int holderIndex, bool ipv6) {
    storage = {};
    if (ipv6) {
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        return sizeof address;
    }
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000000u | (10u + static_cast<unsigned>(holderIndex)) << 8 | 1u);
    return sizeof address;
}

int openAll(int count, int holderIndex, bool ipv6) {
    const int family = ipv6 ? AF_INET6 : AF_INET;
    const int listener = socket(family, SOCK_STREAM, 0);
    if (listener < 0) return -1;
    sockaddr_storage address;
    socklen_t length = holderAddress(address, holderIndex, ipv6);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
    if (listen(listener, 4096) != 0) return -1;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    // Closing with a reset leaves no TIME_WAIT sockets behind to crowd the
    // table of the next measurement.
    const linger reset{1, 0};
    for (int i = 0; i < count; ++i) {
        const int client = socket(family, SOCK_STREAM, 0);
        if (client < 0) return -1;
        if (connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
        const int server = accept(listener, nullptr, nullptr);
        if (server < 0) return -1;
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        setsockopt(server, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    return 0;
}

}  // namespace

LoopbackConnections::LoopbackConnections(int connections, bool ipv6, std::optional<uid_t> holder) {
    for (int index = 0; connections > 0; ++index) {
        const int count = std::min(connections, kPerHolder);
        connections -= count;
        int ready[2];
        if (pipe(ready) != 0) {
            ready_ = false;
            return;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            const bool became = !holder || (setgroups(0, nullptr) == 0 && setgid(*holder) == 0 && setuid(*holder) == 0);
            const char status = became && openAll(count, index, ipv6) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &status, 1);
            // Hold the connections until the benchmark ends us; never outlive it.
            for (int waited = 0; waited < 3600 && getppid() != 1; ++waited) sleep(1);
            _exit(0);
        }
        close(ready[1]);
        if (pid < 0) {
            close(ready[0]);
            ready_ = false;
            return;
        }
        holders_.push_back(pid);
        char status = 'n';
        if (read(ready[0], &status, 1) != 1 || status != 'y') ready_ = false;
        close(ready[0]);
    }
}

LoopbackConnections::~LoopbackConnections() {
    for (pid_t pid : holders_) kill(pid, SIGKILL);
    for (pid_t pid : holders_) waitpid(pid, nullptr, 0);
}
