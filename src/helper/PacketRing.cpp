#include "helper/PacketRing.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/Datagram.h"

namespace kestrova::helper {

namespace {

// Where a frame's sockaddr_ll lies, past its header.
constexpr std::size_t kAddressOffset = TPACKET_ALIGN(sizeof(tpacket2_hdr));

}  // namespace

bool PacketRing::linkOf(const std::string& name, Link& link) {
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name) return false;
    std::memcpy(request.ifr_name, name.data(), name.size());
    // Any socket answers questions about devices; this one needs no right.
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool known = ::ioctl(probe, SIOCGIFHWADDR, &request) == 0;
    ::close(probe);
    if (!known) return false;
    const auto type = request.ifr_hwaddr.sa_family;
    // Loopback devices carry an Ethernet header too.
    if (type == ARPHRD_ETHER || type == ARPHRD_LOOPBACK) {
        link = {kLinkEthernet, kLinkEthernet, false};
    } else {
        // Anything else is taken from its network header on: the filter sees
        // no link header and learns the protocol from the kernel.
        link = {kLinkLinuxCooked, kLinkRaw, true};
    }
    return true;
}

PacketRing::~PacketRing() {
    if (ring_) ::munmap(ring_, ringBytes_);
    if (fd_ >= 0) ::close(fd_);
}

int PacketRing::open(const Link& link) {
    // Protocol 0: the socket takes nothing from any device until it is bound.
    fd_ = ::socket(AF_PACKET, (link.cooked ? SOCK_DGRAM : SOCK_RAW) | SOCK_CLOEXEC, 0);
    return fd_ < 0 ? errno : 0;
}

int PacketRing::start(const std::vector<sock_filter>& program, int index, std::size_t ringBytes,
                      std::size_t frameBytes, const char*& step) {
    step = "attach the filter";
    const sock_fprog fprog{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
    if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) return errno;
    step = "lock the filter";
    const int lock = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_LOCK_FILTER, &lock, sizeof lock) != 0) return errno;
    // The kernel must hold exactly this program, or nothing is captured.
    step = "read the filter back";
    socklen_t count = 0;
    if (::getsockopt(fd_, SOL_SOCKET, SO_GET_FILTER, nullptr, &count) != 0) return errno;
    if (count != program.size()) return EINVAL;
    std::vector<sock_filter> held(count);
    if (::getsockopt(fd_, SOL_SOCKET, SO_GET_FILTER, held.data(), &count) != 0) return errno;
    if (count != program.size() || std::memcmp(held.data(), program.data(), count * sizeof(sock_filter)) != 0)
        return EINVAL;

    step = "make the ring";
    const int version = TPACKET_V2;
    if (::setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return errno;
    const long page = ::sysconf(_SC_PAGESIZE);
    blockBytes_ = page > 0 ? static_cast<std::size_t>(page) : 4096;
    frameBytes_ = TPACKET_ALIGN(frameBytes);
    framesPerBlock_ = blockBytes_ / frameBytes_;
    const std::size_t blocks = ringBytes / blockBytes_;
    if (framesPerBlock_ == 0 || blocks == 0) return EINVAL;
    tpacket_req request{};
    request.tp_block_size = static_cast<unsigned>(blockBytes_);
    request.tp_block_nr = static_cast<unsigned>(blocks);
    request.tp_frame_size = static_cast<unsigned>(frameBytes_);
    request.tp_frame_nr = static_cast<unsigned>(blocks * framesPerBlock_);
    if (::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) return errno;
    ringBytes_ = blocks * blockBytes_;
    frames_ = request.tp_frame_nr;
    void* ring = ::mmap(nullptr, ringBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (ring == MAP_FAILED) return errno;
    ring_ = static_cast<std::uint8_t*>(ring);

    step = "bind to the interface";
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = index;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return errno;
    return 0;
}

std::size_t PacketRing::drain(bool skipOutgoing, const std::function<void(const Frame&)>& take) {
    std::size_t handed = 0;
    // At most one turn round the ring: a flood cannot keep this going.
    for (std::size_t turn = 0; turn < frames_; ++turn) {
        std::uint8_t* const slot =
            ring_ + (next_ / framesPerBlock_) * blockBytes_ + (next_ % framesPerBlock_) * frameBytes_;
        auto* const header = reinterpret_cast<tpacket2_hdr*>(slot);
        if ((__atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) break;
        const auto* const from = reinterpret_cast<const sockaddr_ll*>(slot + kAddressOffset);
        const bool inside = header->tp_mac <= frameBytes_ && header->tp_snaplen <= frameBytes_ - header->tp_mac;
        if (inside && !(skipOutgoing && from->sll_pkttype == PACKET_OUTGOING)) {
            take({std::span<const std::uint8_t>(slot + header->tp_mac, header->tp_snaplen), header->tp_len});
            ++handed;
        }
        __atomic_store_n(&header->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        next_ = (next_ + 1) % frames_;
    }
    return handed;
}

bool PacketRing::counts(std::uint64_t& received, std::uint64_t& dropped) {
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return false;
    received = stats.tp_packets;
    dropped = stats.tp_drops;
    return true;
}

}  // namespace kestrova::helper
