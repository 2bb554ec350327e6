#include "linux/LinuxConnectionTable.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "linux/ProcNetTcpParser.h"
#include "linux/ProcSocketOwnerSource.h"
#include "linux/SockDiagParser.h"
#include "linux/SockDiagRequest.h"

namespace kestrova {
namespace {

// Dump datagrams are at most 32 KiB; the slack lets the kernel fill each one
// completely while MSG_TRUNC still guards against anything larger.
constexpr std::size_t kReceiveBufferSize = 256 * 1024;
// A dump that restarts this often is racing a table that changes faster than
// we can read it; better to report a failed tick than to spin.
constexpr int kDumpAttempts = 3;
// dumpFamily's result for a dump the kernel flagged NLM_F_DUMP_INTR.
constexpr int kInterrupted = -1;

// Errors meaning this kernel or sandbox will never answer a sock_diag dump.
bool isUnsupported(int error) {
    switch (error) {
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case EACCES:
    case EPERM:
    case ENOENT:
    case EOPNOTSUPP:
    case EINVAL:
        return true;
    default:
        return false;
    }
}

bool readWholeFile(const char* path, std::vector<char>& text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text.clear();
    std::size_t used = 0;
    bool ok = true;
    for (;;) {
        if (text.size() - used < 16384)
            text.resize(std::max<std::size_t>(text.size() * 2, used + 65536));
        ssize_t n = read(fd, text.data() + used, text.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    close(fd);
    text.resize(used);
    return ok;
}

}  // namespace

LinuxConnectionTable::LinuxConnectionTable(Reader reader, IpFamilies families)
    : LinuxConnectionTable(reader, std::make_unique<ProcSocketOwnerSource>(), families) {}

LinuxConnectionTable::LinuxConnectionTable(Reader reader, std::unique_ptr<SocketOwnerSource> source,
                                           IpFamilies families)
    : reader_(reader), families_(families), source_(std::move(source)), owners_(*source_) {
    combinedDumpUnsupported_ = reader == Reader::PerFamilyDumps;
}

LinuxConnectionTable::~LinuxConnectionTable() { closeNetlink(); }

bool LinuxConnectionTable::snapshot(std::vector<TcpRow>& rows) {
    rows.clear();
    usedNetlink_ = usedCombinedDump_ = false;
    bool ok = false;
    if (reader_ != Reader::ProcNetOnly && !netlinkUnsupported_) {
        const int error = dumpNetlink();
        if (error == 0) {
            ok = usedNetlink_ = netlinkEverWorked_ = true;
        } else if (!netlinkEverWorked_ && isUnsupported(error)) {
            // Not a passing hiccup: this process will never get a dump, so
            // stop asking and read the text tables from now on.
            netlinkUnsupported_ = true;
            closeNetlink();
        }
    }
    if (!ok)
        ok = readProcNet();
    if (!ok)
        return false;

    owners_.assignOwners(entries_, SocketOwnerCache::Clock::now());
    std::vector<TcpRow>& unsorted = sorter_.next();
    unsorted.reserve(entries_.size());
    // A [::] listener is an IPv6 socket, whose IPv4 clients alone are IPv4.
    const bool listAll = families_ == IpFamilies::Ipv4AndIpv6;
    for (const TcpSocketEntry& e : entries_)
        if (listAll || !e.dualStackListener)
            unsorted.push_back(e.row);
    sorter_.sort(rows);
    return true;
}

std::string LinuxConnectionTable::interfaceName(std::uint32_t index) {
    char name[IF_NAMESIZE];
    if (if_indextoname(index, name))
        return name;
    return ConnectionTable::interfaceName(index);
}

bool LinuxConnectionTable::openNetlink() {
    nlFd_ = openSockDiagSocket(portId_);
    if (nlFd_ < 0)
        return false;
    if (buffer_.size() != kReceiveBufferSize)
        buffer_.resize(kReceiveBufferSize);
    return true;
}

void LinuxConnectionTable::closeNetlink() {
    if (nlFd_ >= 0)
        close(nlFd_);
    nlFd_ = -1;
}

int LinuxConnectionTable::dumpNetlink() {
    int error = 0;
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        if (nlFd_ < 0 && !openNetlink())
            return errno;
        entries_.clear();
        if (!combinedDumpUnsupported_) {
            error = dumpFamily(AF_UNSPEC);
            if (error == 0) {
                combinedDumpWorked_ = usedCombinedDump_ = true;
                return 0;
            }
            if (error > 0 && !combinedDumpWorked_) {
                // This kernel does not take the legacy request (or not
                // here); the per-family dumps below find the same sockets.
                combinedDumpUnsupported_ = true;
                closeNetlink();
                if (!openNetlink())
                    return errno;
                entries_.clear();
            }
        }
        if (combinedDumpUnsupported_) {
            error = dumpFamily(AF_INET);
            if (error == 0 && !skipIpv6_) {
                error = dumpFamily(AF_INET6);
                if (error > 0 && isUnsupported(error)) {
                    // A kernel without IPv6 still has a full IPv4 table.
                    skipIpv6_ = true;
                    error = 0;
                }
            }
        }
        if (error == 0)
            return 0;
        if (error == kInterrupted)
            continue;  // the dump ran to its end, so the socket is clean
        // Unread parts of a failed dump would confuse the next one.
        closeNetlink();
        if (isUnsupported(error))
            return error;
    }
    return error == kInterrupted ? EAGAIN : error;
}

int LinuxConnectionTable::dumpFamily(int family) {
    const std::uint32_t seq = ++seq_;
    const SockDiagRequest kind = family == AF_UNSPEC ? SockDiagRequest::LegacyTcp : SockDiagRequest::ByFamily;
    int error = sendTcpDumpRequest(nlFd_, seq, family);
    if (error != 0)
        return error;

    bool interrupted = false;
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buffer_.data(), buffer_.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n = recvmsg(nlFd_, &msg, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN ? ETIMEDOUT : errno;
        }
        if (n == 0)
            return EBADMSG;
        if (msg.msg_flags & MSG_TRUNC)
            return EMSGSIZE;
        if (from.nl_pid != 0)
            return EPROTO;  // not from the kernel
        auto result = parseSockDiagDatagram(
            std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)), seq, portId_, entries_, kind,
            families_);
        interrupted = interrupted || result.interrupted;
        switch (result.status) {
        case SockDiagParseResult::Status::Failed:
            return result.error;
        case SockDiagParseResult::Status::Done:
            return interrupted ? kInterrupted : 0;
        case SockDiagParseResult::Status::More:
            break;
        }
    }
}

bool LinuxConnectionTable::readProcNet() {
    entries_.clear();
    if (!readWholeFile("/proc/net/tcp", textBuffer_))
        return false;
    parseProcNetTcp(std::string_view(textBuffer_.data(), textBuffer_.size()), entries_, families_);
    // Absent when IPv6 is disabled; the IPv4 table alone is then complete.
    if (readWholeFile("/proc/net/tcp6", textBuffer_))
        parseProcNetTcp(std::string_view(textBuffer_.data(), textBuffer_.size()), entries_, families_);
    return true;
}

}  // namespace kestrova
