#pragma once
#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrova::helper {

// One packet socket on one interface, with the kernel's ring of frames that
// it fills, read by this process at times of its own choosing.
//
// Nothing reaches the ring but what the filter passes, cut where the filter
// cuts it: the socket is made for no protocol at all, so it receives nothing
// until the filter is attached and locked, and only then is it given its
// ring and bound to the interface.
class PacketRing {
public:
    // How the frames in the ring begin: with the Ethernet header (Ethernet
    // and loopback devices), or with the network header (every other device,
    // through a cooked socket). `filterLinkType` and `frameLinkType` are the
    // capture library's numbers of the link type the filter sees and the
    // link type of the frames the ring hands out.
    struct Link {
        int filterLinkType = 0;
        int frameLinkType = 0;
        bool cooked = false;
    };
    // The link of the interface `name`, or false when there is none.
    static bool linkOf(const std::string& name, Link& link);

    PacketRing() = default;
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;
    ~PacketRing();

    // Makes the socket: the one step that needs CAP_NET_RAW. 0 or an errno.
    int open(const Link& link);
    // Attaches `program`, locks it in place and reads it back; then makes the
    // ring of `ringBytes`, frames of `frameBytes`, and binds the socket to the
    // interface `index`. 0, or the errno of the step that failed, with `step`
    // naming it.
    int start(const std::vector<sock_filter>& program, int index, std::size_t ringBytes, std::size_t frameBytes,
              const char*& step);

    // A frame the kernel handed over: as many of its bytes as the filter
    // kept, and its whole length on the wire (from the same header on).
    struct Frame {
        std::span<const std::uint8_t> bytes;
        std::uint32_t wireLength = 0;
    };
    // Hands every frame that is ready, in order, to `take`, and gives each
    // slot back to the kernel. Outgoing copies on a loopback device are
    // skipped: the kernel delivers every datagram there twice. The number
    // of frames handed over.
    std::size_t drain(bool skipOutgoing, const std::function<void(const Frame&)>& take);

    // The kernel's counts since the last call: frames that passed the
    // filter (the lost ones among them), and the ones lost for want of room.
    bool counts(std::uint64_t& received, std::uint64_t& dropped);

    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::uint8_t* ring_ = nullptr;
    std::size_t ringBytes_ = 0;
    std::size_t frameBytes_ = 0;
    std::size_t frames_ = 0;
    std::size_t framesPerBlock_ = 0;
    std::size_t blockBytes_ = 0;
    std::size_t next_ = 0;
};

}  // namespace kestrova::helper
