#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kestrova {

// What one capture takes from one interface, of the family of `address`
// (IPv4 or IPv6) only: every TCP datagram of that family on it, or those to
// or from `address` that no earlier capture on the interface already takes
// (to or from an address in `excluded`, all of the same family).
struct CaptureRequest {
    std::string interfaceName;
    IpAddress address;
    bool wholeInterface = false;
    std::vector<IpAddress> excluded;

    bool operator==(const CaptureRequest&) const = default;
};

// How starting a capture went.
struct SourceStart {
    enum class Outcome {
        Started,
        NotPermitted,  // this user may not run the program that captures
        Failed,        // it could not be run for another reason, in `error`
    };
    Outcome outcome = Outcome::Started;
    int error = 0;  // the system's error number when Failed
};

// How the program that held a capture ended.
struct SourceEnd {
    enum class Kind { Exited, Killed, Unknown };
    Kind kind = Kind::Unknown;
    int value = 0;  // exit code or signal number
};

// One running capture: a stream of capture records (capture/CaptureRecord.h)
// from the program that holds the capture.
class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Starts the capture.
    virtual SourceStart start(const CaptureRequest& request) = 0;
    // Blocks until record bytes arrive and copies them into `buffer`; returns
    // how many, or 0 once the stream has ended or the source was stopped. The
    // bytes need not end on a record boundary.
    virtual std::size_t read(std::span<std::byte> buffer) = 0;
    // As read(), but gives up once `timeoutMs` milliseconds pass without
    // record bytes: nothing then. A source that cannot time its wait reads.
    virtual std::optional<std::size_t> readWithin(std::span<std::byte> buffer, int timeoutMs) {
        (void)timeoutMs;
        return read(buffer);
    }
    // From any thread: ends the capture at once. A read in progress or to
    // come returns 0.
    virtual void stop() = 0;
    // Once the stream has ended: waits for the program to end, and says how.
    virtual SourceEnd finish() = 0;
};

// Who may capture, and how to put right a capture that may not start.
struct CaptureAccess {
    // The group whose members may run the program that captures, or empty
    // when no group grants it.
    std::string group;
    // The user running Kestrova, for the command that adds them to it.
    std::string user;
    // A command that gives the program the right to capture and is safe to
    // run as root.
    std::string grantCommand;
};

class PacketSourceFactory {
public:
    virtual ~PacketSourceFactory() = default;
    virtual std::unique_ptr<PacketSource> create() = 0;
    // The program that captures.
    virtual std::string capturePath() const = 0;
    virtual CaptureAccess access() const = 0;
    // False when no capture started from this process could get the right to
    // capture, however the capturing program is set up.
    virtual bool mayCapture() const { return true; }
};

}  // namespace kestrova
