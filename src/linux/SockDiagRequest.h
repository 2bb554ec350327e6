#pragma once
#include <cstdint>

namespace kestrova {

// The TCP states a dump asks for, as a bit mask over the kernel's numbers:
// the twelve a connection can be in, ESTABLISHED (1) to NEW_SYN_RECV (12).
// Kernels from 6.8 on also know sockets that are only bound (13), which are
// no connection, appear in neither /proc/net/tcp nor `ss`, and cost the
// kernel a walk of its bind table to list.
inline constexpr std::uint32_t kDumpedTcpStates = ((1u << 13) - 1) & ~1u;

// A NETLINK_SOCK_DIAG socket bound to a port the kernel chose, which is
// stored in `portId`; its receives time out after two seconds. -1 with errno
// set on failure.
int openSockDiagSocket(std::uint32_t& portId);

// Asks for a dump of every TCP socket in kDumpedTcpStates, without optional
// attributes. AF_INET or AF_INET6 ask for one family (SOCK_DIAG_BY_FAMILY);
// AF_UNSPEC asks for both in one walk of the kernel's tables
// (TCPDIAG_GETSOCK). 0 on success, else an errno.
int sendTcpDumpRequest(int fd, std::uint32_t seq, int family);

}  // namespace kestrova
