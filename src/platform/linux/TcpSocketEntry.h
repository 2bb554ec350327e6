#pragma once
#include <cstdint>

#include "platform/ConnectionTable.h"

namespace kestrova {

// One socket as read from the kernel, before its owner is known. `row.pid` is
// filled in later from `inode`; an inode of 0 means the kernel gave none (a
// TIME_WAIT or half-open request socket).
struct TcpSocketEntry {
    TcpRow row;
    std::uint64_t inode = 0;
};

// Our state numbers (1 CLOSED ... 12 DELETE_TCB) for the kernel's TCP state
// numbers (1 ESTABLISHED ... 12 NEW_SYN_RECV). A kernel number from 13 on,
// which no dump we ask for returns today, is passed on unchanged and shown
// as UNKNOWN(n); 0, a number no kernel uses, stays 0 (an empty state text).
std::uint32_t tcpStateFromLinux(unsigned linuxState);

inline constexpr std::uint32_t kStateListen = 2;
inline constexpr std::uint32_t kStateEstablished = 5;
inline constexpr std::uint32_t kStateTimeWait = 11;

}  // namespace kestrova
