#pragma once
#include <cstdint>

#include "platform/ConnectionTable.h"

namespace kestrova {

// One socket as read from the kernel, before its owner is known. `row.pid` is
// filled in later from `inode`; an inode of 0 means no process holds the
// socket (yet): a TIME_WAIT or half-open request socket, a connection still
// waiting in its listener's accept queue, or one its process has closed.
struct TcpSocketEntry {
    TcpRow row;
    std::uint64_t inode = 0;
    // An IPv6 listener on the any-address ([::]). It is no IPv4 connection
    // and a row only where IPv6 connections are listed, but the IPv4 clients
    // it takes wait in its accept queue, and their owner is its owner.
    bool dualStackListener = false;
    bool operator==(const TcpSocketEntry&) const = default;
};

// Sets the addresses of `e` from those of an IPv6 socket, `listening` or
// not, and marks a [::] listener. False when `families` does not list the
// socket and it is no [::] listener either: it is then no entry.
bool setIpv6Addresses(TcpSocketEntry& e, const IpAddress& local, const IpAddress& remote, bool listening,
                      IpFamilies families);

// Our state numbers (1 CLOSED ... 12 DELETE_TCB) for the kernel's TCP state
// numbers (1 ESTABLISHED ... 12 NEW_SYN_RECV). A kernel number from 13 on,
// which no dump we ask for returns today, is passed on unchanged and shown
// as UNKNOWN(n); 0, a number no kernel uses, stays 0 (an empty state text).
std::uint32_t tcpStateFromLinux(unsigned linuxState);

inline constexpr std::uint32_t kStateListen = 2;
inline constexpr std::uint32_t kStateEstablished = 5;
inline constexpr std::uint32_t kStateTimeWait = 11;

}  // namespace kestrova
