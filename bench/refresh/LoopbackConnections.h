#pragma once
#include <sys/types.h>

#include <optional>
#include <vector>

// Established loopback connections held open by helper processes, so that
// the benchmark's own descriptor limit does not cap their number. Every
// connection shows twice in the machine's table: its client and its server end.
// Over 127.x.0.1 by default; over ::1 with `ipv6`.
class LoopbackConnections {
public:
    // Over ::1 with `ipv6`. With `holder` set (as root), the helper processes
    // run as that user.
    explicit LoopbackConnections(int connections, bool ipv6 = false, std::optional<uid_t> holder = std::nullopt);
    ~LoopbackConnections();
    LoopbackConnections(const LoopbackConnections&) = delete;
    LoopbackConnections& operator=(const LoopbackConnections&) = delete;

    bool ready() const { return ready_; }

private:
    std::vector<pid_t> holders_;
    bool ready_ = true;
};
