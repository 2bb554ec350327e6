#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ConnectionTable.h"
#include "linux/SnapshotSorter.h"
#include "linux/SocketOwnerCache.h"
#include "linux/TcpSocketEntry.h"

namespace kestrova {

// The TCP table from a NETLINK_SOCK_DIAG dump, or from /proc/net/tcp and
// /proc/net/tcp6 where netlink is unavailable, with owners from /proc/<pid>/fd:
// the IPv4 connections, and the IPv6 ones too when asked for.
// Not thread-safe: one caller at a time.
class LinuxConnectionTable : public ConnectionTable {
public:
    enum class Reader {
        Automatic,
        // Automatic, but always one netlink dump per address family; lets
        // tests hold the combined dump against it.
        PerFamilyDumps,
        ProcNetOnly,
    };

    explicit LinuxConnectionTable(Reader reader = Reader::Automatic, IpFamilies families = IpFamilies::Ipv4);
    // For tests: owners from `source` instead of /proc.
    LinuxConnectionTable(Reader reader, std::unique_ptr<SocketOwnerSource> source,
                         IpFamilies families = IpFamilies::Ipv4);
    ~LinuxConnectionTable() override;
    LinuxConnectionTable(const LinuxConnectionTable&) = delete;
    LinuxConnectionTable& operator=(const LinuxConnectionTable&) = delete;

    bool snapshot(std::vector<TcpRow>& rows) override;
    std::string interfaceName(std::uint32_t index) override;

    const SocketOwnerCache& ownerCache() const { return owners_; }
    // Whether the last successful snapshot came from netlink.
    bool usedNetlink() const { return usedNetlink_; }
    // Whether the last successful snapshot read IPv4 and IPv6 sockets in a
    // single netlink dump (one walk of the kernel's tables instead of two).
    bool usedCombinedDump() const { return usedCombinedDump_; }

private:
    // 0 on success, else a positive errno.
    int dumpNetlink();
    // AF_INET or AF_INET6 over SOCK_DIAG_BY_FAMILY; AF_UNSPEC for both at
    // once over the legacy TCP request.
    int dumpFamily(int family);
    bool openNetlink();
    void closeNetlink();
    bool readProcNet();

    Reader reader_;
    IpFamilies families_;
    std::unique_ptr<SocketOwnerSource> source_;
    SocketOwnerCache owners_;
    SnapshotSorter sorter_;
    int nlFd_ = -1;
    std::uint32_t portId_ = 0;
    std::uint32_t seq_ = 0;
    bool netlinkEverWorked_ = false;
    bool netlinkUnsupported_ = false;
    bool skipIpv6_ = false;
    // Until the combined dump has worked once, any error it returns ends its
    // use for good.
    bool combinedDumpUnsupported_ = false;
    bool combinedDumpWorked_ = false;
    bool usedNetlink_ = false;
    bool usedCombinedDump_ = false;
    std::vector<std::uint8_t> buffer_;
    std::vector<char> textBuffer_;
    std::vector<TcpSocketEntry> entries_;
};

}  // namespace kestrova
