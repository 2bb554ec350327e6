#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/CaptureRecord.h"
#include "platform/IpAddress.h"
#include "platform/PacketSource.h"

namespace kestrova {

// Every log line that packet checking writes, made in this one place.

// A worker's capture is open. `zone` is the interface that a link-local
// address is on.
std::string captureOpenedLine(const IpAddress& address, std::string_view zone);

// The program that captures lacks the right to; `command` grants it.
std::string permissionDeniedLine(std::string_view command);

// This process may gain no privilege on exec (no_new_privs, as a hardened
// service runs), so no program it starts can capture.
std::string cannotGainPrivilegeLine();

// The user may not run the program that captures: not a member of `group`.
std::string notInGroupLine(std::string_view group, std::string_view user);

// The user may not run the program at `path`, and no group would let them.
std::string cannotRunLine(std::string_view path);

// The kernel dropped `count` datagrams of a worker's address before the
// capture could take them: the totals are short by them.
std::string packetsDroppedLine(const IpAddress& address, std::string_view zone, std::uint64_t count);

// Why a worker's capture ended before it was stopped.
struct CaptureEnding {
    enum class Kind { NotStarted, Status, Garbled, Ended };
    Kind kind = Kind::Ended;
    HelperStatus status = HelperStatus::Ready;  // Status
    int error = 0;                              // NotStarted
    SourceEnd end{};                            // Ended
};
std::string captureEndedLine(const IpAddress& address, std::string_view zone, const CaptureEnding& ending);

}  // namespace kestrova
