#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

// What one capture takes from one interface: every IPv4 TCP datagram on it,
// or those to or from `address` that no earlier capture on the interface
// already takes (to or from an address in `excluded`).
struct CaptureRequest {
    std::string interfaceName;
    std::array<std::uint8_t, 4> address{};
    bool wholeInterface = false;
    std::vector<std::array<std::uint8_t, 4>> excluded;

    bool operator==(const CaptureRequest&) const = default;
};

// One running capture: a stream of capture records (capture/CaptureRecord.h)
// from the program that holds the capture.
class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Starts the capture; false when it could not even be started.
    virtual bool start(const CaptureRequest& request) = 0;
    // Blocks until record bytes arrive and copies them into `buffer`; returns
    // how many, or 0 once the stream has ended or the source was stopped. The
    // bytes need not end on a record boundary.
    virtual std::size_t read(std::span<std::byte> buffer) = 0;
    // From any thread: ends the capture at once. A read in progress or to
    // come returns 0.
    virtual void stop() = 0;
};

class PacketSourceFactory {
public:
    virtual ~PacketSourceFactory() = default;
    virtual std::unique_ptr<PacketSource> create() = 0;
    // The program that captures, named in the message that tells the user how
    // to grant it the right to.
    virtual std::string capturePath() const = 0;
    // False when no capture started from this process could get the right to
    // capture, however the capturing program is set up.
    virtual bool mayCapture() const { return true; }
};

}  // namespace kestrova
