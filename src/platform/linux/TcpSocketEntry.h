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
// numbers (1 ESTABLISHED ... 12 NEW_SYN_RECV); 0 for numbers we do not know.
std::uint32_t tcpStateFromLinux(unsigned linuxState);

inline constexpr std::uint32_t kStateListen = 2;
inline constexpr std::uint32_t kStateEstablished = 5;
inline constexpr std::uint32_t kStateTimeWait = 11;

}  // namespace kestrova
